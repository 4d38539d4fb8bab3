#include "log/Log.h"

#include <sys/time.h>
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include "log/Escape.h"
#include "log/TempFolder.h"

namespace brisk {

namespace {

std::atomic<int> g_logSwitch{0};
LogSink g_sink = nullptr;  // guarded by LogLock()
void* g_sinkContext = nullptr;

// A function-local static is created once, thread-safely, before any two writers can race.
std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}

void WriteLine(LogPriority priority, std::string_view message, bool toJournal) {
  // Every line may carry text from outside: a line break or an escape sequence in it must
  // neither start a forged line nor reach a terminal that shows the log.
  std::string text = EscapeControl(message);
  if (text.size() > 1023) text.resize(1023);
  std::lock_guard<std::mutex> guard(LogLock());
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%4d-%d-%d %d:%d:%d:%d ", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(now.tv_usec / 1000));
  if (g_sink) g_sink(g_sinkContext, (std::string(stamp) + text).c_str());

  // The journal gets the same line, without the stamp (it keeps its own time).
  if (toJournal && StderrIsJournal()) WriteStderr(priority, text);

  const std::string folder = PrivateTempFolder();
  if (folder.empty()) return;  // no safe folder: the line is dropped
  const std::string path = folder + "/brisk7.log";

  FILE* file = std::fopen(path.c_str(), "a+");
  if (!file) return;
  std::fseek(file, 0, SEEK_END);
  const long size = std::ftell(file);
  if (size > kLogRotateSize) {
    std::fclose(file);
    const std::string backup = folder + "/brisk7-1.log";
    std::remove(backup.c_str());
    std::rename(path.c_str(), backup.c_str());
    file = std::fopen(path.c_str(), "a+");
    if (!file) return;
  }

  std::fprintf(file, "%s%s\n", stamp, text.c_str());
  std::fclose(file);
}

}  // namespace

void SetLogSwitch(int value) { g_logSwitch.store(value, std::memory_order_relaxed); }
int LogSwitch() { return g_logSwitch.load(std::memory_order_relaxed); }

void WriteLog(const char* format, ...) {
  if (LogSwitch() == 0) return;
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);  // cuts at 1023 and terminates
  va_end(args);
  WriteLogLine(buffer);
}

void WriteLogAt(LogPriority priority, const char* format, ...) {
  if (LogSwitch() == 0) return;
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  WriteLogLineAt(priority, buffer);
}

void WriteLogHex(const char* prefix, const void* data, int length) {
  if (LogSwitch() == 0) return;
  std::string message(prefix ? prefix : "");
  const auto* bytes = static_cast<const unsigned char*>(data);
  const int shown = length < 20 ? length : 20;
  char pair[4];
  for (int i = 0; i < shown; ++i) {
    std::snprintf(pair, sizeof pair, "%02x ", bytes[i]);
    message += pair;
  }
  if (length > 20) {
    char rest[24];
    std::snprintf(rest, sizeof rest, " +%d", length - 20);
    message += rest;
  }
  WriteLogLine(message.c_str());
}

void SetLogSink(LogSink sink, void* context) {
  std::lock_guard<std::mutex> guard(LogLock());
  g_sink = sink;
  g_sinkContext = context;
}

void WriteLogLine(const char* message) { WriteLogLineAt(LogPriority::Info, message); }

void WriteNotice(const char* text) {
  const std::string_view whole(text ? text : "");
  if (LogSwitch() != 0) WriteLine(LogPriority::Warning, whole, false);
  // Each line escaped on its own, so that a box's line breaks stay line breaks in the journal.
  std::string message;
  size_t start = 0;
  while (start <= whole.size()) {
    const size_t end = std::min(whole.find('\n', start), whole.size());
    std::string_view line = whole.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (start > 0) message += '\n';
    message += EscapeControl(line);
    start = end + 1;
  }
  std::lock_guard<std::mutex> guard(LogLock());
  WriteStderr(LogPriority::Warning, message);
}

void WriteLogLineAt(LogPriority priority, const char* message) {
  WriteLine(priority, message ? message : "", true);
}

}  // namespace brisk
