#pragma once
// A one-shot timer scheduler run on the caller's thread, for callers without a window
// system's timers (the command-line flasher, tests).
#include <chrono>
#include <functional>
#include <map>

#include "dfu/DfuUpgradeEngine.h"

namespace brisk::dfu {

class TimerLoop : public TimerScheduler {
 public:
  using Clock = std::chrono::steady_clock;

  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override;
  bool Pending(int id) const { return m_due.count(id) != 0; }
  bool Empty() const { return m_due.empty(); }

  // Waits for the earliest timer, removes it and hands its id to fire. Returns false without
  // waiting when no timer is pending, or when the earliest is due after deadline.
  bool RunOne(const std::function<void(int)>& fire, Clock::time_point deadline);

 private:
  std::map<int, Clock::time_point> m_due;
};

}  // namespace brisk::dfu
