#include "log/TempFolder.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace brisk {

std::string PrivateTempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string dir = base + "/BriskNetService-" + std::to_string(getuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  // lstat: a link planted in a shared /tmp must not redirect our files.
  if (lstat(dir.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) return {};
  if ((st.st_mode & 0777) != 0700 && chmod(dir.c_str(), 0700) != 0) return {};
  return dir;
}

}  // namespace brisk
