// The engine's texts: printf into a string, and the names and reasons its failure lines give.
#pragma once

#include <cstdint>
#include <string>

namespace brisk::dfu {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The OPERATION_ code as the failure line names it.
const char* OperationName(int operation);
// A library's status text with its code (and, for a file that did not open, the system's
// reason).
std::string FilesReason(uint32_t code);
std::string PrtReason(uint32_t code);

}  // namespace brisk::dfu
