#include "platform/Autostart.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/IniFile.h"
#include "platform/Paths.h"

namespace brisk::platform {

namespace {

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

// One argument of an Exec line: double-quoted with the quoting rule's escapes, then the
// string-value escape for backslashes, and "%%" so no field code is read into it.
std::string QuoteExecArgument(const std::string& arg) {
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '%')
      out += "%%";
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string AutostartEntryPath() {
  // ConfigFolder() is <config home>/BriskNetService: its parent is the one XDG rule.
  const std::string parent = ParentFolder(ConfigFolder());
  if (parent.empty()) return {};
  return parent + "/autostart/BriskNetService.desktop";
}

std::string ProgramPath() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string AutostartEntryText(const std::string& programPath) {
  if (programPath.empty() || programPath.front() != '/') return {};
  for (unsigned char c : programPath)
    if (c < 0x20 || c == 0x7F) return {};
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=BriskNetService\n"
         "Comment=Card reader network service\n"
         "Exec=" +
         QuoteExecArgument(programPath) +
         // The program tells the session's start from a person's by it.
         " --autostart\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool AutostartEntryExists(const std::string& entryPath) {
  struct stat st {};
  return !entryPath.empty() && lstat(entryPath.c_str(), &st) == 0;
}

bool WriteAutostartEntry(const std::string& entryPath, const std::string& programPath,
                         std::string* error) {
  const std::string text = AutostartEntryText(programPath);
  if (text.empty()) {
    if (error) *error = "the program path cannot be written in a desktop entry: " + programPath;
    return false;
  }
  const std::string folder = ParentFolder(entryPath);
  if (folder.empty() || !MakeFolders(folder, 0700)) {
    if (error) *error = "cannot create the folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  return WriteFileAtomically(entryPath, text, 0644, error);
}

bool RemoveAutostartEntry(const std::string& entryPath, std::string* error) {
  if (entryPath.empty() || ::unlink(entryPath.c_str()) != 0) {
    if (error) *error = "cannot remove " + entryPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace brisk::platform
