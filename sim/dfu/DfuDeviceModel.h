// The reader's boot loader in USB DFU mode: descriptors, the DFU 1.1 state machine,
// the memory-mapped command set and its memory, with fault injection.
// Transport-agnostic: HandleControl takes one setup packet and its data stage.
// Thread-safe: every public member takes the model's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brisk::sim {

namespace dfu {
// bState
enum State : uint8_t {
  appIDLE = 0,
  appDETACH = 1,
  dfuIDLE = 2,
  dfuDNLOAD_SYNC = 3,
  dfuDNBUSY = 4,
  dfuDNLOAD_IDLE = 5,
  dfuMANIFEST_SYNC = 6,
  dfuMANIFEST = 7,
  dfuMANIFEST_WAIT_RESET = 8,
  dfuUPLOAD_IDLE = 9,
  dfuERROR = 10,
};
// bStatus
enum Status : uint8_t {
  OK = 0x00,
  errTARGET = 0x01,
  errFILE = 0x02,
  errWRITE = 0x03,
  errERASE = 0x04,
  errCHECK_ERASED = 0x05,
  errPROG = 0x06,
  errVERIFY = 0x07,
  errADDRESS = 0x08,
  errNOTDONE = 0x09,
  errFIRMWARE = 0x0A,
  errVENDOR = 0x0B,
  errUSBR = 0x0C,
  errPOR = 0x0D,
  errUNKNOWN = 0x0E,
  errSTALLEDPKT = 0x0F,
};
// bRequest
enum Request : uint8_t {
  DETACH = 0,
  DNLOAD = 1,
  UPLOAD = 2,
  GETSTATUS = 3,
  CLRSTATUS = 4,
  GETSTATE = 5,
  ABORT = 6
};
// Commands carried by DNLOAD block 0.
enum Command : uint8_t {
  GetCommands = 0x00,
  SetAddress = 0x21,
  Erase = 0x41,
  ReadUnprotect = 0x92
};
// Memory flags of the map's type letter.
enum Flags : uint8_t { Readable = 1, Erasable = 2, Writable = 4 };
constexpr uint32_t kOptionBytesAddress = 0x1FFFF800;
}  // namespace dfu

enum class DfuPhase { SetAddress, Erase, MassErase, Unprotect, Write, Read, Manifest };
// "set-address", "erase", "mass-erase", "unprotect", "write", "read", "manifest".
bool ParseDfuPhase(std::string_view text, DfuPhase& phase);
const char* DfuPhaseName(DfuPhase phase);
// The status a phase fails with when none is given.
uint8_t DefaultFaultStatus(DfuPhase phase);

// COUNT sectors of SIZE bytes each, with the same flags.
struct DfuSectorRun {
  uint32_t count = 0;
  uint32_t size = 0;
  uint8_t flags = dfu::Readable | dfu::Erasable | dfu::Writable;
};

// One memory target, shown as one alternate setting.
struct DfuMemory {
  std::string name;  // padded as the device pads it, e.g. "Internal Flash  "
  uint32_t start = 0;
  std::vector<DfuSectorRun> runs;
  bool optionBytes = false;  // holds read and write protection (byte 0, bytes 8/10/12/14)
  bool flash = false;        // needs an erase before writing; erased by mass erase and unprotect

  uint32_t Size() const;
  // "@Name/0xSTART/COUNT*SIZE[ KM]t,..."
  std::string MapString() const;
};

struct DfuAlternate {
  int memory = -1;              // index into DfuDeviceConfig::memories, or -1 for a plain string
  std::string interfaceString;  // used when memory is -1; empty means no string
};

struct DfuInterface {
  uint8_t number = 0;
  std::vector<DfuAlternate> alternates;
  uint16_t bcdDFUVersion = 0;  // 0: the device's own
};

struct DfuDeviceConfig {
  uint16_t vendorId = 0x0483;
  uint16_t productId = 0xA19B;
  uint16_t bcdDevice = 0x2200;
  std::string manufacturer = "Brisk Devices";
  std::string product = "Brisk Reader DFU Mode";
  std::string serial = "BR7000000001";
  uint16_t bcdDFUVersion = 0x011A;
  uint16_t transferSize = 2048;
  // can download (1), can upload (2), manifestation tolerant (4), will detach (8)
  uint8_t attributes = 0x0B;
  uint16_t detachTimeOut = 255;
  // Busy times announced as bwPollTimeout, modeled on a 2 KiB-page microcontroller flash:
  // page erase 20 ms, mass erase 40 ms, programming a 2 KiB block (1024 half-words at about
  // 52 us) 54 ms whatever its length, manifestation 10 ms. busyScale multiplies each (0: none).
  uint32_t erasePollMs = 20;
  uint32_t massErasePollMs = 40;
  uint32_t writePollMs = 54;
  uint32_t manifestPollMs = 10;
  double busyScale = 1.0;
  std::vector<DfuMemory> memories;       // empty: internal flash and option bytes
  std::vector<DfuInterface> interfaces;  // empty: interface 0 with one alternate per memory
  // Identity after leaving DFU mode.
  uint16_t normalVendorId = 0x0483;
  uint16_t normalProductId = 0x5740;
  bool readProtected = false;
  uint32_t writeProtection = 0xFFFFFFFF;  // WRP word; a 0 bit protects its sector group

  // Faults as plain settings (the same as the Inject/UnplugAt/FlipBitOnWrite calls).
  std::optional<uint32_t> flipBitAddress;  // every byte written there gets flipBitNumber flipped
  uint8_t flipBitNumber = 0;
  std::optional<uint16_t> unplugAtBlock;  // the first DNLOAD of this block number unplugs
  std::optional<DfuPhase> faultPhase;     // the first run of this phase fails
  uint8_t faultStatus = 0;                // with this bStatus; 0: the phase's own error

  static DfuMemory InternalFlash();  // 0x08000000, 128 sectors of 2 KiB, readable/erasable/writable
  static DfuMemory OptionBytes();    // 0x1FFFF800, 16 bytes, readable/writable
};

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

struct LoggedRequest {
  SetupPacket setup;
  std::vector<uint8_t> data;  // host-to-device data stage
};

struct ControlResult {
  bool stall = false;
  bool gone = false;          // the device is not there (any more): no answer at all
  std::vector<uint8_t> data;  // device-to-host data stage
};

class DfuDeviceModel {
 public:
  explicit DfuDeviceModel(DfuDeviceConfig config = {});

  const DfuDeviceConfig& Config() const { return m_config; }

  // Standard descriptors as the bus reports them.
  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
  std::vector<uint8_t> StringDescriptor(uint8_t index) const;  // empty when absent

  // One control transfer. out is the host-to-device data stage.
  ControlResult HandleControl(const SetupPacket& setup, std::span<const uint8_t> out = {});
  // SET_INTERFACE (from the host controller side); false for an unknown interface or alternate.
  bool SetInterface(uint8_t interfaceNumber, uint8_t alternate);
  bool HasInterface(uint8_t interfaceNumber) const;
  // USB reset: a device waiting in dfuMANIFEST-WAIT-RESET leaves DFU mode.
  void BusReset();

  // Observation.
  uint8_t State() const;
  uint8_t Status() const;
  bool Connected() const;
  bool LeftDfuMode() const;  // left through manifestation, zero-length download or detach
  uint32_t AddressPointer() const;
  std::optional<std::pair<uint8_t, uint8_t>> SelectedAlternate() const;  // interface, alternate
  std::vector<LoggedRequest> Requests() const;       // every control request seen
  std::vector<LoggedRequest> ClassRequests() const;  // only DFU class requests
  void ClearRequests();

  // Direct memory access that bypasses the protocol (preloading, checking what was written).
  std::vector<uint8_t> ReadMemory(uint32_t address, uint32_t length) const;
  void WriteMemory(uint32_t address, std::span<const uint8_t> bytes);
  bool ReadProtected() const;
  uint32_t WriteProtection() const;
  // GETSTATUS requests that came before the announced poll time-out had passed (each was
  // answered busy again), and the sum of the poll time-outs announced for work done.
  uint32_t EarlyStatusRequests() const;
  uint64_t AnnouncedBusyMs() const;

  // Fault injection.
  // The (skip + 1)-th time the phase runs it fails with status (the device enters dfuERROR).
  void InjectStatusError(DfuPhase phase, uint8_t status, unsigned skip = 0);
  // The (skip + 1)-th DNLOAD or UPLOAD of block number block unplugs the device instead of being
  // answered.
  void UnplugAt(uint8_t bRequest, uint16_t block, unsigned skip = 0);
  // Every byte written to address gets this bit flipped.
  void FlipBitOnWrite(uint32_t address, uint8_t bit);
  // Requests with this bRequest are stalled as not supported.
  void RefuseRequest(uint8_t bRequest);
  // Unplug now.
  void Unplug();

  // Called (without the model's lock held) when the device disconnects: unplugged or left DFU mode.
  void SetDisconnectCallback(std::function<void(bool leftDfuMode)> callback);

 private:
  struct MemoryHit {
    int memory = -1;
    uint32_t offset = 0;
  };
  struct Pending {
    uint16_t block = 0;
    std::vector<uint8_t> data;
  };
  struct StatusFault {
    DfuPhase phase;
    uint8_t status;
    unsigned skip;
  };
  struct UnplugFault {
    uint8_t request;
    uint16_t block;
    unsigned skip;
  };

  ControlResult Standard(const SetupPacket& setup);
  ControlResult Class(const SetupPacket& setup, std::span<const uint8_t> out);
  ControlResult Stall(uint8_t status = dfu::errSTALLEDPKT);
  ControlResult StatusAnswer(uint32_t pollMs);
  ControlResult BusyAnswer(uint32_t pollMs);  // announces pollMs of work in the current state
  uint32_t Scaled(uint32_t ms) const;
  uint8_t Execute(const Pending& pending, uint32_t& pollMs);  // returns bStatus
  bool Faulted(DfuPhase phase, uint8_t& status);
  MemoryHit Find(uint32_t address) const;
  bool SectorAt(int memory, uint32_t offset, uint32_t& index, uint32_t& start, uint32_t& size,
                uint8_t& flags) const;
  bool SectorWriteProtected(int memory, uint32_t sectorIndex) const;
  void EraseFlash(bool ignoreWriteProtection);
  void LoadProtection();
  bool ProtectedLocked() const;
  void Disconnect(bool leftDfuMode);

  DfuDeviceConfig m_config;
  std::vector<std::vector<uint8_t>> m_bytes;  // per memory
  std::vector<std::string> m_strings;         // index 1..n
  std::vector<uint8_t> m_alternateString;     // string index per (interface, alternate) in order

  mutable std::mutex m_lock;
  uint8_t m_state = dfu::dfuIDLE;
  uint8_t m_status = dfu::OK;
  uint32_t m_pollMs = 0;
  uint32_t m_pointer = 0;
  bool m_pointerSet = false;
  std::optional<Pending> m_pending;
  uint8_t m_pendingStatus = dfu::OK;
  bool m_connected = true;
  bool m_left = false;
  uint8_t m_configuration = 1;
  std::optional<std::pair<uint8_t, uint8_t>> m_selected;
  std::vector<LoggedRequest> m_log;
  std::chrono::steady_clock::time_point m_busyUntil{};
  uint8_t m_busyState = dfu::dfuIDLE;
  uint32_t m_earlyStatus = 0;
  uint64_t m_announcedMs = 0;

  std::vector<StatusFault> m_statusFaults;
  std::vector<UnplugFault> m_unplugFaults;
  std::vector<std::pair<uint32_t, uint8_t>> m_bitFlips;
  std::vector<uint8_t> m_refused;
  std::function<void(bool)> m_onDisconnect;
  bool m_notify = false;
};

}  // namespace brisk::sim
