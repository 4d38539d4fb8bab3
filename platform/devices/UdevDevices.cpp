#include "platform/devices/UdevDevices.h"

#include <libudev.h>
#include <cstdio>

#include "log/Log.h"
#include "platform/devices/UdevEnumerate.h"

namespace brisk::platform::devices {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The identity of the tty's USB device parent: its attributes, or the udev properties when
// the attributes are missing. False when neither gives a well-formed pair.
bool ReadUsbIdentity(udev_device* tty, TtyDevice* out) {
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
  if (!usb) return false;
  const char* vid = udev_device_get_sysattr_value(usb, "idVendor");
  const char* pid = udev_device_get_sysattr_value(usb, "idProduct");
  if (!vid || !pid) {
    vid = udev_device_get_property_value(usb, "ID_VENDOR_ID");
    pid = udev_device_get_property_value(usb, "ID_MODEL_ID");
  }
  if (!vid || !pid) return false;
  const auto v = ParseUsbId(vid);
  const auto p = ParseUsbId(pid);
  if (!v || !p) {
    WriteLog("device %s: USB identity \"%.16s\"/\"%.16s\" is not hexadecimal, skipped",
             out->sysPath.c_str(), vid, pid);
    return false;
  }
  out->vendorId = *v;
  out->productId = *p;
  return true;
}

}  // namespace

std::optional<uint16_t> ParseUsbId(const char* text) {
  if (!text) return std::nullopt;
  const char* s = text;
  while (*s == ' ' || *s == '\t') ++s;
  unsigned value = 0;
  int digits = 0;
  for (; HexDigit(*s) >= 0; ++s) {
    if (++digits > 4) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(HexDigit(*s));
  }
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
  if (digits == 0 || *s != '\0') return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::string HardwareIdText(uint16_t vendorId, uint16_t productId) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendorId, productId);
  return text;
}

std::vector<TtyDevice> EnumerateTtyDevices() {
  std::vector<TtyDevice> result;
  ForEachUdevDevice("tty", nullptr, "serial ports", [&](udev_device* d) {
    TtyDevice dev;
    dev.sysPath = udev_device_get_syspath(d);
    if (const char* name = udev_device_get_sysname(d)) dev.sysName = name;
    if (const char* node = udev_device_get_devnode(d)) dev.devNode = node;
    dev.hasUsbIdentity = ReadUsbIdentity(d, &dev);
    if (dev.hasUsbIdentity) dev.hardwareId = HardwareIdText(dev.vendorId, dev.productId);
    result.push_back(std::move(dev));
  });
  return result;
}

}  // namespace brisk::platform::devices
