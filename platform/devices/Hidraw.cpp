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

namespace brisk::platform::devices {

namespace {

// Reports are at most 64 bytes of data behind the identifier; the ioctl length field is 14 bits.
constexpr size_t kMaxReport = 4096;

unsigned IdOf(udev_device* usb, const char* attribute, const char* property) {
  const char* text = usb ? udev_device_get_sysattr_value(usb, attribute) : nullptr;
  if (!text && usb) text = udev_device_get_property_value(usb, property);
  if (!text) return 0;
  unsigned v = 0;
  int digits = 0;
  for (; *text && *text != '\n'; ++text) {
    const char c = *text;
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (d < 0 || ++digits > 4) return 0;
    v = v * 16 + unsigned(d);
  }
  return v;
}

}  // namespace

std::vector<HidrawNode> EnumerateHidraw() {
  std::vector<HidrawNode> result;
  udev* u = udev_new();
  if (!u) {
    WriteLog("udev_new failed, no HID devices listed");
    return result;
  }
  udev_enumerate* e = udev_enumerate_new(u);
  if (!e || udev_enumerate_add_match_subsystem(e, "hidraw") < 0 ||
      udev_enumerate_scan_devices(e) < 0) {
    WriteLog("udev enumeration of hidraw devices failed");
    if (e) udev_enumerate_unref(e);
    udev_unref(u);
    return result;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    const char* path = udev_list_entry_get_name(entry);
    udev_device* d = path ? udev_device_new_from_syspath(u, path) : nullptr;
    if (!d) continue;
    const char* node = udev_device_get_devnode(d);
    const char* name = udev_device_get_sysname(d);
    if (node && name) {
      udev_device* usb = udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device");
      char text[64];
      std::snprintf(text, sizeof text, "hid#vid_%04x&pid_%04x#",
                    IdOf(usb, "idVendor", "ID_VENDOR_ID"), IdOf(usb, "idProduct", "ID_MODEL_ID"));
      std::string pathText = text;
      for (const char* p = name; *p; ++p)
        pathText += (*p >= 'A' && *p <= 'Z') ? char(*p - 'A' + 'a') : *p;
      result.push_back({pathText, node});
    }
    udev_device_unref(d);
  }
  udev_enumerate_unref(e);
  udev_unref(u);
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
