#include "libs/mxupdfiles/ImageFilter.h"

#include <algorithm>
#include <vector>

#include "libs/mxupdfiles/MXUPDFILES.h"

namespace brisk::dfu {
namespace {

// Index of the sector holding address, or -1.
long SectorOf(const std::vector<Sector>& sectors, uint64_t address) {
  auto it = std::upper_bound(sectors.begin(), sectors.end(), address,
                             [](uint64_t a, const Sector& s) { return a < s.start; });
  if (it == sectors.begin()) return -1;
  --it;
  return address < it->end ? long(it - sectors.begin()) : -1;
}

}  // namespace

bool SortedSectors(const TargetMap& target, std::vector<Sector>& out) {
  if (target.sectorCount > 0 && target.sectors == nullptr) return false;
  out.clear();
  for (uint32_t i = 0; i < target.sectorCount; ++i) {
    const SectorMap s = target.sectors[i];
    if (s.size == 0) continue;
    out.push_back({s.startAddress, uint64_t(s.startAddress) + s.size, s.flags});
  }
  std::sort(out.begin(), out.end(),
            [](const Sector& a, const Sector& b) { return a.start < b.start; });
  for (size_t i = 1; i < out.size(); ++i)
    if (out[i].start < out[i - 1].end) return false;
  return true;
}

uint32_t FilterImage(ImageData& image, const TargetMap& target, int32_t operation) {
  std::vector<Sector> sectors;
  if (!SortedSectors(target, sectors)) return MXUPDFILES_ERR_ARGUMENT;
  if (operation == OPERATION_DETACH) {
    image.elements.clear();
    image.data.clear();
    return MXUPDFILES_OK;
  }
  if (operation == OPERATION_LEAVE) {
    if (target.sectorCount == 0) return MXUPDFILES_ERR_OUTSIDE;
    ImageData leave;
    leave.alternate = target.alternate;
    leave.name = image.name;
    leave.Append(target.sectors[0].startAddress, {});
    image = std::move(leave);
    return MXUPDFILES_OK;
  }
  const uint8_t need = operation == OPERATION_DNLOAD   ? SECTOR_WRITABLE
                       : operation == OPERATION_UPLOAD ? SECTOR_READABLE
                                                       : SECTOR_ERASABLE;
  std::vector<size_t> touched;
  for (const auto& e : image.elements) {
    const uint64_t end = uint64_t(e.address) + e.size;
    for (uint64_t at = e.address; at < end;) {
      const long s = SectorOf(sectors, at);
      if (s < 0) return MXUPDFILES_ERR_OUTSIDE;
      if (!(sectors[size_t(s)].flags & need)) return MXUPDFILES_ERR_PROTECTED;
      if (touched.empty() || touched.back() != size_t(s)) touched.push_back(size_t(s));
      at = sectors[size_t(s)].end;
    }
  }
  if (operation == OPERATION_ERASE) {
    uint64_t total = 0;
    for (size_t s : touched) total += sectors[s].end - sectors[s].start;
    if (total > MXUPDFILES_MAX_FILE_SIZE) return MXUPDFILES_ERR_TOO_LARGE;
    ImageData erase;
    erase.alternate = target.alternate;
    erase.name = image.name;
    for (size_t s : touched) {
      std::vector<uint8_t> blank(size_t(sectors[s].end - sectors[s].start), 0xFF);
      erase.Append(uint32_t(sectors[s].start), blank);
    }
    image = std::move(erase);
    return MXUPDFILES_OK;
  }
  image.alternate = target.alternate;
  return MXUPDFILES_OK;
}

}  // namespace brisk::dfu
