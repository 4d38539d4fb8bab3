// The memory-map string of one alternate setting, parsed into a TargetMap and its sectors.
#pragma once

#include "libs/mxupdfiles/DfuRecords.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace brisk::dfu {

struct ParsedTarget {
  TargetMap target{};  // sectors is left null; the caller places the array
  std::vector<SectorMap> sectors;
};

// "@Name/0xSTART/COUNT*SIZE[ KM]t,..." -> out. False (out unspecified) for any string that does
// not parse whole, names no sector, exceeds maxSectors or runs past the 32-bit address space.
bool ParseMemoryMap(std::string_view text, uint8_t alternate, ParsedTarget& out,
                    uint32_t maxSectors);

}  // namespace brisk::dfu
