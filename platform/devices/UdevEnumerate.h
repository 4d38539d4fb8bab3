#pragma once
// One pass over the present devices of a subsystem, for the enumerations in this folder.
#include <functional>

struct udev_device;

namespace brisk::platform::devices {

// Calls visit for each present device of subsystem (and devtype, when not null), in udev's
// enumeration order; a device gone since the scan is skipped. what names the devices in the log
// line written when udev cannot be asked. False when the enumeration failed.
bool ForEachUdevDevice(const char* subsystem, const char* devtype, const char* what,
                       const std::function<void(udev_device*)>& visit);

}  // namespace brisk::platform::devices
