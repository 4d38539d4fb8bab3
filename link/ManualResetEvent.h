#pragma once
#include <condition_variable>
#include <mutex>

namespace brisk::link {

// An event that stays set until it is reset, for the answer hand-over to a waiting command.
class ManualResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_set = true;
    }
    m_cond.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_set = false;
  }
  // While interrupted, every wait ends at once as unanswered.
  void SetInterrupted(bool interrupted) {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_interrupted = interrupted;
    }
    m_cond.notify_all();
  }
  // True when set within timeoutMs (and not interrupted).
  bool Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [this] { return m_set || m_interrupted; });
    return m_set && !m_interrupted;
  }
  bool IsSet() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_set;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_set = false;
  bool m_interrupted = false;
};

}  // namespace brisk::link
