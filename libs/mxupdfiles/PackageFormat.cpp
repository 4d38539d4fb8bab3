#include "libs/mxupdfiles/PackageFormat.h"

#include "libs/mxupdfiles/MXUPDFILES.h"

#include <array>
#include <cstring>

namespace brisk::dfu {

namespace {

constexpr char kMagic[8] = {'B', 'R', 'I', 'S', 'K', 'D', 'F', 'U'};

const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, uint16_t(x));
  Put16(v, uint16_t(x >> 16));
}

// Reads from a span, never past its end.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
  size_t Left() const { return m_bytes.size() - m_at; }
  const uint8_t* Take(size_t n) {
    const uint8_t* p = m_bytes.data() + m_at;
    m_at += n;
    return p;
  }

 private:
  std::span<const uint8_t> m_bytes;
  size_t m_at = 0;
};

}  // namespace

uint64_t ImageData::End() const {
  return elements.empty() ? 0 : uint64_t(elements.back().address) + elements.back().size;
}

bool ImageData::Append(uint32_t address, std::span<const uint8_t> bytes) {
  if (!elements.empty() && (address <= elements.back().address || address < End())) return false;
  if (uint64_t(address) + bytes.size() > 0x100000000ull) return false;
  elements.push_back({address, uint32_t(bytes.size()), data.size()});
  data.insert(data.end(), bytes.begin(), bytes.end());
  return true;
}

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  const auto& table = CrcTable();
  crc = ~crc;
  for (uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t ParsePackage(std::span<const uint8_t> file, Package& out) {
  if (file.size() > MXUPDFILES_MAX_FILE_SIZE) return MXUPDFILES_ERR_TOO_LARGE;
  if (file.size() < kHeaderSize + kSuffixSize) return MXUPDFILES_ERR_TOO_SHORT;

  // The suffix first: its signature, then the CRC over everything before dwCRC.
  const uint8_t* suffix = file.data() + file.size() - kSuffixSize;
  if (suffix[8] != 'U' || suffix[9] != 'F' || suffix[10] != 'D' || suffix[11] != kSuffixSize ||
      Le16(suffix + 6) != kBcdDfu)
    return MXUPDFILES_ERR_SUFFIX;
  if (Le32(suffix + 12) != ~Crc32(file.first(file.size() - 4))) return MXUPDFILES_ERR_CRC;

  const uint8_t* header = file.data();
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return MXUPDFILES_ERR_MAGIC;
  if (Le16(header + 8) != kFormatVersion) return MXUPDFILES_ERR_VERSION;
  if (header[11] != 0 || Le32(header + 12) != file.size() - kSuffixSize)
    return MXUPDFILES_ERR_HEADER;

  Package p;
  p.version = Le16(suffix);
  p.product = Le16(suffix + 2);
  p.vendor = Le16(suffix + 4);
  const unsigned imageCount = header[10];

  Cursor in(file.subspan(kHeaderSize, file.size() - kHeaderSize - kSuffixSize));
  p.images.reserve(imageCount);
  for (unsigned i = 0; i < imageCount; ++i) {
    if (in.Left() < 8) return MXUPDFILES_ERR_TRUNCATED;
    const uint8_t* head = in.Take(8);
    if (Le16(head + 2) != 0) return MXUPDFILES_ERR_HEADER;
    const size_t nameLength = head[1];
    const uint32_t count = Le32(head + 4);
    if (in.Left() < nameLength) return MXUPDFILES_ERR_TRUNCATED;
    // Each element needs at least its 8-byte head: a count that cannot fit is refused before
    // anything is reserved for it.
    if (uint64_t(count) * 8 > in.Left() - nameLength) return MXUPDFILES_ERR_TRUNCATED;
    if (count > MXUPDFILES_MAX_ELEMENTS) return MXUPDFILES_ERR_ELEMENTS;
    // The flash writes one image per alternate: a second one would be silently left out.
    for (const auto& earlier : p.images)
      if (earlier.alternate == head[0]) return MXUPDFILES_ERR_DUPLICATE;
    ImageData image;
    image.alternate = head[0];
    const uint8_t* name = in.Take(nameLength);
    image.name.assign(reinterpret_cast<const char*>(name), nameLength);
    image.elements.reserve(count);
    for (uint32_t e = 0; e < count; ++e) {
      if (in.Left() < 8) return MXUPDFILES_ERR_TRUNCATED;
      const uint8_t* eh = in.Take(8);
      const uint32_t address = Le32(eh);
      const uint32_t size = Le32(eh + 4);
      if (in.Left() < size) return MXUPDFILES_ERR_TRUNCATED;
      if (!image.Append(address, std::span(in.Take(size), size))) return MXUPDFILES_ERR_ORDER;
    }
    p.images.push_back(std::move(image));
  }
  if (in.Left() != 0) return MXUPDFILES_ERR_TRAILING;
  out = std::move(p);
  return MXUPDFILES_OK;
}

uint32_t BuildPackage(const Package& package, std::vector<uint8_t>& out) {
  if (package.images.size() > 255) return MXUPDFILES_ERR_ARGUMENT;
  uint64_t total = kHeaderSize + kSuffixSize;
  for (size_t i = 0; i < package.images.size(); ++i) {
    const auto& image = package.images[i];
    if (image.name.size() > MXUPDFILES_MAX_NAME) return MXUPDFILES_ERR_ARGUMENT;
    if (image.elements.size() > MXUPDFILES_MAX_ELEMENTS) return MXUPDFILES_ERR_ELEMENTS;
    for (size_t j = 0; j < i; ++j)
      if (package.images[j].alternate == image.alternate) return MXUPDFILES_ERR_DUPLICATE;
    total += 8 + image.name.size() + image.data.size() + 8 * uint64_t(image.elements.size());
  }
  if (total > MXUPDFILES_MAX_FILE_SIZE) return MXUPDFILES_ERR_TOO_LARGE;

  std::vector<uint8_t> v(kMagic, kMagic + sizeof kMagic);
  v.reserve(size_t(total));
  Put16(v, kFormatVersion);
  v.push_back(uint8_t(package.images.size()));
  v.push_back(0);
  Put32(v, uint32_t(total - kSuffixSize));
  for (const auto& image : package.images) {
    v.push_back(image.alternate);
    v.push_back(uint8_t(image.name.size()));
    Put16(v, 0);
    Put32(v, uint32_t(image.elements.size()));
    v.insert(v.end(), image.name.begin(), image.name.end());
    for (const auto& e : image.elements) {
      Put32(v, e.address);
      Put32(v, e.size);
      v.insert(v.end(), image.data.begin() + ptrdiff_t(e.offset),
               image.data.begin() + ptrdiff_t(e.offset + e.size));
    }
  }
  Put16(v, package.version);
  Put16(v, package.product);
  Put16(v, package.vendor);
  Put16(v, kBcdDfu);
  v.insert(v.end(), {'U', 'F', 'D', uint8_t(kSuffixSize)});
  Put32(v, ~Crc32(v));
  out = std::move(v);
  return MXUPDFILES_OK;
}

}  // namespace brisk::dfu
