// A package's file on disk, read and written whole.
#pragma once

#include <cstdint>
#include <vector>

namespace brisk::dfu {

// Reads a regular file of at most MXUPDFILES_MAX_FILE_SIZE bytes to its end, never waiting on a
// FIFO; an MXUPDFILES_ status code, with errno kept from a failed system call.
uint32_t ReadPackageFile(const char* path, std::vector<uint8_t>& out);
// Replaces path by bytes atomically (platform/AtomicFile.h); MXUPDFILES_OK or
// MXUPDFILES_ERR_WRITE.
uint32_t WritePackageFile(const char* path, const std::vector<uint8_t>& bytes);

}  // namespace brisk::dfu
