// A target's sectors, and an image prepared for one operation on that target.
#pragma once

#include <cstdint>
#include <vector>

#include "libs/mxupdfiles/DfuRecords.h"
#include "libs/mxupdfiles/PackageFormat.h"

namespace brisk::dfu {

struct Sector {
  uint64_t start;
  uint64_t end;
  uint8_t flags;
};

// The target's sectors ordered by address; false when they overlap or the target is malformed.
bool SortedSectors(const TargetMap& target, std::vector<Sector>& out);

// Detach: no elements. Leave: one empty element at the target's first address. Erase: the
// touched sectors, blank. Upload and download: the image as it is once every byte lies in a
// sector that allows it. An MXUPDFILES_ status code; image is unspecified on failure.
uint32_t FilterImage(ImageData& image, const TargetMap& target, int32_t operation);

}  // namespace brisk::dfu
