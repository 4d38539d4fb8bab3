// The whole reader on an emulated USB bus (umockdev), for tests, integrators and the demo.
// Normal mode: the reader's USB device with its serial port (ttyACM0, played by the reader
// model), its HID interface (a hidraw node) and its vendor-specific interface; both USB
// interfaces answer the enter-DFU frame, and so does the serial command 15. After it has
// acknowledged, the reader leaves the bus and comes back in DFU mode (the boot-loader model);
// leaving DFU mode brings it back in normal mode. For test programs only: links libumockdev.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices/ReaderIdentities.h"
#include "sim/dfu/DfuDeviceModel.h"
#include "sim/reader/ReaderSim.h"
#include "sim/reader/ReaderUpgrade.h"

namespace brisk::sim {

class DfuUsbDevice;
struct HidrawHandler;
class EnterDfuResponder;
struct UsbdevfsHandler;

// The reader's boot loader under its DFU-mode identity.
DfuDeviceConfig ReaderBootLoaderConfig();

struct UsbReaderOptions {
  bool startInDfu = false;
  DfuDeviceConfig dfu = ReaderBootLoaderConfig();  // the boot loader, its busy times and faults
  std::vector<uint8_t> memory;  // preloads target 0 from its start; empty: erased
  bool hid = true;              // the HID interface is present
  bool vendor = true;           // the vendor-specific interface too
  uint8_t replyLength = 4;      // byte 2 of the acknowledgement on the vendor path
  // Called with "mode normal", "mode dfu" or "unplugged" at each change, and the firmware's
  // identity as FirmwareIdentity() gives it then: the callback may run before the
  // constructor has returned, and on the bus's own thread after.
  std::function<void(const std::string&, uint32_t firmware)> onChange;
  // Called with each new reader model (normal mode), to script it.
  std::function<void(ReaderSim&)> onReader;
  // Called on the reader model's thread for each frame it receives.
  std::function<void(const Frame&)> onFrame;
  // The reader asks for this package, to be flashed by DFU, once the service has linked
  // (set its network mode) for the first time, and polls the download until it has ended.
  std::string upgradeUrl;
  Digest16 upgradeDigest{};
  int upgradePollMs = 500;
  // Called with the last state the reader saw of that download when it stopped polling: 0
  // ready, 2 failed, 3 bad digest, 1 still running when it left for DFU mode; -1 no answer.
  std::function<void(int)> onUpgradeAnswer;
};

// CRC-32 (IEEE 802.3) of the flashed part of a memory: its trailing erased (0xFF) bytes are
// left out, so that an image's identity is the CRC-32 of the image itself.
uint32_t FirmwareCrc32(const std::vector<uint8_t>& memory);

inline constexpr const char* kReaderPort = "1-1";
// The product's first identity: the reader in its normal mode.
inline constexpr uint16_t kReaderVendorId = platform::devices::kReaderIdentities[0].vendorId;
inline constexpr uint16_t kReaderProductId = platform::devices::kReaderIdentities[0].productId;

class UsbReaderBus {
 public:
  // Sets up the emulation (throws std::runtime_error when it cannot) and shows the reader in
  // its first mode.
  explicit UsbReaderBus(UsbReaderOptions options);
  ~UsbReaderBus();
  UsbReaderBus(const UsbReaderBus&) = delete;
  UsbReaderBus& operator=(const UsbReaderBus&) = delete;

  // Target 0 of the boot loader's memory as it stands.
  std::vector<uint8_t> Memory();
  // The last change: "mode normal", "mode dfu" or "unplugged".
  std::string Mode();
  // The identity of the firmware the reader runs in normal mode: FirmwareCrc32 of target 0's
  // memory when it last came up in normal mode.
  uint32_t FirmwareIdentity();
  // How often the reader has come up in normal mode.
  int NormalStarts();
  // Plugs an unplugged boot loader in again (its memory as the unplug left it); false when
  // the reader is not unplugged.
  bool Replug();
  // Over every DFU session so far: GETSTATUS requests that came before the announced poll
  // time-out had passed, and the sum of the poll time-outs announced.
  uint32_t EarlyStatusRequests();
  uint64_t AnnouncedBusyMs();

  // Runs action on the reader model while the reader is in normal mode; false when it is not.
  bool WithReader(const std::function<void(ReaderSim&)>& action);

  // Called by the emulated interfaces when the reader has acknowledged the enter-DFU frame.
  void RequestDfu();

 private:
  enum class Event { EnterDfu, LeftDfu, Replug, Stop };
  void Run();
  void AddNormal();
  void RemoveNormal();
  void AddDfu();
  void SaveMemory();
  void Announce(const std::string& text);
  void RequestUpgrade();

  UsbReaderOptions m_options;
  std::vector<uint8_t> m_memory;  // target 0, carried from one DFU session to the next
  std::string m_mode;

  std::unique_ptr<EnterDfuResponder> m_responder;
  std::unique_ptr<ReaderSim> m_reader;
  std::unique_ptr<UsbdevfsHandler> m_usbHandler;
  std::unique_ptr<HidrawHandler> m_hidHandler;
  std::string m_normalSysfs;
  std::string m_usbNode;
  // Replaced by the bus's thread, read by the others (the memory, the busy counts): guarded by
  // m_dfuLock, which is taken after m_lock when both are.
  std::unique_ptr<DfuUsbDevice> m_dfu;
  std::mutex m_dfuLock;
  bool m_unplugReported = false;
  bool m_quiet = false;
  uint32_t m_earlyStatus = 0;  // of the sessions before the current one
  uint64_t m_announcedMs = 0;
  unsigned m_nextDevnum = 100;
  uint32_t m_firmware = 0;
  int m_ownPty = -1;  // master of the serial port after the first return
  bool m_returning = false;
  int m_hidNumber = 0;
  std::string m_hidName;
  int m_normalStarts = 0;
  bool m_upgradeAsked = false;  // reader thread
  // Started on the reader's thread, joined by the destructor on another: guarded.
  std::mutex m_upgradeLock;
  bool m_stopping = false;
  std::thread m_upgradeThread;

  std::mutex m_readerLock;  // guards m_reader
  std::mutex m_lock;        // guards the queue and m_memory
  std::condition_variable m_wake;
  std::deque<Event> m_events;
  std::thread m_thread;
};

}  // namespace brisk::sim
