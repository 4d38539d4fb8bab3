#pragma once

namespace brisk::platform {

struct PollItem {
  int fd = -1;          // a negative descriptor is skipped
  bool ready = false;   // out: input waits
  bool failed = false;  // out: hung up or in error
};

// Waits until one item is ready or failed, or timeoutMs passes (-1 = no limit).
// Returns the number of items that are ready or failed, 0 on time-out, -1 on error.
int PollInput(PollItem* items, int count, int timeoutMs);

}  // namespace brisk::platform
