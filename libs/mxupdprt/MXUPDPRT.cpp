#include "libs/mxupdprt/MXUPDPRT.h"

#include "dfureq/MXUPD.h"
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdprt/MemoryMap.h"
#include "libs/qktube/QKTubeDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct MxupdprtOperation {
  OperationRecord record{};  // the launch copy
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  uint8_t percent = 0;
  uint32_t error = MXUPDPRT_OK;
  std::string where;  // set by the worker when it ends with an error
  std::thread worker;
};

namespace brisk::dfu {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kSetAddress = 0x21;
constexpr uint8_t kErasePage = 0x41;
constexpr uint8_t kErrStalledPacket = 0x0F;
constexpr int kSettleTries = 8;
// A device that keeps answering busy is given up after this many answers or this much time.
constexpr int kMaxBusyAnswers = 2000;
constexpr auto kMaxBusyTime = std::chrono::seconds(30);
constexpr auto kMaxSettleWait = std::chrono::seconds(5);
// Block numbers are 16 bits and data blocks start at 2.
constexpr uint32_t kMaxBlocksPerPointer = 0xFFFF - 2 + 1;

// Registers of live maps and operations, so that foreign pointers are refused.
std::mutex& RegisterLock() {
  static std::mutex m;
  return m;
}
std::unordered_map<TargetMap*, std::unique_ptr<uint8_t[]>>& Maps() {
  static std::unordered_map<TargetMap*, std::unique_ptr<uint8_t[]>> maps;
  return maps;
}
std::unordered_set<MxupdprtOperation*>& Operations() {
  static std::unordered_set<MxupdprtOperation*> ops;
  return ops;
}

uint32_t Poll(const DfuStatusRecord& st) {
  return uint32_t(st.bwPollTimeout[0]) | uint32_t(st.bwPollTimeout[1]) << 8 |
         uint32_t(st.bwPollTimeout[2]) << 16;
}

// A request's failure as our code. Upload reports the thread's errno instead of the code.
uint32_t FromRequest(uint32_t rc) {
  switch (rc) {
    case QK_ERR_NO_DEVICE:
    case QK_ERR_NOT_FOUND:
    case MXUPD_ERR_NOT_FOUND:
    case uint32_t(ENODEV):
      return MXUPDPRT_ERR_UNPLUGGED;
    case QK_ERR_TIMEOUT:
    case uint32_t(ETIMEDOUT):
      return MXUPDPRT_ERR_TIMEOUT;
    default:
      return MXUPDPRT_ERR_TRANSFER;
  }
}

bool IsStall(uint32_t rc) { return rc == QK_ERR_STALL || rc == uint32_t(EPIPE); }

uint32_t FromDeviceStatus(uint8_t status) {
  if (status == kErrStalledPacket) return MXUPDPRT_ERR_UNSUPPORTED;
  return MXUPDPRT_ERR_DEVICE_STATUS | (status & 0x0F);
}

// The interface string of one alternate setting, parsed.
uint32_t ReadTarget(MXUPD_HANDLE* h, uint32_t interfaceIndex, uint32_t alternate,
                    ParsedTarget& out) {
  UsbInterfaceDescriptor d{};
  uint32_t rc = MXUPD_GetInterfaceDescriptor(h, 0, interfaceIndex, alternate, &d);
  if (rc != MXUPD_OK)
    return rc == QK_ERR_NO_DEVICE ? MXUPDPRT_ERR_UNPLUGGED : MXUPDPRT_ERR_DESCRIPTOR;
  if (d.iInterface == 0) return MXUPDPRT_ERR_MAP;
  char text[1024];
  rc = MXUPD_GetStringDescriptor(h, d.iInterface, text, sizeof text);
  if (rc == QK_ERR_NO_DEVICE) return MXUPDPRT_ERR_UNPLUGGED;
  if (rc != MXUPD_OK) return MXUPDPRT_ERR_MAP;
  if (!ParseMemoryMap(std::string_view(text, strnlen(text, sizeof text)), d.bAlternateSetting, out,
                      MXUPDPRT_MAX_SECTORS))
    return MXUPDPRT_ERR_MAP;
  return MXUPDPRT_OK;
}

// Index of the DFU interface: the last one of configuration 0.
uint32_t DfuInterfaceIndex(MXUPD_HANDLE* h, uint32_t& index) {
  uint32_t n = 0;
  const uint32_t rc = MXUPD_GetNbOfInterfaces(h, 0, &n);
  if (rc == QK_ERR_NO_DEVICE) return MXUPDPRT_ERR_UNPLUGGED;
  if (rc != MXUPD_OK || n == 0) return MXUPDPRT_ERR_DESCRIPTOR;
  index = n - 1;
  return MXUPDPRT_OK;
}

// One operation on the worker thread.
class Runner {
 public:
  explicit Runner(MxupdprtOperation& op) : m_op(op), m_record(op.record) {}

  const std::string& Where() const { return m_where; }

  uint32_t Run() {
    m_where = "opening the device";
    if (MXUPD_Open(m_record.devicePath, &m_handle) != MXUPD_OK) return MXUPDPRT_ERR_OPEN;
    uint32_t rc = Work();
    if (m_handle) {
      // Stopped or failed while the device still answers: leave it idle where it can.
      if (rc == MXUPDPRT_ERR_STOPPED) Settle(false);
      MXUPD_Close(&m_handle);
    }
    return rc;
  }

 private:
  void At(const char* format, uint32_t a, uint32_t b = 0) {
    char text[96];
    std::snprintf(text, sizeof text, format, a, b);
    m_where = text;
  }

  uint32_t Work() {
    m_where = "reading the descriptors";
    uint32_t itfIndex = 0, itfNumber = 0, alternates = 0;
    DfuFunctionalDescriptor fd{};
    if (uint32_t rc = DfuInterfaceIndex(&m_handle, itfIndex); rc != MXUPDPRT_OK) return rc;
    if (uint32_t rc = MXUPD_GetDFUDescriptor(&m_handle, &itfNumber, &alternates, &fd);
        rc != MXUPD_OK)
      return rc == QK_ERR_NO_DEVICE ? MXUPDPRT_ERR_UNPLUGGED : MXUPDPRT_ERR_DESCRIPTOR;
    m_transferSize = fd.wTransferSize;
    if (m_transferSize == 0) return MXUPDPRT_ERR_DESCRIPTOR;

    if (m_record.operation == OPERATION_DETACH) {
      m_where = "detach";
      if (uint32_t rc = MXUPD_SelectCurrentConfiguration(&m_handle, 0, itfIndex, 0); rc != MXUPD_OK)
        return FromRequest(rc);
      if (uint32_t rc = MXUPD_Detach(&m_handle, uint8_t(itfNumber)); rc != MXUPD_OK)
        return IsStall(rc) ? MXUPDPRT_ERR_UNSUPPORTED : FromRequest(rc);
      return MXUPDPRT_OK;
    }

    uint8_t alternate = 0;
    if (MXUPDFILES_GetImageAlternate(m_record.image, &alternate) != MXUPDFILES_OK)
      return MXUPDPRT_ERR_IMAGE;
    if (alternate >= alternates) return MXUPDPRT_ERR_IMAGE;
    m_where = "reading the memory map";
    ParsedTarget target;
    if (uint32_t rc = ReadTarget(&m_handle, itfIndex, alternate, target); rc != MXUPDPRT_OK)
      return rc;
    target.target.sectors = target.sectors.data();
    if (uint32_t rc = MXUPD_SelectCurrentConfiguration(&m_handle, 0, itfIndex, alternate);
        rc != MXUPD_OK)
      return FromRequest(rc);
    m_where = "bringing the device to dfuIDLE";
    if (uint32_t rc = Settle(true); rc != MXUPDPRT_OK) return rc;

    switch (m_record.operation) {
      case OPERATION_LEAVE:
        return Leave();
      case OPERATION_ERASE:
        return Erase(target.target);
      case OPERATION_DNLOAD:
      case OPERATION_UPLOAD:
        return Transfer(target.target, m_record.operation == OPERATION_DNLOAD);
    }
    return MXUPDPRT_ERR_OPERATION;
  }

  bool Stopping() {
    std::lock_guard lock(m_op.lock);
    return m_op.stop;
  }

  void Progress(uint64_t done, uint64_t total) {
    const uint8_t percent = total == 0 ? 100 : uint8_t(std::min<uint64_t>(99, done * 100 / total));
    std::lock_guard lock(m_op.lock);
    m_op.percent = percent;
  }

  // Waits until the moment, or until stopped; false when stopped.
  bool WaitUntil(Clock::time_point until) {
    std::unique_lock lock(m_op.lock);
    while (!m_op.stop && Clock::now() < until) m_op.wake.wait_until(lock, until);
    return !m_op.stop;
  }

  // GETSTATUS, honouring the announced poll time-out, until one of the wanted states.
  uint32_t WaitForState(std::initializer_list<uint8_t> wanted, DfuStatusRecord* last = nullptr) {
    const auto giveUp = Clock::now() + kMaxBusyTime;
    for (int i = 0; i < kMaxBusyAnswers; ++i) {
      DfuStatusRecord st{};
      const uint32_t rc = MXUPD_Getstatus(&m_handle, &st);
      if (rc != MXUPD_OK) return IsStall(rc) ? MXUPDPRT_ERR_UNSUPPORTED : FromRequest(rc);
      if (last) *last = st;
      if (std::find(wanted.begin(), wanted.end(), st.bState) != wanted.end()) return MXUPDPRT_OK;
      if (st.bState == MXUPD_STATE_DFU_ERROR) return FromDeviceStatus(st.bStatus);
      if (st.bState != MXUPD_STATE_DFU_DNBUSY && st.bState != MXUPD_STATE_DFU_DNLOAD_SYNC &&
          st.bState != MXUPD_STATE_DFU_MANIFEST_SYNC && st.bState != MXUPD_STATE_DFU_MANIFEST)
        return MXUPDPRT_ERR_STATE;
      const auto next = Clock::now() + std::chrono::milliseconds(Poll(st));
      m_notBefore = next;
      if (next > giveUp) return MXUPDPRT_ERR_TIMEOUT;
      if (!WaitUntil(next)) return MXUPDPRT_ERR_STOPPED;
    }
    return MXUPDPRT_ERR_TIMEOUT;
  }

  // A failed request: a stall is explained by the status that follows it.
  uint32_t Failed(uint32_t rc) {
    if (!IsStall(rc)) return FromRequest(rc);
    DfuStatusRecord st{};
    const uint32_t s = MXUPD_Getstatus(&m_handle, &st);
    if (s != MXUPD_OK) return IsStall(s) ? MXUPDPRT_ERR_UNSUPPORTED : FromRequest(s);
    if (st.bState == MXUPD_STATE_DFU_ERROR && st.bStatus != 0) return FromDeviceStatus(st.bStatus);
    return MXUPDPRT_ERR_UNSUPPORTED;
  }

  // Brings the device to dfuIDLE (bounded). strict: report failure; otherwise best effort.
  uint32_t Settle(bool strict) {
    // Waits here are never cut short (the device asked for them), but all of them together
    // stay within a bound, so that a stop returns in time.
    const auto limit = Clock::now() + kMaxSettleWait;
    // A wait cut short by a stop is made up first.
    std::this_thread::sleep_until(std::min(m_notBefore, limit));
    for (int i = 0; i < kSettleTries; ++i) {
      DfuStatusRecord st{};
      const uint32_t rc = MXUPD_Getstatus(&m_handle, &st);
      if (rc != MXUPD_OK) return strict ? Failed(rc) : rc;
      switch (st.bState) {
        case MXUPD_STATE_DFU_IDLE:
          return MXUPDPRT_OK;
        case MXUPD_STATE_DFU_ERROR:
          MXUPD_Clrstatus(&m_handle);
          break;
        case MXUPD_STATE_DFU_DNBUSY:
        case MXUPD_STATE_DFU_DNLOAD_SYNC:
        case MXUPD_STATE_DFU_MANIFEST_SYNC:
          // Let the device finish what it does before it is interrupted, stopped or not.
          if (Clock::now() + std::chrono::milliseconds(Poll(st)) > limit)
            return MXUPDPRT_ERR_TIMEOUT;
          std::this_thread::sleep_for(std::chrono::milliseconds(Poll(st)));
          break;
        default:
          MXUPD_Abort(&m_handle);
          break;
      }
      if (!m_handle) break;
    }
    return MXUPDPRT_ERR_STATE;
  }

  // One command or data block by DNLOAD, then status until the device is ready again.
  uint32_t Download(const uint8_t* data, uint32_t length, uint16_t block) {
    if (uint32_t rc = MXUPD_Dnload(&m_handle, data, length, block); rc != MXUPD_OK)
      return Failed(rc);
    return WaitForState({MXUPD_STATE_DFU_DNLOAD_IDLE});
  }

  uint32_t Command(uint8_t command, uint32_t address) {
    const uint8_t bytes[5] = {command, uint8_t(address), uint8_t(address >> 8),
                              uint8_t(address >> 16), uint8_t(address >> 24)};
    return Download(bytes, sizeof bytes, 0);
  }

  uint32_t Abort() {
    if (uint32_t rc = MXUPD_Abort(&m_handle); rc != MXUPD_OK) return Failed(rc);
    return MXUPDPRT_OK;
  }

  uint32_t Leave() {
    ImageElement first{};
    if (MXUPDFILES_GetImageElement(m_record.image, 0, &first) != MXUPDFILES_OK)
      return MXUPDPRT_ERR_IMAGE;
    At("address pointer 0x%08X", first.address);
    if (uint32_t rc = Command(kSetAddress, first.address); rc != MXUPDPRT_OK) return rc;
    m_where = "manifestation";
    Progress(1, 3);
    const uint8_t none = 0;
    if (uint32_t rc = MXUPD_Dnload(&m_handle, &none, 0, 0); rc != MXUPD_OK) return Failed(rc);
    Progress(2, 3);
    // The device manifests and leaves the bus; either answer ends the operation well.
    DfuStatusRecord st{};
    const uint32_t rc = WaitForState(
        {MXUPD_STATE_DFU_MANIFEST, MXUPD_STATE_DFU_MANIFEST_WAIT_RESET, MXUPD_STATE_DFU_IDLE}, &st);
    if (rc == MXUPDPRT_ERR_UNPLUGGED) return MXUPDPRT_OK;
    return rc;
  }

  uint32_t Erase(const TargetMap& target) {
    MXUPDFILES_IMAGE sectors = nullptr;
    if (MXUPDFILES_DuplicateImage(m_record.image, &sectors) != MXUPDFILES_OK)
      return MXUPDPRT_ERR_IMAGE;
    uint32_t rc = MXUPDFILES_FilterImageForOperation(sectors, &target, OPERATION_ERASE, 0);
    uint32_t count = 0;
    if (rc == MXUPDFILES_OK) rc = MXUPDFILES_GetImageNbElement(sectors, &count);
    std::vector<uint32_t> addresses;
    for (uint32_t i = 0; rc == MXUPDFILES_OK && i < count; ++i) {
      ImageElement e{};
      rc = MXUPDFILES_GetImageElement(sectors, i, &e);
      addresses.push_back(uint32_t(e.address));
    }
    MXUPDFILES_DestroyImage(&sectors);
    if (rc != MXUPDFILES_OK) return MXUPDPRT_ERR_IMAGE;

    for (size_t i = 0; i < addresses.size(); ++i) {
      if (Stopping()) return MXUPDPRT_ERR_STOPPED;
      At("erase of the sector at 0x%08X", addresses[i]);
      if (uint32_t r = Command(kErasePage, addresses[i]); r != MXUPDPRT_OK) return r;
      Progress(i + 1, addresses.size());
    }
    m_where = "the end of the erase";
    return Abort();
  }

  // Download (write the image) or upload (read the same blocks back into it).
  uint32_t Transfer(const TargetMap& target, bool write) {
    MXUPDFILES_IMAGE check = nullptr;
    if (MXUPDFILES_DuplicateImage(m_record.image, &check) != MXUPDFILES_OK)
      return MXUPDPRT_ERR_IMAGE;
    const uint32_t fits = MXUPDFILES_FilterImageForOperation(
        check, &target, write ? OPERATION_DNLOAD : OPERATION_UPLOAD, 0);
    MXUPDFILES_DestroyImage(&check);
    if (fits != MXUPDFILES_OK) return MXUPDPRT_ERR_IMAGE;

    uint32_t count = 0;
    if (MXUPDFILES_GetImageNbElement(m_record.image, &count) != MXUPDFILES_OK)
      return MXUPDPRT_ERR_IMAGE;
    const uint64_t total = MXUPDFILES_GetImageSize(m_record.image);
    uint64_t done = 0;
    std::vector<uint8_t> data;
    for (uint32_t i = 0; i < count; ++i) {
      ImageElement e{};
      if (MXUPDFILES_GetImageElement(m_record.image, i, &e) != MXUPDFILES_OK)
        return MXUPDPRT_ERR_IMAGE;
      data.assign(e.size, 0);
      if (write) {
        e.data = data.data();
        if (MXUPDFILES_GetImageElement(m_record.image, i, &e) != MXUPDFILES_OK)
          return MXUPDPRT_ERR_IMAGE;
      }
      for (uint32_t at = 0; at < e.size;) {
        // The address pointer, then up to 65534 blocks from it.
        At("address pointer 0x%08X", e.address + at);
        if (uint32_t rc = Command(kSetAddress, e.address + at); rc != MXUPDPRT_OK) return rc;
        if (!write)
          if (uint32_t rc = Abort(); rc != MXUPDPRT_OK) return rc;
        for (uint32_t n = 0; n < kMaxBlocksPerPointer && at < e.size; ++n) {
          if (Stopping()) return MXUPDPRT_ERR_STOPPED;
          const uint32_t length = std::min<uint32_t>(m_transferSize, e.size - at);
          const uint16_t block = uint16_t(2 + n);
          At(write ? "download block %u at 0x%08X" : "upload block %u at 0x%08X", block,
             e.address + at);
          if (write) {
            if (uint32_t rc = Download(data.data() + at, length, block); rc != MXUPDPRT_OK)
              return rc;
          } else if (uint32_t rc = MXUPD_Upload(&m_handle, data.data() + at, length, block);
                     rc != MXUPD_OK) {
            return Failed(rc);
          }
          at += length;
          done += length;
          Progress(done, total);
        }
        // Back to dfuIDLE before the next address pointer of an upload, and at the end.
        if (uint32_t rc = Abort(); rc != MXUPDPRT_OK) return rc;
      }
      if (!write) {
        e.data = data.data();
        if (MXUPDFILES_SetImageElement(m_record.image, i, &e) != MXUPDFILES_OK)
          return MXUPDPRT_ERR_IMAGE;
      }
    }
    return MXUPDPRT_OK;
  }

  MxupdprtOperation& m_op;
  const OperationRecord m_record;
  MXUPD_HANDLE m_handle = nullptr;
  uint32_t m_transferSize = 0;
  std::string m_where;
  Clock::time_point m_notBefore{};  // no GETSTATUS before this time
};

void Work(MxupdprtOperation* op) {
  Runner runner(*op);
  const uint32_t rc = runner.Run();
  std::lock_guard lock(op->lock);
  op->error = rc;
  if (rc == MXUPDPRT_OK) op->percent = 100;
  if (rc != MXUPDPRT_OK) op->where = runner.Where();
}

void Fill(MxupdprtOperation* op, OperationRecord* record) {
  std::lock_guard lock(op->lock);
  *record = op->record;
  record->percent = op->percent;
  record->errorCode = op->error;
}

MxupdprtOperation* Lookup(MXUPDPRT_OPERATION operation) {
  std::lock_guard lock(RegisterLock());
  return Operations().count(operation) ? operation : nullptr;
}

}  // namespace
}  // namespace brisk::dfu

using namespace brisk::dfu;

extern "C" {

const char* MXUPDPRT_StatusText(uint32_t status) {
  switch (status) {
    case MXUPDPRT_OK:
      return "success";
    case MXUPDPRT_ERR_ARGUMENT:
      return "bad argument";
    case MXUPDPRT_ERR_HANDLE:
      return "unknown operation or map";
    case MXUPDPRT_ERR_OPEN:
      return "the device cannot be opened";
    case MXUPDPRT_ERR_DESCRIPTOR:
      return "unreadable descriptors or no DFU interface";
    case MXUPDPRT_ERR_MAP:
      return "the memory map is missing or does not parse";
    case MXUPDPRT_ERR_IMAGE:
      return "the image does not fit the device's memory";
    case MXUPDPRT_ERR_UNPLUGGED:
      return "the device left the bus";
    case MXUPDPRT_ERR_TIMEOUT:
      return "the device stayed busy too long";
    case MXUPDPRT_ERR_STATE:
      return "the device is in an unexpected state";
    case MXUPDPRT_ERR_TRANSFER:
      return "a USB request failed";
    case MXUPDPRT_ERR_STOPPED:
      return "stopped before done";
    case MXUPDPRT_ERR_MEMORY:
      return "out of memory";
    case MXUPDPRT_ERR_UNSUPPORTED:
      return "the firmware does not support the request";
    case MXUPDPRT_ERR_OPERATION:
      return "unknown operation";
    case MXUPDPRT_ERR_EMPTY:
      return "the image has no data";
  }
  switch (status ^ MXUPDPRT_ERR_DEVICE_STATUS) {
    case 0x01:
      return "the device refuses the target (errTARGET)";
    case 0x02:
      return "the device refused the file (errFILE)";
    case 0x03:
      return "the device cannot write the memory (errWRITE)";
    case 0x04:
      return "the device cannot erase the memory (errERASE)";
    case 0x05:
      return "the memory is not erased (errCHECK_ERASED)";
    case 0x06:
      return "programming failed (errPROG)";
    case 0x07:
      return "the device's own verification failed (errVERIFY)";
    case 0x08:
      return "the address is outside the device's memory (errADDRESS)";
    case 0x09:
      return "the firmware is incomplete (errNOTDONE)";
    case 0x0A:
      return "the firmware is corrupt (errFIRMWARE)";
    case 0x0B:
      return "a vendor-specific error (errVENDOR)";
    case 0x0C:
      return "an unexpected USB reset (errUSBR)";
    case 0x0D:
      return "an unexpected power-on reset (errPOR)";
    case 0x0E:
      return "an unknown device error (errUNKNOWN)";
  }
  return "unknown status";
}

uint32_t MXUPDPRT_CreateMappingFromDevice(const char* devicePath, TargetMap** map,
                                          uint32_t* count) {
  if (!devicePath || !map || !count) return MXUPDPRT_ERR_ARGUMENT;
  *map = nullptr;
  *count = 0;
  MXUPD_HANDLE h = nullptr;
  if (MXUPD_Open(devicePath, &h) != MXUPD_OK) return MXUPDPRT_ERR_OPEN;
  std::vector<ParsedTarget> targets;
  uint32_t rc = MXUPDPRT_OK;
  try {
    uint32_t itfIndex = 0, alternates = 0;
    rc = DfuInterfaceIndex(&h, itfIndex);
    if (rc == MXUPDPRT_OK && MXUPD_GetNbOfAlternates(&h, 0, itfIndex, &alternates) != MXUPD_OK)
      rc = MXUPDPRT_ERR_DESCRIPTOR;
    if (rc == MXUPDPRT_OK && (alternates == 0 || alternates > MXUPDPRT_MAX_TARGETS))
      rc = MXUPDPRT_ERR_MAP;
    for (uint32_t a = 0; rc == MXUPDPRT_OK && a < alternates; ++a) {
      ParsedTarget t;
      rc = ReadTarget(&h, itfIndex, a, t);
      if (rc == MXUPDPRT_OK) targets.push_back(std::move(t));
    }
  } catch (const std::bad_alloc&) {
    rc = MXUPDPRT_ERR_MEMORY;
  }
  MXUPD_Close(&h);
  if (rc != MXUPDPRT_OK) return rc;

  // One block: the records, then every sector array.
  size_t sectors = 0;
  for (const auto& t : targets) sectors += t.sectors.size();
  const size_t bytes = targets.size() * sizeof(TargetMap) + sectors * sizeof(SectorMap);
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[bytes]);
  if (!block) return MXUPDPRT_ERR_MEMORY;
  auto* records = reinterpret_cast<TargetMap*>(block.get());
  auto* next = reinterpret_cast<SectorMap*>(block.get() + targets.size() * sizeof(TargetMap));
  for (size_t i = 0; i < targets.size(); ++i) {
    TargetMap t = targets[i].target;
    std::memcpy(static_cast<void*>(next), targets[i].sectors.data(),
                targets[i].sectors.size() * sizeof(SectorMap));
    t.sectors = next;
    next += targets[i].sectors.size();
    std::memcpy(static_cast<void*>(&records[i]), &t, sizeof t);
  }
  {
    std::lock_guard lock(RegisterLock());
    Maps().emplace(records, std::move(block));
  }
  *map = records;
  *count = uint32_t(targets.size());
  return MXUPDPRT_OK;
}

uint32_t MXUPDPRT_DestroyMapping(TargetMap** map) {
  if (!map) return MXUPDPRT_ERR_ARGUMENT;
  std::unique_ptr<uint8_t[]> block;
  {
    std::lock_guard lock(RegisterLock());
    auto it = Maps().find(*map);
    if (it == Maps().end()) return MXUPDPRT_ERR_HANDLE;
    block = std::move(it->second);
    Maps().erase(it);
  }
  *map = nullptr;
  return MXUPDPRT_OK;
}

uint32_t MXUPDPRT_LaunchOperation(const OperationRecord* record, MXUPDPRT_OPERATION* operation) {
  if (!record || !operation) return MXUPDPRT_ERR_ARGUMENT;
  OperationRecord copy;
  std::memcpy(static_cast<void*>(&copy), record, sizeof copy);
  if (copy.operation < OPERATION_DETACH || copy.operation > OPERATION_DNLOAD)
    return MXUPDPRT_ERR_OPERATION;
  if (copy.optionFlag != 0 || strnlen(copy.devicePath, sizeof copy.devicePath) == 0 ||
      strnlen(copy.devicePath, sizeof copy.devicePath) == sizeof copy.devicePath)
    return MXUPDPRT_ERR_ARGUMENT;
  uint32_t elements = 0;
  if (copy.operation != OPERATION_DETACH &&
      MXUPDFILES_GetImageNbElement(copy.image, &elements) != MXUPDFILES_OK)
    return MXUPDPRT_ERR_IMAGE;
  // An image without a byte would erase and write nothing and verify by comparing nothing:
  // a flash that changed nothing must not end as a success.
  if ((copy.operation == OPERATION_ERASE || copy.operation == OPERATION_DNLOAD ||
       copy.operation == OPERATION_UPLOAD) &&
      MXUPDFILES_GetImageSize(copy.image) == 0)
    return MXUPDPRT_ERR_EMPTY;
  copy.percent = 0;
  copy.errorCode = MXUPDPRT_OK;

  auto* op = new (std::nothrow) MxupdprtOperation;
  if (!op) return MXUPDPRT_ERR_MEMORY;
  op->record = copy;
  try {
    op->worker = std::thread(Work, op);
  } catch (const std::system_error&) {
    delete op;
    return MXUPDPRT_ERR_MEMORY;
  }
  {
    std::lock_guard lock(RegisterLock());
    Operations().insert(op);
  }
  *operation = op;
  return MXUPDPRT_OK;
}

uint32_t MXUPDPRT_GetOperationStatus(MXUPDPRT_OPERATION operation, OperationRecord* record) {
  if (!record) return MXUPDPRT_ERR_ARGUMENT;
  MxupdprtOperation* op = Lookup(operation);
  if (!op) return MXUPDPRT_ERR_HANDLE;
  Fill(op, record);
  return MXUPDPRT_OK;
}

uint32_t MXUPDPRT_GetOperationWhere(MXUPDPRT_OPERATION operation, char* buffer, uint32_t size) {
  if (!buffer || size == 0) return MXUPDPRT_ERR_ARGUMENT;
  MxupdprtOperation* op = Lookup(operation);
  if (!op) return MXUPDPRT_ERR_HANDLE;
  std::lock_guard lock(op->lock);
  const size_t n = std::min<size_t>(op->where.size(), size - 1);
  std::memcpy(buffer, op->where.data(), n);
  buffer[n] = '\0';
  return MXUPDPRT_OK;
}

uint32_t MXUPDPRT_StopOperation(MXUPDPRT_OPERATION operation, OperationRecord* record) {
  MxupdprtOperation* op = nullptr;
  {
    // Taken out of the register first, so that a second stop cannot join the same worker.
    std::lock_guard lock(RegisterLock());
    if (!Operations().count(operation)) return MXUPDPRT_ERR_HANDLE;
    op = operation;
    Operations().erase(op);
  }
  {
    std::lock_guard lock(op->lock);
    op->stop = true;
  }
  op->wake.notify_all();
  op->worker.join();
  if (record) Fill(op, record);
  delete op;
  return MXUPDPRT_OK;
}

}  // extern "C"
