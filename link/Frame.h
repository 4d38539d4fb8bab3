#pragma once
// The reader's serial frame: 55 AA, 16-bit little-endian length, type, payload, XOR check byte.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace brisk::link {

namespace frame {

inline constexpr uint8_t kHead1 = 0x55;
inline constexpr uint8_t kHead2 = 0xAA;
inline constexpr size_t kHeadSize = 4;  // 55 AA and the length field
inline constexpr size_t kReceiveBufferSize = 2100;
inline constexpr uint16_t kMaxLength = kReceiveBufferSize - kHeadSize;  // 2096

// Frame types.
enum : uint8_t {
  kCat1Module = 1,
  kNetMode = 2,
  kConnectStatus = 3,
  kPlatformData = 4,
  kDisconnect = 5,
  kAuthInfo = 7,
  kSetPlatform = 8,
  kGetPlatform = 9,
  kConnect = 10,
  kLinkLost = 11,
  kTestNetwork = 12,
  kUpgradeDownload = 13,
  kUpgradeData = 14,
  kDfuMode = 15,
  kSetHeartbeat = 16,
  kGetHeartbeat = 17,
};

// XOR of every byte.
uint8_t Checksum(const uint8_t* bytes, size_t count);

// Writes the frame for data (type byte and payload) into out, which holds data size + 5 bytes.
// Returns the frame size. Data longer than 65534 bytes does not fit the length field: returns 0.
size_t Encode(const uint8_t* data, size_t size, uint8_t* out);
std::vector<uint8_t> Encode(const uint8_t* data, size_t size);
std::vector<uint8_t> Encode(uint8_t type, const std::vector<uint8_t>& payload);

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void WriteLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace frame

}  // namespace brisk::link
