// brisk-dfu's texts for a terminal and for JSON, and its usage exit code.
#pragma once

#include <string>

namespace brisk::tools {

inline constexpr int kUsage = 64;

// Text from outside (USB strings, file names) with control characters made visible.
std::string Printable(const std::string& s);
// A JSON string, control characters as \u escapes.
std::string Json(const std::string& s);
// One number through a printf format.
std::string Hex(const char* format, unsigned value);

}  // namespace brisk::tools
