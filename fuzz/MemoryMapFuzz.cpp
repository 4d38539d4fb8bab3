// The memory-map parser on arbitrary text: a map it accepts is whole, ordered and within 4 GiB.
#include "libs/mxupdprt/MemoryMap.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brisk::dfu::ParsedTarget target;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!brisk::dfu::ParseMemoryMap(text, 0, target, 8192)) return 0;
  if (target.sectors.empty() || target.sectors.size() > 8192 ||
      target.target.sectorCount != target.sectors.size())
    std::abort();
  if (std::memchr(target.target.name, 0, sizeof target.target.name) == nullptr) std::abort();
  uint64_t end = 0;
  for (const SectorMap& s : target.sectors) {
    const uint64_t start = s.startAddress;
    if (s.size == 0 || start < end || start + s.size > 0x100000000ull || s.flags < 1 || s.flags > 7)
      std::abort();
    end = start + s.size;
  }
  return 0;
}
