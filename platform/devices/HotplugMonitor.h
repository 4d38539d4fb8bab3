#pragma once
// Device arrival and removal on the tty, usb and hidraw subsystems, from the udev monitor.
// No thread of its own: the owner waits on Fd() (a poll loop, a socket notifier) and reads.
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace brisk::platform::devices {

struct HotplugEvent {
  enum class Kind { Arrival, Removal, Change };
  Kind kind = Kind::Change;
  std::string action;     // as udev sent it: "add", "remove", "change", "bind", ...
  std::string subsystem;  // "tty", "usb" or "hidraw"
  std::string devType;    // "usb_device", "usb_interface" or empty
  std::string sysPath;
  std::string devNode;
  std::string vendorId, productId;  // ID_VENDOR_ID / ID_MODEL_ID as sent, may be empty
};

class HotplugMonitor {
 public:
  // nullptr when the monitor cannot be set up (logged).
  static std::unique_ptr<HotplugMonitor> Create();
  ~HotplugMonitor();
  HotplugMonitor(const HotplugMonitor&) = delete;
  HotplugMonitor& operator=(const HotplugMonitor&) = delete;

  // Readable while events wait.
  int Fd() const { return m_fd; }
  // Every event waiting now, without blocking.
  std::vector<HotplugEvent> ReadEvents();
  // The next event, waiting at most timeoutMs (-1: no limit).
  std::optional<HotplugEvent> WaitEvent(int timeoutMs);

 private:
  HotplugMonitor(udev* u, udev_monitor* m, int fd) : m_udev(u), m_monitor(m), m_fd(fd) {}
  std::optional<HotplugEvent> ReadOne();

  udev* m_udev;
  udev_monitor* m_monitor;
  int m_fd;
};

}  // namespace brisk::platform::devices
