// The device path the library opens by: "USB#VID_vvvv&PID_pppp#BUS-PORT[.PORT...]#{CLASS}".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brisk::qktube {

// Port numbers a path may hold: as deep as libusb reports a device behind hubs.
inline constexpr int kMaxPortDepth = 7;

struct DevicePath {
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
};

// False for anything but the whole form: four parts, hexadecimal ids, bus and ports 1 to 255
// (at most kMaxPortDepth ports) and a braced 36-character class identifier.
bool ParseDevicePath(std::string_view text, DevicePath& out);

// The path in that form, with upper-case ids and cls as the class identifier.
std::string FormatDevicePath(const DevicePath& path, const char* cls);

}  // namespace brisk::qktube
