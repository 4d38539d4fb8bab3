#pragma once

namespace brisk::platform {

// A descriptor that a poll() loop can watch, so another thread can wake it at once.
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void Signal();
  void Drain();
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace brisk::platform
