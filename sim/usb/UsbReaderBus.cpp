#include "sim/usb/UsbReaderBus.h"

#include "sim/dfu/UsbdevfsNode.h"
#include "sim/usb/ReaderInterfaces.h"

#include <umockdev.h>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/dfu/DfuUsbTestbed.h"

namespace brisk::sim {

namespace {

// The HID device's sysfs name: bus (USB), vendor, product, instance.
std::string HidSysName() {
  char name[32];
  std::snprintf(name, sizeof name, "0003:%04X:%04X.0001", kReaderVendorId, kReaderProductId);
  return name;
}

}  // namespace

DfuDeviceConfig ReaderBootLoaderConfig() {
  DfuDeviceConfig config;
  for (const auto& id : platform::devices::kReaderIdentities)
    if (id.offers & platform::devices::kDfuMode) {
      config.vendorId = id.vendorId;
      config.productId = id.productId;
      break;
    }
  return config;
}

namespace {

constexpr const char* kBusSysfs = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

// The reader in normal mode: CDC (0), HID (1) and vendor-specific (2) interfaces.
std::vector<uint8_t> ReaderDescriptors(bool hid, bool vendor) {
  std::vector<UsbInterfaceSpec> interfaces = {{0, 0x02, 0x02, 0x01}};
  if (hid) interfaces.push_back({1, 0x03, 0x00, 0x00});
  if (vendor) interfaces.push_back({2, 0xFF, 0x00, 0x00});
  return SimpleDeviceDescriptors(kReaderVendorId, kReaderProductId, interfaces);
}

}  // namespace

namespace {

std::string RootDir(UMockdevTestbed* tb) {
  gchar* root = umockdev_testbed_get_root_dir(tb);  // a copy of ours
  std::string out = root ? root : "";
  g_free(root);
  return out;
}

// A pty whose slave is reached through link; its master, or -1.
int OpenPty(const std::string& link) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return -1;
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    close(master);
    return -1;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0 || symlink(name, link.c_str()) != 0) {
    close(master);
    return -1;
  }
  // Raw, as a serial port the service configures itself.
  termios t{};
  if (tcgetattr(master, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
  }
  return master;
}

}  // namespace

uint32_t FirmwareCrc32(const std::vector<uint8_t>& memory) {
  size_t n = memory.size();
  while (n > 0 && memory[n - 1] == 0xFF) --n;
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= memory[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

UsbReaderBus::UsbReaderBus(UsbReaderOptions options)
    : m_options(std::move(options)), m_memory(m_options.memory) {
  m_responder = std::make_unique<EnterDfuResponder>(*this, m_options.replyLength);
  {
    std::lock_guard tbLock(DfuUsbDevice::TestbedLock());
    DfuUsbDevice::Testbed();  // the bus and its root hub
  }
  if (m_options.startInDfu)
    AddDfu();
  else
    AddNormal();
  m_thread = std::thread([this] { Run(); });
}

UsbReaderBus::~UsbReaderBus() {
  {
    std::lock_guard lock(m_lock);
    m_events.push_back(Event::Stop);
    m_wake.notify_all();
  }
  m_thread.join();
  std::thread upgrade;
  {
    std::lock_guard lock(m_upgradeLock);
    m_stopping = true;
    upgrade = std::move(m_upgradeThread);
  }
  if (upgrade.joinable()) upgrade.join();
  // Nobody listens for events any more: the devices just go.
  m_quiet = true;
  RemoveNormal();
  {
    std::lock_guard dfuLock(m_dfuLock);
    m_dfu.reset();
  }
  if (m_ownPty >= 0) close(m_ownPty);
}

void UsbReaderBus::Announce(const std::string& text) {
  uint32_t firmware = 0;
  {
    std::lock_guard lock(m_lock);
    m_mode = text;
    firmware = m_firmware;
  }
  if (m_options.onChange) m_options.onChange(text, firmware);
}

std::string UsbReaderBus::Mode() {
  std::lock_guard lock(m_lock);
  return m_mode;
}

void UsbReaderBus::RequestDfu() {
  std::lock_guard lock(m_lock);
  m_events.push_back(Event::EnterDfu);
  m_wake.notify_all();
}

void UsbReaderBus::AddNormal() {
  UMockdevTestbed* tb = DfuUsbDevice::Testbed();
  const unsigned devnum = m_nextDevnum++;
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/001/%03u", devnum);
  const std::string usb = std::string(kBusSysfs) + "/" + kReaderPort;
  const std::string port = kReaderPort;
  const std::vector<uint8_t> descriptors = ReaderDescriptors(m_options.hid, m_options.vendor);
  // A hidraw node's name is not given out twice either.
  const std::string hidName = "hidraw" + std::to_string(m_hidNumber++);
  m_hidName = hidName;
  {
    std::lock_guard tbLock(DfuUsbDevice::TestbedLock());
    m_usbNode = std::string("/dev/") + node;
    m_usbHandler = std::make_unique<UsbdevfsHandler>();
    m_usbHandler->responder = m_responder.get();
    UsbdevfsDevice device;
    device.control = [h = m_usbHandler.get()](const SetupPacket& setup, const uint8_t* out) {
      return VendorControl(*h, setup, out);
    };
    m_usbHandler->node = std::make_unique<UsbdevfsNode>(tb, m_usbNode, std::move(device));
    if (m_options.hid) {
      m_hidHandler = std::make_unique<HidrawHandler>();
      m_hidHandler->node = "/dev/" + hidName;
      m_hidHandler->responder = m_responder.get();
      m_hidHandler->base =
          AttachIoctlHandler(tb, m_hidHandler->node, G_CALLBACK(HandleHidraw), m_hidHandler.get());
    }
    char ids[256];
    std::snprintf(
        ids, sizeof ids,
        "E: ID_VENDOR_ID=%04x\nE: ID_MODEL_ID=%04x\nA: idVendor=%04x\nA: idProduct=%04x\n",
        kReaderVendorId, kReaderProductId, kReaderVendorId, kReaderProductId);
    std::string r;
    r += "P: " + usb.substr(4) + "\nN: " + node + "=" + HexText(descriptors) + "\n";
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/" + std::string(node) + "\n";
    r += "E: BUSNUM=001\nE: DEVNUM=" + std::string(node + 12) + "\n" + ids;
    r += "A: busnum=1\nA: devnum=" + std::to_string(devnum) + "\n";
    r += "A: speed=12\nA: bConfigurationValue=1\nA: bNumConfigurations=1\nA: devpath=1\n";
    r += "A: product=Brisk Reader\nH: descriptors=" + HexText(descriptors) + "\n\n";
    // The serial interface and its port.
    const std::string itf0 = usb.substr(4) + "/" + port + ":1.0";
    r += "P: " + itf0 + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
    r += "A: bInterfaceClass=02\nA: bInterfaceNumber=00\n\n";
    // umockdev never forgets a serial node it made: on a return the port is a pty of ours
    // behind the same name, so that the reader is COM1 again.
    if (m_returning) {
      const std::string link = RootDir(tb) + "/dev/ttyACM0";
      unlink(link.c_str());
      m_ownPty = OpenPty(link);
      if (m_ownPty < 0) throw std::runtime_error("no pty for the returning reader");
    }
    r += "P: " + itf0 + "/tty/ttyACM0\n" + (m_returning ? "" : "N: ttyACM0\n") +
         "E: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM0\n";
    r += ids;
    r += "\n";
    if (m_options.hid) {
      const std::string itf1 = usb.substr(4) + "/" + port + ":1.1";
      r += "P: " + itf1 + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
      r += "A: bInterfaceClass=03\nA: bInterfaceNumber=01\n\n";
      r += "P: " + itf1 + "/" + HidSysName() + "/hidraw/" + hidName + "\nN: " + hidName + "\n";
      r += "E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + hidName + "\n\n";
    }
    if (m_options.vendor) {
      const std::string itf2 = usb.substr(4) + "/" + port + ":1.2";
      r += "P: " + itf2 + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
      r += "A: bInterfaceClass=ff\nA: bInterfaceNumber=02\n\n";
    }
    AddRecords(tb, r);
    m_normalSysfs = usb;
    const int master = m_returning ? m_ownPty : umockdev_testbed_get_dev_fd(tb, "/dev/ttyACM0");
    if (master < 0) throw std::runtime_error("no emulated serial port");
    std::lock_guard readerLock(m_readerLock);
    m_reader = ReaderSim::Attach(master);
    // Serial command 15 asks for DFU mode too: answered 0 by the reader model, then it leaves.
    m_reader->SetFrameHook([this](ReaderSim&, const Frame& frame) {
      if (m_options.onFrame) m_options.onFrame(frame);
      if (frame.type == 15) RequestDfu();
      // The network mode is the last step of the service's start: it has linked.
      if (frame.type == 2 && !m_options.upgradeUrl.empty() && !m_upgradeAsked) {
        m_upgradeAsked = true;
        std::lock_guard lock(m_upgradeLock);
        if (!m_stopping) m_upgradeThread = std::thread([this] { RequestUpgrade(); });
      }
      return false;
    });
    if (m_options.onReader) m_options.onReader(*m_reader);
  }
  SaveMemory();  // what the boot loader left behind
  {
    std::lock_guard lock(m_lock);
    m_firmware = FirmwareCrc32(m_memory);
    ++m_normalStarts;
  }
  Announce("mode normal");
}

uint32_t UsbReaderBus::FirmwareIdentity() {
  std::lock_guard lock(m_lock);
  return m_firmware;
}

int UsbReaderBus::NormalStarts() {
  std::lock_guard lock(m_lock);
  return m_normalStarts;
}

bool UsbReaderBus::Replug() {
  std::lock_guard lock(m_lock);
  if (m_mode != "unplugged") return false;
  m_events.push_back(Event::Replug);
  m_wake.notify_all();
  return true;
}

void UsbReaderBus::RequestUpgrade() {
  // The frame that told us the service has linked is answered first.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::optional<UpgradeState> state;
  const bool present = WithReader([&](ReaderSim& reader) {
    state = ReaderUpgrade(reader, 3000)
                .Request("firmware", m_options.upgradeDigest, m_options.upgradeUrl, true);
  });
  int end = -1;
  if (present && state && state->report) end = state->state;
  while (end == 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(m_options.upgradePollMs));
    std::optional<UpgradeState> next;
    if (!WithReader([&](ReaderSim& reader) { next = ReaderUpgrade(reader, 3000).Poll(); }) || !next)
      break;                   // gone to DFU mode
    if (!next->report) break;  // nothing more to report
    end = next->state;
  }
  if (m_options.onUpgradeAnswer) m_options.onUpgradeAnswer(end);
}

bool UsbReaderBus::WithReader(const std::function<void(ReaderSim&)>& action) {
  std::lock_guard lock(m_readerLock);
  if (!m_reader) return false;
  action(*m_reader);
  return true;
}

void UsbReaderBus::RemoveNormal() {
  if (m_normalSysfs.empty()) return;
  {
    std::lock_guard lock(m_readerLock);
    m_reader.reset();
  }
  std::lock_guard tbLock(DfuUsbDevice::TestbedLock());
  UMockdevTestbed* tb = DfuUsbDevice::Testbed();
  const std::string port = kReaderPort;
  std::vector<std::string> gone = {m_normalSysfs + "/" + port + ":1.0/tty/ttyACM0",
                                   m_normalSysfs + "/" + port + ":1.0"};
  if (m_options.hid) {
    gone.push_back(m_normalSysfs + "/" + port + ":1.1/" + HidSysName() + "/hidraw/" + m_hidName);
    gone.push_back(m_normalSysfs + "/" + port + ":1.1");
  }
  if (m_options.vendor) gone.push_back(m_normalSysfs + "/" + port + ":1.2");
  gone.push_back(m_normalSysfs);
  if (!m_quiet)
    for (const auto& d : gone) umockdev_testbed_uevent(tb, d.c_str(), "remove");
  // Children one by one, deepest first: removing the parent alone leaves their bus and class
  // links behind, and the reader's next return could not add them again.
  for (const auto& d : gone) umockdev_testbed_remove_device(tb, d.c_str());
  // Nor does it take the device nodes away: the same names come back with the reader.
  const std::string root = RootDir(tb);
  unlink((root + "/dev/ttyACM0").c_str());
  if (m_ownPty >= 0) close(m_ownPty);  // the service sees its port hang up
  m_ownPty = -1;
  m_returning = true;
  m_usbHandler.reset();
  if (m_hidHandler) {
    umockdev_testbed_detach_ioctl(tb, m_hidHandler->node.c_str(), nullptr);
    g_object_unref(m_hidHandler->base);
    m_hidHandler.reset();
  }
  m_normalSysfs.clear();
}

void UsbReaderBus::SaveMemory() {
  std::vector<uint8_t> memory;
  {
    std::lock_guard dfuLock(m_dfuLock);
    if (!m_dfu) return;
    const DfuDeviceConfig& config = m_dfu->Model().Config();
    const DfuMemory& flash =
        config.memories.empty() ? DfuDeviceConfig::InternalFlash() : config.memories.front();
    memory = m_dfu->Model().ReadMemory(flash.start, flash.Size());
  }
  std::lock_guard lock(m_lock);
  m_memory = std::move(memory);
}

void UsbReaderBus::AddDfu() {
  SaveMemory();
  std::unique_ptr<DfuUsbDevice> device;
  {
    std::lock_guard lock(m_lock);
    std::lock_guard dfuLock(m_dfuLock);
    if (m_dfu) {
      m_earlyStatus += m_dfu->Model().EarlyStatusRequests();
      m_announcedMs += m_dfu->Model().AnnouncedBusyMs();
    }
    device = std::move(m_dfu);
  }
  device.reset();  // the old boot loader leaves the bus before the new one comes
  device = std::make_unique<DfuUsbDevice>(m_options.dfu, kReaderPort);
  DfuDeviceModel& model = device->Model();
  {
    std::lock_guard lock(m_lock);
    if (!m_memory.empty()) {
      const DfuMemory flash = model.Config().memories.empty() ? DfuDeviceConfig::InternalFlash()
                                                              : model.Config().memories.front();
      const size_t n = std::min<size_t>(m_memory.size(), flash.Size());
      model.WriteMemory(flash.start, std::span<const uint8_t>(m_memory.data(), n));
    }
  }
  m_unplugReported = false;
  device->SetReturnHandler([this](const std::string&) {
    std::lock_guard lock(m_lock);
    m_events.push_back(Event::LeftDfu);
    m_wake.notify_all();
  });
  {
    std::lock_guard dfuLock(m_dfuLock);
    m_dfu = std::move(device);
  }
  Announce("mode dfu");
}

uint32_t UsbReaderBus::EarlyStatusRequests() {
  std::lock_guard lock(m_lock);
  std::lock_guard dfuLock(m_dfuLock);
  return m_earlyStatus + (m_dfu ? m_dfu->Model().EarlyStatusRequests() : 0);
}

uint64_t UsbReaderBus::AnnouncedBusyMs() {
  std::lock_guard lock(m_lock);
  std::lock_guard dfuLock(m_dfuLock);
  return m_announcedMs + (m_dfu ? m_dfu->Model().AnnouncedBusyMs() : 0);
}

std::vector<uint8_t> UsbReaderBus::Memory() {
  SaveMemory();
  std::lock_guard lock(m_lock);
  return m_memory;
}

void UsbReaderBus::Run() {
  std::unique_lock lock(m_lock);
  while (true) {
    m_wake.wait_for(lock, std::chrono::milliseconds(50), [this] { return !m_events.empty(); });
    if (m_events.empty()) {
      // An unplugged boot loader does not come back.
      if (m_dfu && !m_unplugReported && !m_dfu->Model().Connected() &&
          !m_dfu->Model().LeftDfuMode()) {
        m_unplugReported = true;
        lock.unlock();
        Announce("unplugged");
        lock.lock();
      }
      continue;
    }
    const Event event = m_events.front();
    m_events.pop_front();
    if (event == Event::Stop) return;
    lock.unlock();
    if (event == Event::EnterDfu && !m_normalSysfs.empty()) {
      // Give the host a moment to close the interface it asked through, as a reader that
      // restarts does, then leave the bus and come back as the boot loader.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      RemoveNormal();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      AddDfu();
    } else if (event == Event::LeftDfu && m_normalSysfs.empty()) {
      AddNormal();
    } else if (event == Event::Replug && m_normalSysfs.empty()) {
      m_options.dfu.unplugAtBlock.reset();  // plugged in again, it stays
      AddDfu();
    }
    lock.lock();
  }
}

}  // namespace brisk::sim
