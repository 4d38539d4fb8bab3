#pragma once

namespace brisk::platform {

struct PollItem {
  int fd = -1;             // a negative descriptor is skipped
  bool ready = false;      // out: input waits
  bool failed = false;     // out: hung up or in error
  bool wantWrite = false;  // also wait until output can be written
  bool writable = false;   // out: output can be written
};

// Waits until one item is ready, writable (when asked) or failed, or timeoutMs passes (-1 = no
// limit). Returns the number of items that are ready or failed, 0 on time-out, -1 on error.
int PollInput(PollItem* items, int count, int timeoutMs);

}  // namespace brisk::platform
