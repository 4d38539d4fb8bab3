// The verify step's comparison of the image read back with the package's.
#pragma once

#include <string>

#include "dfu/DfuUpgradeEngine.h"

namespace brisk::dfu {

// True when every element of readImage holds the bytes of the same element of sourceImage. The
// first difference, or elements of different sizes, is shown on view and put in reason.
bool CompareImages(MXUPDFILES_IMAGE readImage, MXUPDFILES_IMAGE sourceImage, DfuView& view,
                   std::string& reason);

}  // namespace brisk::dfu
