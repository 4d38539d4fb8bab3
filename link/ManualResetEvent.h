#pragma once
#include <condition_variable>
#include <mutex>

// An event that stays set until it is reset, for the answer hand-over to a waiting command.
class ManualResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      set_ = true;
    }
    cond_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    set_ = false;
  }
  // True when set within timeoutMs.
  bool Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> guard(mutex_);
    return set_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool set_ = false;
};
