#include "libs/qktube/Errors.h"

#include <libusb.h>

#include <cerrno>

#include "libs/qktube/QKTubeDevice.h"

namespace brisk::qktube {
namespace {

// Each failure code with the errno it leaves and the libusb error it stands for (kNone: only
// ours). Codes not listed leave EIO.
constexpr int kNone = 1;
struct ErrorMapping {
  uint32_t code;
  int err;
  int libusb;
};
constexpr ErrorMapping kErrors[] = {
    {QK_ERR_ARGUMENT, EINVAL, LIBUSB_ERROR_INVALID_PARAM},
    {QK_ERR_HANDLE, EBADF, kNone},
    {QK_ERR_NOT_FOUND, ENOENT, LIBUSB_ERROR_NOT_FOUND},
    {QK_ERR_ACCESS, EACCES, LIBUSB_ERROR_ACCESS},
    {QK_ERR_NO_DEVICE, ENODEV, LIBUSB_ERROR_NO_DEVICE},
    {QK_ERR_STALL, EPIPE, LIBUSB_ERROR_PIPE},
    {QK_ERR_TIMEOUT, ETIMEDOUT, LIBUSB_ERROR_TIMEOUT},
    {QK_ERR_INDEX, ERANGE, kNone},
    {QK_ERR_NOT_PRESENT, ENOENT, kNone},
    {QK_ERR_BUFFER, ENOBUFS, kNone},
    {QK_ERR_BAD_DESCRIPTOR, EPROTO, kNone},
    {QK_ERR_BUSY, EBUSY, LIBUSB_ERROR_BUSY},
};

}  // namespace

uint32_t Fail(uint32_t code) {
  errno = EIO;
  for (const ErrorMapping& m : kErrors)
    if (m.code == code) errno = m.err;
  return code;
}

uint32_t FromLibusb(int rc) {
  for (const ErrorMapping& m : kErrors)
    if (m.libusb == rc) return Fail(m.code);
  return Fail(QK_ERR_IO);
}

}  // namespace brisk::qktube
