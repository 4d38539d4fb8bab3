#pragma once
// Programs that put emulated devices on the bus run under umockdev's preload, as the code
// they drive does.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace brisk::sim {

// Starts this program again under the preload unless it already runs under it. Returns only
// when it already does (true) or the restart failed (false, said on standard error for who).
inline bool EnsureUmockdevPreload(char** argv, const char* who) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload && std::strstr(preload, "libumockdev-preload")) return true;
  std::string value = "libumockdev-preload.so.0";
  if (preload && *preload) value += std::string(":") + preload;
  setenv("LD_PRELOAD", value.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "%s: cannot restart under the umockdev preload: %s\n", who,
               std::strerror(errno));
  return false;
}

}  // namespace brisk::sim
