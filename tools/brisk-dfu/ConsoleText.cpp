#include "tools/brisk-dfu/ConsoleText.h"

#include <cstdio>
#include <cstdlib>

namespace brisk::tools {

std::string JsonLine(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool ChineseLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return std::string(value).rfind("zh", 0) == 0;
  }
  return false;
}

std::string Hex(const char* format, unsigned value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

}  // namespace brisk::tools
