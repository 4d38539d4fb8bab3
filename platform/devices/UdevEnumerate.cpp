#include "platform/devices/UdevEnumerate.h"

#include <libudev.h>

#include "log/Log.h"

namespace brisk::platform::devices {

bool ForEachUdevDevice(const char* subsystem, const char* devtype, const char* what,
                       const std::function<void(udev_device*)>& visit) {
  udev* u = udev_new();
  if (!u) {
    WriteLog("udev_new failed, no %s listed", what);
    return false;
  }
  udev_enumerate* e = udev_enumerate_new(u);
  if (!e || udev_enumerate_add_match_subsystem(e, subsystem) < 0 ||
      (devtype && udev_enumerate_add_match_property(e, "DEVTYPE", devtype) < 0) ||
      udev_enumerate_scan_devices(e) < 0) {
    WriteLog("udev enumeration of %s failed", what);
    if (e) udev_enumerate_unref(e);
    udev_unref(u);
    return false;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    const char* path = udev_list_entry_get_name(entry);
    udev_device* d = path ? udev_device_new_from_syspath(u, path) : nullptr;
    if (!d) continue;  // gone since the scan
    visit(d);
    udev_device_unref(d);
  }
  udev_enumerate_unref(e);
  udev_unref(u);
  return true;
}

}  // namespace brisk::platform::devices
