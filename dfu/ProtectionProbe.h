// The protection settings of a device with option bytes: whether it refuses to read back its
// flash, and its read and write protection bytes, applied to the sectors' flags.
#pragma once

#include <cstdint>

#include "libs/mxupd/MXUPD.h"
#include "libs/mxupdfiles/DfuRecords.h"

namespace brisk::dfu {

// Brings the device back to dfuIDLE, from status when haveStatus; bounded by kSettleRounds
// rounds and kMaxSettleWaitMs.
bool SettleToIdle(MXUPD_HANDLE* handle, DfuStatusRecord& status, bool haveStatus = false);
// Probes the read protection, then reads the option bytes unless protected. A null handle reads
// nothing; what is not read keeps its value.
void ProbeProtection(MXUPD_HANDLE* handle, bool& readProtected, uint8_t& rdp, uint32_t& wrp);
// Sets or clears each sector's readable, erasable and writable flags from rdp and wrp.
void ApplyProtection(TargetMap* map, uint32_t count, uint8_t rdp, uint32_t wrp);

}  // namespace brisk::dfu
