// The package reader on arbitrary bytes: it must refuse or accept without fault, and whatever
// it accepts must build back into the same bytes. The CRC is made right first, so that the
// mutations reach the checks behind it.
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdfiles/PackageFormat.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file(data, data + size);
  if (file.size() >= 32 && file.size() <= MXUPDFILES_MAX_FILE_SIZE) {
    const uint32_t crc = ~brisk::dfu::Crc32(std::span(file).first(file.size() - 4));
    for (int i = 0; i < 4; ++i) file[file.size() - 4 + size_t(i)] = uint8_t(crc >> (8 * i));
  }
  brisk::dfu::Package package;
  if (brisk::dfu::ParsePackage(file, package) != MXUPDFILES_OK) return 0;
  std::vector<uint8_t> again;
  if (brisk::dfu::BuildPackage(package, again) != MXUPDFILES_OK) std::abort();
  if (again != file) std::abort();
  return 0;
}
