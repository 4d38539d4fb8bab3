#include "link/Frame.h"

#include <cstring>

namespace brisk::link {

namespace frame {

uint8_t Checksum(const uint8_t* bytes, size_t count) {
  uint8_t x = 0;
  for (size_t i = 0; i < count; ++i) x ^= bytes[i];
  return x;
}

size_t Encode(const uint8_t* data, size_t size, uint8_t* out) {
  if (size > 0xFFFE) return 0;
  out[0] = kHead1;
  out[1] = kHead2;
  WriteLe16(out + 2, static_cast<uint16_t>(size + 1));
  if (size) std::memcpy(out + 4, data, size);
  out[4 + size] = Checksum(out, 4 + size);
  return size + 5;
}

std::vector<uint8_t> Encode(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out(size + 5);
  out.resize(Encode(data, size, out.data()));
  return out;
}

std::vector<uint8_t> Encode(uint8_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> data;
  data.reserve(payload.size() + 1);
  data.push_back(type);
  data.insert(data.end(), payload.begin(), payload.end());
  return Encode(data.data(), data.size());
}

}  // namespace frame

}  // namespace brisk::link
