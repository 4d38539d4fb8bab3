// One background operation of MXUPDPRT: the state its caller and its worker thread share, and
// the worker's body.
#pragma once

#include "libs/mxupd/MXUPD.h"
#include "libs/mxupdprt/MXUPDPRT.h"
#include "libs/mxupdprt/MemoryMap.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

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

// Index of the DFU interface: the last one of configuration 0.
uint32_t DfuInterfaceIndex(MXUPD_HANDLE* h, uint32_t& index);
// The interface string of one alternate setting, parsed.
uint32_t ReadTarget(MXUPD_HANDLE* h, uint32_t interfaceIndex, uint32_t alternate,
                    ParsedTarget& out);
// Runs the operation to its end on the calling thread; its result and place land in op.
void Work(MxupdprtOperation* op);

}  // namespace brisk::dfu
