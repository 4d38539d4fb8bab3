#include "libs/mxupdprt/MXUPDPRT.h"

#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdprt/OperationWorker.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brisk::dfu {
namespace {

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
