// brisk-dfu's texts for a terminal and for JSON, and its usage exit code.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "log/Escape.h"  // EscapeControl: text from outside, its control characters visible

namespace brisk::tools {

inline constexpr int kUsage = 64;

// Keys in the order they were set, as the output has always listed them.
using Json = nlohmann::ordered_json;

// One JSON line; bytes that are not UTF-8 become U+FFFD.
std::string JsonLine(const Json& value);
// Whether the messages' locale (LC_ALL, LC_MESSAGES or LANG, the first set) is a zh_* one.
bool ChineseLocale();
// One number through a printf format.
std::string Hex(const char* format, unsigned value);

}  // namespace brisk::tools
