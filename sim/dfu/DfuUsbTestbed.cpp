#include "sim/dfu/DfuUsbTestbed.h"

#include "sim/dfu/UsbdevfsNode.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

namespace brisk::sim {

namespace {

constexpr const char* kRootSysfs = "/devices/pci0000:00/0000:00:14.0/usb1";
constexpr const char* kPrimaryClass = "{3FE809AB-FB91-4CB5-A643-69670D52366E}";

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[3];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X", v);
    s += b;
  }
  return s;
}

std::vector<uint8_t> HubDescriptors() {
  // A full-speed hub with one interface and its interrupt endpoint.
  return {18, 1, 0x00, 0x02, 9, 0,  0, 64, 0x6B, 0x1D, 0x02, 0x00, 0x00, 0x01, 0,
          0,  0, 1,    9,    2, 25, 0, 1,  1,    0,    0xE0, 0,    9,    4,    0,
          0,  1, 9,    0,    0, 0,  7, 5,  0x81, 3,    4,    0,    12};
}

std::vector<uint8_t> NormalDescriptors(uint16_t vid, uint16_t pid) {
  // The reader in its normal mode: one vendor-specific interface, no DFU.
  return {18,
          1,
          0x00,
          0x02,
          0,
          0,
          0,
          64,
          uint8_t(vid),
          uint8_t(vid >> 8),
          uint8_t(pid),
          uint8_t(pid >> 8),
          0x00,
          0x01,
          0,
          0,
          0,
          1,
          9,
          2,
          18,
          0,
          1,
          1,
          0,
          0x80,
          50,
          9,
          4,
          0,
          0,
          0,
          0xFF,
          0,
          0,
          0};
}

std::string Record(const std::string& sysfs, unsigned devnum,
                   const std::vector<uint8_t>& descriptors, const std::string& devpath) {
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/001/%03u", devnum);
  const uint16_t vid = uint16_t(descriptors[8] | descriptors[9] << 8);
  const uint16_t pid = uint16_t(descriptors[10] | descriptors[11] << 8);
  const uint16_t bcd = uint16_t(descriptors[12] | descriptors[13] << 8);
  char ids[160];
  std::snprintf(ids, sizeof ids,
                "E: ID_VENDOR_ID=%04x\nE: ID_MODEL_ID=%04x\nE: PRODUCT=%x/%x/%x\nA: "
                "idVendor=%04x\nA: idProduct=%04x\n",
                vid, pid, vid, pid, bcd, vid, pid);
  std::string r;
  r += "P: " + sysfs.substr(4) + "\n";
  r += "N: " + std::string(node) + "=" + Hex(descriptors) + "\n";
  r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
  r += "E: DEVNAME=/dev/" + std::string(node) + "\n";
  r += "E: BUSNUM=001\n";
  char num[48];
  std::snprintf(num, sizeof num, "E: DEVNUM=%03u\nA: devnum=%u\n", devnum, devnum);
  r += num;
  r += ids;
  r += "A: busnum=1\nA: speed=12\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n";
  r += "A: devpath=" + devpath + "\n";
  r += "H: descriptors=" + Hex(descriptors) + "\n";
  return r;
}

unsigned g_nextDevnum = 2;
unsigned g_nextPort = 1;
std::set<std::string> g_hubs;

void AddFromString(UMockdevTestbed* tb, const std::string& record) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(tb, record.c_str(), &error)) {
    std::string msg = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("umockdev record refused: " + msg);
  }
}

// Ensures the hub chain above a port path exists ("1-4.2" needs hub "1-4").
std::string ParentSysfs(UMockdevTestbed* tb, const std::string& portPath) {
  std::string parent = std::string("/sys") + kRootSysfs;
  size_t dash = portPath.find('-');
  std::string prefix = portPath.substr(0, dash + 1);
  std::string rest = portPath.substr(dash + 1);
  std::string sofar;
  size_t dot;
  while ((dot = rest.find('.')) != std::string::npos) {
    sofar += (sofar.empty() ? "" : ".") + rest.substr(0, dot);
    rest = rest.substr(dot + 1);
    const std::string name = prefix + sofar;
    parent += "/" + name;
    if (g_hubs.insert(name).second)
      AddFromString(tb, Record(parent, g_nextDevnum++, HubDescriptors(), name.substr(dash + 1)));
  }
  return parent;
}

}  // namespace

UMockdevTestbed* DfuUsbDevice::Testbed() {
  static UMockdevTestbed* tb = [] {
    UMockdevTestbed* t = umockdev_testbed_new();
    AddFromString(t, Record(std::string("/sys") + kRootSysfs, 1, HubDescriptors(), "0"));
    return t;
  }();
  return tb;
}

std::mutex& DfuUsbDevice::TestbedLock() {
  static std::mutex m;
  return m;
}

DfuUsbDevice::DfuUsbDevice(DfuDeviceConfig config, std::string portPath)
    : m_model(std::move(config)) {
  std::lock_guard tbLock(TestbedLock());
  UMockdevTestbed* tb = Testbed();
  if (portPath.empty()) portPath = "1-" + std::to_string(g_nextPort++);
  if (portPath.rfind("1-", 0) != 0) throw std::invalid_argument("DFU test devices live on bus 1");
  m_portPath = portPath;
  const std::string parent = ParentSysfs(tb, portPath);
  m_sysfs = parent + "/" + portPath;
  const unsigned devnum = g_nextDevnum++;
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", devnum);
  m_devnode = node;

  UsbdevfsDevice device;
  device.control = [this](const SetupPacket& setup, const uint8_t* out) {
    std::span<const uint8_t> data;
    if (!(setup.bmRequestType & 0x80)) data = std::span<const uint8_t>(out, setup.wLength);
    return m_model.HandleControl(setup, data);
  };
  device.connected = [this] { return m_model.Connected(); };
  device.hasInterface = [this](uint8_t itf) { return m_model.HasInterface(itf); };
  device.setInterface = [this](uint8_t itf, uint8_t alt) { return m_model.SetInterface(itf, alt); };
  device.reset = [this] { m_model.BusReset(); };
  device.clientsChanged = [this](int delta) { ClientCountChanged(delta); };
  m_node = std::make_unique<UsbdevfsNode>(tb, m_devnode, std::move(device));

  std::vector<uint8_t> descriptors = m_model.DeviceDescriptor();
  const std::vector<uint8_t> cfg = m_model.ConfigurationDescriptor();
  descriptors.insert(descriptors.end(), cfg.begin(), cfg.end());
  AddFromString(tb, Record(m_sysfs, devnum, descriptors, portPath.substr(2)));

  char ids[32];
  std::snprintf(ids, sizeof ids, "USB#VID_%04X&PID_%04X#", m_model.Config().vendorId,
                m_model.Config().productId);
  m_devicePath = std::string(ids) + portPath + "#" + kPrimaryClass;

  m_model.SetDisconnectCallback([this](bool leftDfuMode) {
    std::lock_guard lock(m_lock);
    m_disconnected = true;
    m_leftDfuMode = leftDfuMode;
    m_changed.notify_all();
  });
  m_hotplug = std::thread([this] { HotplugLoop(); });
}

DfuUsbDevice::~DfuUsbDevice() {
  {
    std::lock_guard lock(m_lock);
    m_stop = true;
    m_changed.notify_all();
  }
  m_hotplug.join();
  m_model.SetDisconnectCallback({});
  std::lock_guard tbLock(TestbedLock());
  UMockdevTestbed* tb = Testbed();
  if (!m_removed) umockdev_testbed_uevent(tb, m_sysfs.c_str(), "remove");
  if (!m_filesRemoved) umockdev_testbed_remove_device(tb, m_sysfs.c_str());
  if (!m_normalSysfs.empty()) RemoveLocked(m_normalSysfs);
  m_node.reset();
}

void DfuUsbDevice::RemoveLocked(const std::string& sysfs) {
  UMockdevTestbed* tb = Testbed();
  umockdev_testbed_uevent(tb, sysfs.c_str(), "remove");
  umockdev_testbed_remove_device(tb, sysfs.c_str());
}

void DfuUsbDevice::HotplugLoop() {
  std::unique_lock lock(m_lock);
  m_changed.wait(lock, [this] { return m_stop || m_disconnected; });
  if (m_stop) return;
  const bool left = m_leftDfuMode;
  lock.unlock();
  {
    // The remove event first: libusb drops the device, while the node keeps answering
    // ENODEV to whoever still holds it open.
    std::lock_guard tbLock(TestbedLock());
    umockdev_testbed_uevent(Testbed(), m_sysfs.c_str(), "remove");
  }
  lock.lock();
  m_removed = true;
  m_changed.notify_all();
  // Give whoever still holds the node a moment to close it (umockdev reports only some closes).
  m_changed.wait_for(lock, std::chrono::milliseconds(200),
                     [this] { return m_stop || m_clients <= 0; });
  if (m_stop) return;
  auto handler = m_returnHandler;
  lock.unlock();
  {
    std::lock_guard tbLock(TestbedLock());
    umockdev_testbed_remove_device(Testbed(), m_sysfs.c_str());
  }
  lock.lock();
  m_filesRemoved = true;
  if (!left) return;
  lock.unlock();
  if (handler)
    handler(m_portPath);
  else
    AddNormalMode();
  lock.lock();
  m_returned = true;
  m_changed.notify_all();
}

void DfuUsbDevice::ClientCountChanged(int delta) {
  std::lock_guard lock(m_lock);
  m_clients += delta;
  m_changed.notify_all();
}

void DfuUsbDevice::AddNormalMode() {
  std::lock_guard tbLock(TestbedLock());
  UMockdevTestbed* tb = Testbed();
  const unsigned devnum = g_nextDevnum++;
  const std::string sysfs = m_sysfs;
  AddFromString(tb, Record(sysfs, devnum,
                           NormalDescriptors(m_model.Config().normalVendorId,
                                             m_model.Config().normalProductId),
                           m_portPath.substr(2)));
  std::lock_guard lock(m_lock);
  m_normalSysfs = sysfs;
}

void DfuUsbDevice::Unplug() { m_model.Unplug(); }

bool DfuUsbDevice::WaitForDeparture(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_lock);
  return m_changed.wait_for(lock, timeout, [this] { return m_removed; });
}

bool DfuUsbDevice::WaitForNormalMode(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_lock);
  return m_changed.wait_for(lock, timeout, [this] { return m_returned; });
}

std::string DfuUsbDevice::NormalModeSysfsPath() const {
  std::lock_guard lock(m_lock);
  return m_normalSysfs;
}

void DfuUsbDevice::SetReturnHandler(std::function<void(const std::string& portPath)> handler) {
  std::lock_guard lock(m_lock);
  m_returnHandler = std::move(handler);
}

}  // namespace brisk::sim
