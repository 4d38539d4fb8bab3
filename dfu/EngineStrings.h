#pragma once
// Small text helpers the engine's files share.
#include <cctype>
#include <cstdint>
#include <string>

#include "dfu/FailureText.h"

namespace brisk::dfu {

inline bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(uint8_t(a[i])) != std::toupper(uint8_t(b[i]))) return false;
  return true;
}

}  // namespace brisk::dfu
