#include "dfu/ImageCompare.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dfu/FailureText.h"
#include "log/Log.h"

namespace brisk::dfu {

bool CompareImages(MXUPDFILES_IMAGE readImage, MXUPDFILES_IMAGE sourceImage, DfuView& view,
                   std::string& reason) {
  uint32_t count = 0;
  if (MXUPDFILES_GetImageNbElement(readImage, &count) != MXUPDFILES_OK) {
    WriteLog("Unable to get elements from read image...");
    reason = "the read-back image has no elements";
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    ImageElement r{}, s{};
    if (MXUPDFILES_GetImageElement(readImage, i, &r) != MXUPDFILES_OK) {
      WriteLog("Unable to get data from read image...");
      reason = Format("element %u of the read-back image is unreadable", i);
      return false;
    }
    if (MXUPDFILES_GetImageElement(sourceImage, i, &s) != MXUPDFILES_OK) {
      WriteLog("Unable to get data from source image...");
      reason = Format("element %u of the package image is unreadable", i);
      return false;
    }
    // Compared over the shorter of the two; a size difference is itself a mismatch.
    const uint32_t readSize = r.size, sourceSize = s.size;
    const uint32_t size = std::min(readSize, sourceSize);
    std::vector<uint8_t> readData(size), sourceData(size);
    r.data = readData.data();
    r.size = size;
    s.data = sourceData.data();
    s.size = size;
    const uint32_t rr = MXUPDFILES_GetImageElement(readImage, i, &r);
    const uint32_t sr = MXUPDFILES_GetImageElement(sourceImage, i, &s);
    if (rr != MXUPDFILES_OK && rr != MXUPDFILES_ERR_BUFFER) {
      WriteLog("Unable to get data from read image...");
      reason = Format("element %u of the read-back image is unreadable", i);
      return false;
    }
    if (sr != MXUPDFILES_OK && sr != MXUPDFILES_ERR_BUFFER) {
      WriteLog("Unable to get data from source image...");
      reason = Format("element %u of the package image is unreadable", i);
      return false;
    }
    for (uint32_t j = 0; j < size; ++j) {
      if (sourceData[j] != readData[j]) {
        WriteLog("Verify successful, but data not matching...");
        view.ShowMessage(
            Format("Matching not good. First Difference at address 0x%08X:\nFile  byte  is  "
                   "0x%02X.\nRead byte is 0x%02X.",
                   unsigned(s.address + j), sourceData[j], readData[j]));
        reason = Format("first difference at 0x%08X: file 0x%02X, read 0x%02X",
                        unsigned(s.address + j), sourceData[j], readData[j]);
        return false;
      }
    }
    if (readSize != sourceSize) {
      WriteLog("Verify successful, but data not matching...");
      view.ShowMessage(
          Format("Matching not good. Sizes differ at address 0x%08X:\nFile  has  "
                 "%u bytes.\nRead has %u bytes.",
                 unsigned(s.address), unsigned(sourceSize), unsigned(readSize)));
      reason = Format("element at 0x%08X: file %u bytes, read %u bytes", unsigned(s.address),
                      unsigned(sourceSize), unsigned(readSize));
      return false;
    }
  }
  return true;
}

}  // namespace brisk::dfu
