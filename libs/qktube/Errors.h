// The library's failure codes, the errno each leaves, and libusb's errors in its terms.
#pragma once

#include <cstdint>

namespace brisk::qktube {

// Sets errno for code (EIO for codes without one of their own) and returns code.
uint32_t Fail(uint32_t code);

// A libusb error (negative) as the failure code that stands for it, errno set.
uint32_t FromLibusb(int rc);

}  // namespace brisk::qktube
