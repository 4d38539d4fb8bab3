#include "dfu/ProtectionProbe.h"

#include <chrono>
#include <thread>

#include "dfu/DfuUpgradeEngine.h"
#include "log/Log.h"

namespace brisk::dfu {

bool SettleToIdle(MXUPD_HANDLE* handle, DfuStatusRecord& status, bool haveStatus) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxSettleWaitMs);
  for (int round = 0; round < kSettleRounds; ++round) {
    if (!haveStatus && MXUPD_Getstatus(handle, &status) != MXUPD_OK) return false;
    haveStatus = false;
    const uint8_t state = status.bState;
    if (state == MXUPD_STATE_DFU_IDLE) return true;
    uint32_t rc = MXUPD_OK;
    if (state == MXUPD_STATE_DFU_DNLOAD_SYNC || state == MXUPD_STATE_DFU_DNBUSY ||
        state == MXUPD_STATE_DFU_MANIFEST_SYNC) {
      // Still working on the command: ask again once the announced time has passed.
      const uint32_t pollMs = uint32_t(status.bwPollTimeout[0]) |
                              uint32_t(status.bwPollTimeout[1]) << 8 |
                              uint32_t(status.bwPollTimeout[2]) << 16;
      // The whole announced time: asking early only makes the device say it again.
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pollMs);
      if (until > limit) return false;
      std::this_thread::sleep_until(until);
    } else if (state == MXUPD_STATE_DFU_DNLOAD_IDLE || state == MXUPD_STATE_DFU_UPLOAD_IDLE) {
      rc = MXUPD_Abort(handle);  // a finished command or read: back to idle
    } else {
      rc = MXUPD_Clrstatus(handle);
    }
    if (rc != MXUPD_OK) return false;
  }
  return false;
}

void ProbeProtection(MXUPD_HANDLE* handle, bool& readProtected, uint8_t& rdp, uint32_t& wrp) {
  DfuStatusRecord status{};
  MXUPD_HANDLE none = nullptr;
  if (!handle) handle = &none;  // every request fails: nothing read, every flag cleared
  bool settled = true;
  // Read-protection probe: a protected device refuses to read back its flash.
  if (MXUPD_SelectCurrentConfiguration(handle, 0, 0, 1) == MXUPD_OK) {
    settled = SettleToIdle(handle, status);
    uint8_t command[5] = {0x21, 0x00, 0x00, 0x00, 0x08};
    if (settled) MXUPD_Dnload(handle, command, sizeof command, 0);
    settled = settled && SettleToIdle(handle, status);
    if (settled) {
      uint8_t probe[16] = {};
      MXUPD_Upload(handle, probe, sizeof probe, 2);
      if (MXUPD_Getstatus(handle, &status) != MXUPD_OK) {
        settled = false;
      } else {
        readProtected = status.bState == MXUPD_STATE_DFU_ERROR;
        settled = SettleToIdle(handle, status, true);
      }
    }
  }
  // Option bytes, unless protected or the device would not settle.
  if (!readProtected && settled) {
    uint8_t buffer[64] = {};
    if (MXUPD_SelectCurrentConfiguration(handle, 0, 0, 1) == MXUPD_OK &&
        SettleToIdle(handle, status)) {
      uint8_t command[5] = {0x21, 0x00, 0xF8, 0xFF, 0x1F};
      MXUPD_Dnload(handle, command, sizeof command, 0);
      if (SettleToIdle(handle, status) && MXUPD_Upload(handle, buffer, 16, 2) == MXUPD_OK) {
        rdp = buffer[0];
        wrp = uint32_t(buffer[8]) | uint32_t(buffer[10]) << 8 | uint32_t(buffer[12]) << 16 |
              uint32_t(buffer[14]) << 24;
      }
    }
  } else if (!settled) {
    WriteLog("device did not return to dfuIDLE within %d rounds, option bytes not read",
             kSettleRounds);
  }
}

void ApplyProtection(TargetMap* map, uint32_t count, uint8_t rdp, uint32_t wrp) {
  for (uint32_t t = 0; t < count; ++t) {
    const TargetMap target = map[t];
    for (uint32_t s = 0; s < target.sectorCount; ++s) {
      uint8_t flags = target.sectors[s].flags;
      flags = rdp == 0xA5 ? uint8_t(flags | SECTOR_READABLE) : uint8_t(flags & ~SECTOR_READABLE);
      const bool open = (wrp >> (s < 128 ? s / 4 : 31)) & 1;
      flags = open ? uint8_t(flags | SECTOR_ERASABLE | SECTOR_WRITABLE)
                   : uint8_t(flags & ~(SECTOR_ERASABLE | SECTOR_WRITABLE));
      target.sectors[s].flags = flags;
    }
  }
}

}  // namespace brisk::dfu
