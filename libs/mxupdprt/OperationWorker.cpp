#include "libs/mxupdprt/OperationWorker.h"

#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/qktube/QKTubeDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

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

}  // namespace

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

uint32_t DfuInterfaceIndex(MXUPD_HANDLE* h, uint32_t& index) {
  uint32_t n = 0;
  const uint32_t rc = MXUPD_GetNbOfInterfaces(h, 0, &n);
  if (rc == QK_ERR_NO_DEVICE) return MXUPDPRT_ERR_UNPLUGGED;
  if (rc != MXUPD_OK || n == 0) return MXUPDPRT_ERR_DESCRIPTOR;
  index = n - 1;
  return MXUPDPRT_OK;
}

void Work(MxupdprtOperation* op) {
  Runner runner(*op);
  const uint32_t rc = runner.Run();
  std::lock_guard lock(op->lock);
  op->error = rc;
  if (rc == MXUPDPRT_OK) op->percent = 100;
  if (rc != MXUPDPRT_OK) op->where = runner.Where();
}

}  // namespace brisk::dfu
