#include "platform/devices/DfuDevices.h"

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "log/Log.h"
#include "platform/devices/UdevDevices.h"
#include "platform/devices/UdevEnumerate.h"

namespace brisk::platform::devices {

namespace {

// sysfs caps "descriptors" far below this; a larger read means something odd, not a device.
constexpr size_t kMaxDescriptors = 65536;

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 && out.size() < kMaxDescriptors)
    out.insert(out.end(), buf, buf + n);
  close(fd);
  return n == 0;
}

// "1-4.2" from the device's sysfs name; anything else is not a USB device on a port.
bool PortText(const char* sysName, std::string& out) {
  if (!sysName) return false;
  const char* dash = std::strchr(sysName, '-');
  if (!dash || dash == sysName) return false;
  for (const char* p = sysName; *p; ++p)
    if (!(*p >= '0' && *p <= '9') && *p != '-' && *p != '.') return false;
  out = sysName;
  return true;
}

}  // namespace

std::string CutUtf8(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  // Back off over continuation bytes to the start of the sequence that would be split.
  while (end > 0 && (uint8_t(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::vector<uint8_t> DfuInterfaceNumbers(const std::vector<uint8_t>& d, uint8_t protocol) {
  std::vector<uint8_t> numbers;
  size_t pos = 0;
  while (pos + 2 <= d.size()) {
    const size_t len = d[pos];
    if (len < 2 || pos + len > d.size()) break;
    if (d[pos + 1] == 4 && len >= 9 && d[pos + 5] == 0xFE && d[pos + 6] == 0x01 &&
        d[pos + 7] == protocol) {
      const uint8_t number = d[pos + 2];
      bool seen = false;
      for (uint8_t n : numbers) seen = seen || n == number;
      if (!seen) numbers.push_back(number);
    }
    pos += len;
  }
  return numbers;
}

std::vector<DfuInterface> EnumerateDfuInterfaces(int interfaceClass) {
  std::vector<DfuInterface> result;
  if (interfaceClass != 1 && interfaceClass != 2) return result;
  const uint8_t protocol = interfaceClass == 1 ? 0x02 : 0x00;
  const char* classId = interfaceClass == 1 ? kDfuClass1Id : kDfuClass2Id;
  ForEachUdevDevice("usb", "usb_device", "USB devices", [&](udev_device* dev) {
    const char* sysPath = udev_device_get_syspath(dev);
    std::string port;
    std::vector<uint8_t> descriptors;
    uint16_t vid = 0, pid = 0;
    if (PortText(udev_device_get_sysname(dev), port) &&
        ReadFile(std::string(sysPath) + "/descriptors", descriptors) && descriptors.size() >= 18 &&
        descriptors[1] == 1) {
      // The device descriptor holds the identity the device itself reports.
      vid = uint16_t(descriptors[8] | descriptors[9] << 8);
      pid = uint16_t(descriptors[10] | descriptors[11] << 8);
      vid = ParseUsbId(udev_device_get_sysattr_value(dev, "idVendor")).value_or(vid);
      pid = ParseUsbId(udev_device_get_sysattr_value(dev, "idProduct")).value_or(pid);
      for (uint8_t number : DfuInterfaceNumbers(descriptors, protocol)) {
        DfuInterface itf;
        char head[40];
        std::snprintf(head, sizeof head, "USB#VID_%04X&PID_%04X#", vid, pid);
        itf.path = head + port + "#" + classId;
        if (const char* product = udev_device_get_sysattr_value(dev, "product")) {
          std::string text = product;
          while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
          itf.description = CutUtf8(text, kDfuDescriptionBuffer - 1);
        }
        itf.sysPath = sysPath;
        itf.vendorId = vid;
        itf.productId = pid;
        itf.interfaceNumber = number;
        result.push_back(std::move(itf));
      }
    }
  });
  return result;
}

}  // namespace brisk::platform::devices
