#include "log/Journal.h"

#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace brisk {

namespace {

std::atomic<bool> g_stderrIsJournal{false};

bool NamesStderr(const char* value) {
  if (!value || !*value) return false;
  uintmax_t device = 0;
  uintmax_t inode = 0;
  int used = 0;
  if (std::sscanf(value, "%ju:%ju%n", &device, &inode, &used) != 2 || value[used] != '\0')
    return false;
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == device && static_cast<uintmax_t>(st.st_ino) == inode;
}

}  // namespace

void DetectJournalStream() { g_stderrIsJournal = NamesStderr(std::getenv("JOURNAL_STREAM")); }

bool StderrIsJournal() {
  [[maybe_unused]] static const bool detected = (DetectJournalStream(), true);
  return g_stderrIsJournal;
}

std::string JournalLines(LogPriority priority, std::string_view text) {
  const std::string prefix = "<" + std::to_string(static_cast<int>(priority)) + ">";
  std::string out;
  size_t start = 0;
  while (true) {
    const size_t end = text.find('\n', start);
    std::string_view line =
        text.substr(start, end == std::string_view::npos ? text.npos : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out += prefix;
    out += line;
    out += '\n';
    if (end == std::string_view::npos || end + 1 == text.size()) break;
    start = end + 1;
  }
  return out;
}

void WriteStderr(LogPriority priority, std::string_view text) {
  std::string out;
  if (StderrIsJournal()) {
    out = JournalLines(priority, text);
  } else {
    out.assign(text);
    if (out.empty() || out.back() != '\n') out += '\n';
  }
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::write(STDERR_FILENO, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed or full standard error loses the line, as the file would
    done += static_cast<size_t>(n);
  }
}

}  // namespace brisk
