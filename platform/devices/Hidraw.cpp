#include "platform/devices/Hidraw.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "log/Log.h"
#include "platform/devices/UdevDevices.h"
#include "platform/devices/UdevEnumerate.h"

namespace brisk::platform::devices {

namespace {

// Reports are at most 64 bytes of data behind the identifier; the ioctl length field is 14 bits.
constexpr size_t kMaxReport = 4096;

unsigned IdOf(udev_device* usb, const char* attribute, const char* property) {
  const char* text = usb ? udev_device_get_sysattr_value(usb, attribute) : nullptr;
  if (!text && usb) text = udev_device_get_property_value(usb, property);
  return ParseUsbId(text).value_or(0);
}

}  // namespace

std::vector<HidrawNode> EnumerateHidraw() {
  std::vector<HidrawNode> result;
  ForEachUdevDevice("hidraw", nullptr, "HID devices", [&](udev_device* d) {
    const char* node = udev_device_get_devnode(d);
    const char* name = udev_device_get_sysname(d);
    if (!node || !name) return;
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device");
    char text[64];
    std::snprintf(text, sizeof text, "hid#vid_%04x&pid_%04x#",
                  IdOf(usb, "idVendor", "ID_VENDOR_ID"), IdOf(usb, "idProduct", "ID_MODEL_ID"));
    std::string pathText = text;
    for (const char* p = name; *p; ++p)
      pathText += (*p >= 'A' && *p <= 'Z') ? char(*p - 'A' + 'a') : *p;
    result.push_back({pathText, node});
  });
  return result;
}

bool HidrawDevice::OpenExclusive(const std::string& devNode) {
  Close();
  const int fd = open(devNode.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  m_fd = fd;
  return true;
}

bool HidrawDevice::SetOutputReport(const uint8_t* report, size_t length) {
  if (m_fd < 0 || !report || length == 0 || length > kMaxReport) return false;
  // The request takes a writable buffer; keep the caller's report unchanged.
  std::vector<uint8_t> buf(report, report + length);
  const int rc = ioctl(m_fd, HIDIOCSOUTPUT(length), buf.data());
  return rc >= 0 && size_t(rc) == length;
}

bool HidrawDevice::GetInputReport(uint8_t* report, size_t length) {
  if (m_fd < 0 || !report || length == 0 || length > kMaxReport) return false;
  // A device may send a report shorter than the buffer; the rest stays as the caller left it.
  const int rc = ioctl(m_fd, HIDIOCGINPUT(length), report);
  return rc > 0 && size_t(rc) <= length;
}

void HidrawDevice::Close() {
  if (m_fd >= 0) close(m_fd);  // also drops the lock
  m_fd = -1;
}

}  // namespace brisk::platform::devices
