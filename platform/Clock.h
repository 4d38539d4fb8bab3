#pragma once
#include <cstdint>

namespace platform {
// Milliseconds of a monotonic clock.
int64_t NowMs();
void SleepMs(int ms);
}  // namespace platform
