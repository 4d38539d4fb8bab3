#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "download/HttpGet.h"
#include "log/Log.h"

namespace brisk::download {

namespace {

// Installed, the module is found from the program's own folder, wherever the programs were put;
// a program run from the build tree loads the module built with it, never an installed one.
std::string ModulePath() {
  if (const char* path = std::getenv("BRISK_HTTP_MODULE"); path && *path) return path;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string exe(self, n > 0 ? static_cast<size_t>(n) : 0);
  const std::string build = BRISK_BUILD_DIR "/";
  if (exe.compare(0, build.size(), build) == 0) return BRISK_HTTP_MODULE_BUILT;
  return exe.substr(0, exe.rfind('/') + 1) + "../lib/brisknetservice/brisk-http.so";
}

}  // namespace

HttpGetFunction LoadHttpGet() {
  static std::mutex lock;
  static HttpGetFunction loaded = nullptr;
  std::lock_guard<std::mutex> guard(lock);
  if (loaded) return loaded;
  // Tried again on the next download when it fails: the package may be mended meanwhile. Never
  // unloaded, since the client keeps global state.
  const std::string path = ModulePath();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* entry = module ? dlsym(module, kHttpGetSymbol) : nullptr;
  if (!entry) {
    const char* reason = dlerror();
    WriteLog("download module %s cannot be loaded: %s", path.c_str(), reason ? reason : "?");
    if (module) dlclose(module);
    return nullptr;
  }
  WriteLog("download module %s loaded", path.c_str());
  loaded = reinterpret_cast<HttpGetFunction>(entry);
  return loaded;
}

}  // namespace brisk::download
