#pragma once
// Present serial (tty) devices as libudev enumerates them, with their USB parent's identity.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brisk::platform::devices {

struct TtyDevice {
  std::string sysPath;          // /sys/devices/.../tty/ttyACM0
  std::string sysName;          // ttyACM0
  std::string devNode;          // /dev/ttyACM0; empty when the device has no node
  bool hasUsbIdentity = false;  // a USB device parent with well-formed idVendor/idProduct
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string hardwareId;  // "USB\VID_%04X&PID_%04X" when hasUsbIdentity, else empty
};

// Every tty device, in libudev's enumeration order. Empty when libudev cannot be used.
std::vector<TtyDevice> EnumerateTtyDevices();

// A USB identifier as sysfs and udev write it: one to four hexadecimal digits, blanks and a
// line end around them allowed. Anything else is refused.
std::optional<uint16_t> ParseUsbId(const char* text);

// "USB\VID_%04X&PID_%04X".
std::string HardwareIdText(uint16_t vendorId, uint16_t productId);

}  // namespace brisk::platform::devices
