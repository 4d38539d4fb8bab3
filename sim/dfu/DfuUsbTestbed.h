// Plugs the DFU device model into umockdev's emulated usbdevfs, so that the real
// libusb path of the program under test talks to it. For test binaries only
// (links libumockdev; run under libumockdev-preload).
//
// All devices share one testbed per process, on bus 1 behind a root hub. Each
// DfuUsbDevice is one device in DFU mode; when the model leaves DFU mode the
// device is removed and, by default, a device with the normal-mode identity
// appears at the same port. Create the first DfuUsbDevice before the code under
// test initialises libusb; later devices arrive by hotplug, so wait for them
// (for example by retrying an open) before using them.
#pragma once

#include "sim/dfu/DfuDeviceModel.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
typedef struct _UMockdevTestbed UMockdevTestbed;
}

namespace brisk::sim {

class UsbdevfsNode;

class DfuUsbDevice {
 public:
  // portPath like "1-4" or "1-4.2" (bus 1 only); empty picks a fresh "1-<n>".
  explicit DfuUsbDevice(DfuDeviceConfig config = {}, std::string portPath = {});
  ~DfuUsbDevice();
  DfuUsbDevice(const DfuUsbDevice&) = delete;
  DfuUsbDevice& operator=(const DfuUsbDevice&) = delete;

  DfuDeviceModel& Model() { return m_model; }
  // USB#VID_vvvv&PID_pppp#<port path>#{primary DFU class identifier}
  const std::string& DevicePath() const { return m_devicePath; }
  const std::string& PortPath() const { return m_portPath; }
  const std::string& SysfsPath() const { return m_sysfs; }     // "/sys/devices/..."
  const std::string& DeviceNode() const { return m_devnode; }  // "/dev/bus/usb/001/DDD"

  // Pulls the device out now: requests fail with ENODEV and it leaves the bus.
  void Unplug();
  // True once the device has left the bus (unplugged or left DFU mode: its remove event
  // was sent), and, for WaitForNormalMode, come back in its normal mode; the normal-mode
  // device appears once every descriptor on the DFU device's node has been closed.
  bool WaitForDeparture(std::chrono::milliseconds timeout);
  bool WaitForNormalMode(std::chrono::milliseconds timeout);
  // Sysfs path of the device that came back in normal mode (empty before).
  std::string NormalModeSysfsPath() const;

  // Replaces the default normal-mode device: called on the hotplug thread with the
  // port path once the DFU device has gone; it may add its own records to Testbed().
  void SetReturnHandler(std::function<void(const std::string& portPath)> handler);

  // The process's testbed (made on first use). Guard direct use with TestbedLock().
  static UMockdevTestbed* Testbed();
  static std::mutex& TestbedLock();

 private:
  void ClientCountChanged(int delta);
  void HotplugLoop();
  void RemoveLocked(const std::string& sysfs);
  void AddNormalMode();

  DfuDeviceModel m_model;
  std::string m_portPath;
  std::string m_sysfs;
  std::string m_devnode;
  std::string m_devicePath;
  std::string m_normalSysfs;
  std::unique_ptr<UsbdevfsNode> m_node;

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_stop = false;
  bool m_disconnected = false;
  bool m_leftDfuMode = false;
  bool m_removed = false;       // the remove event was sent
  bool m_filesRemoved = false;  // the sysfs entry and node are gone
  int m_clients = 0;            // open descriptors on the node
  bool m_returned = false;
  std::function<void(const std::string&)> m_returnHandler;
  std::thread m_hotplug;
};

}  // namespace brisk::sim
