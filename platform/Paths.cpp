#include "platform/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace brisk::platform {

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
  return {};
}

}  // namespace

std::string ConfigFolder() {
  std::string base = EnvOr("XDG_CONFIG_HOME", "");
  if (base.empty() || base[0] != '/') {  // a relative value is to be ignored
    const std::string home = HomeFolder();
    if (home.empty()) return {};
    base = home + "/.config";
  }
  return base + "/BriskNetService";
}

std::vector<std::string> SeatSettingPaths() {
  std::string rest = EnvOr("XDG_CONFIG_DIRS", "");
  if (rest.empty()) rest = "/etc/xdg";
  std::vector<std::string> paths;
  for (;;) {
    const size_t colon = rest.find(':');
    const std::string folder = rest.substr(0, colon);
    // Relative entries are to be ignored, as the base directory rules say.
    if (!folder.empty() && folder.front() == '/')
      paths.push_back(folder + "/BriskNetService/setting.ini");
    if (colon == std::string::npos) break;
    rest.erase(0, colon + 1);
  }
  return paths;
}

std::string DfuCacheFolder() {
  const std::string config = ConfigFolder();
  return config.empty() ? std::string() : config + "/DFU";
}

bool MakeFolders(const std::string& dir, unsigned mode) {
  if (dir.empty()) return false;
  for (size_t pos = 1;; ++pos) {
    pos = dir.find('/', pos);
    const std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
    if (pos == std::string::npos) break;
  }
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace brisk::platform
