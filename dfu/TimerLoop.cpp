#include "dfu/TimerLoop.h"

#include <thread>

namespace brisk::dfu {

void TimerLoop::StartTimer(int id, int periodMs) {
  m_due[id] = Clock::now() + std::chrono::milliseconds(periodMs);
}

void TimerLoop::StopTimer(int id) { m_due.erase(id); }

bool TimerLoop::RunOne(const std::function<void(int)>& fire, Clock::time_point deadline) {
  if (m_due.empty()) return false;
  auto next = m_due.begin();
  for (auto it = m_due.begin(); it != m_due.end(); ++it)
    if (it->second < next->second) next = it;
  if (next->second > deadline) return false;
  const int id = next->first;
  std::this_thread::sleep_until(next->second);
  // The step may stop or restart its own timer; it is removed here as a fired one-shot.
  m_due.erase(id);
  fire(id);
  return true;
}

}  // namespace brisk::dfu
