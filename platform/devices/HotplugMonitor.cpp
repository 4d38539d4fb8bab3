#include "platform/devices/HotplugMonitor.h"

#include <libudev.h>
#include <poll.h>
#include <cerrno>
#include <cstring>

#include "log/Log.h"
#include "platform/Clock.h"

namespace brisk::platform::devices {

namespace {

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

}  // namespace

std::unique_ptr<HotplugMonitor> HotplugMonitor::Create() {
  udev* u = udev_new();
  if (!u) {
    WriteLog("udev_new failed, no device notifications");
    return nullptr;
  }
  udev_monitor* m = udev_monitor_new_from_netlink(u, "udev");
  bool ok = m != nullptr;
  for (const char* subsystem : {"tty", "usb", "hidraw"})
    ok = ok && udev_monitor_filter_add_match_subsystem_devtype(m, subsystem, nullptr) >= 0;
  ok = ok && udev_monitor_enable_receiving(m) >= 0;
  const int fd = ok ? udev_monitor_get_fd(m) : -1;
  if (fd < 0) {
    WriteLog("udev monitor setup failed, no device notifications");
    if (m) udev_monitor_unref(m);
    udev_unref(u);
    return nullptr;
  }
  return std::unique_ptr<HotplugMonitor>(new HotplugMonitor(u, m, fd));
}

HotplugMonitor::~HotplugMonitor() {
  udev_monitor_unref(m_monitor);
  udev_unref(m_udev);
}

std::optional<HotplugEvent> HotplugMonitor::ReadOne() {
  udev_device* d = udev_monitor_receive_device(m_monitor);
  if (!d) return std::nullopt;
  HotplugEvent e;
  e.action = Text(udev_device_get_action(d));
  e.subsystem = Text(udev_device_get_subsystem(d));
  e.devType = Text(udev_device_get_devtype(d));
  e.sysPath = Text(udev_device_get_syspath(d));
  e.devNode = Text(udev_device_get_devnode(d));
  // The event's own properties: on a quick add and remove sysfs may already be gone.
  e.vendorId = Text(udev_device_get_property_value(d, "ID_VENDOR_ID"));
  e.productId = Text(udev_device_get_property_value(d, "ID_MODEL_ID"));
  if (e.action == "add")
    e.kind = HotplugEvent::Kind::Arrival;
  else if (e.action == "remove")
    e.kind = HotplugEvent::Kind::Removal;
  else
    e.kind = HotplugEvent::Kind::Change;
  udev_device_unref(d);
  return e;
}

std::vector<HotplugEvent> HotplugMonitor::ReadEvents() {
  std::vector<HotplugEvent> events;
  for (;;) {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
    auto e = ReadOne();
    if (!e) break;
    events.push_back(std::move(*e));
  }
  return events;
}

std::optional<HotplugEvent> HotplugMonitor::WaitEvent(int timeoutMs) {
  const int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      const int64_t left = deadline - NowMs();
      if (left < 0) return std::nullopt;
      wait = static_cast<int>(left);
    }
    pollfd p{m_fd, POLLIN, 0};
    const int r = poll(&p, 1, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      WriteLog("udev monitor poll failed: %s", std::strerror(errno));
      return std::nullopt;
    }
    if (r == 0) return std::nullopt;
    // A message the monitor drops (wrong sender, filtered) leaves nothing to hand over.
    if (auto e = ReadOne()) return e;
  }
}

}  // namespace brisk::platform::devices
