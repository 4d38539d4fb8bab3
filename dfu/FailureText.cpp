#include "dfu/FailureText.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdprt/MXUPDPRT.h"

namespace brisk::dfu {

std::string Format(const char* format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

const char* OperationName(int operation) {
  switch (operation) {
    case OPERATION_DETACH:
      return "detach";
    case OPERATION_LEAVE:
      return "leaving DFU mode";
    case OPERATION_UPLOAD:
      return "read-back";
    case OPERATION_ERASE:
      return "erase";
    case OPERATION_DNLOAD:
      return "write";
  }
  return "operation";
}

std::string FilesReason(uint32_t code) {
  std::string text = MXUPDFILES_StatusText(code);
  if (code == MXUPDFILES_ERR_OPEN && errno) text += std::string(": ") + std::strerror(errno);
  return text + Format(" (0x%08X)", unsigned(code));
}

std::string PrtReason(uint32_t code) {
  return MXUPDPRT_StatusText(code) + Format(" (0x%08X)", unsigned(code));
}

}  // namespace brisk::dfu
