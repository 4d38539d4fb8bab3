#pragma once

namespace platform {

// A descriptor that a poll() loop can watch, so another thread can wake it at once.
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void Signal();
  void Drain();
  int Fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace platform
