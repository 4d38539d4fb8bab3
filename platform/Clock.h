#pragma once
#include <cstdint>

namespace brisk::platform {
// Milliseconds of a monotonic clock.
int64_t NowMs();
void SleepMs(int ms);
}  // namespace brisk::platform
