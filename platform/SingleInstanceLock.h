#pragma once
// One copy per user where no session bus decides it: an advisory lock on a file in
// $XDG_RUNTIME_DIR (the private temporary folder when that is not set).
#include <memory>
#include <string>

namespace brisk::platform {

class SingleInstanceLock {
 public:
  enum class Result { Acquired, HeldByOther, Failed };
  // Takes the lock on path; the file is created 0600 and never removed (removal would race).
  static Result Acquire(const std::string& path, std::unique_ptr<SingleInstanceLock>* lock);
  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

 private:
  explicit SingleInstanceLock(int fd) : m_fd(fd) {}
  int m_fd;
};

// $XDG_RUNTIME_DIR/BriskNetService.lock; empty when no private folder is known.
std::string SingleInstanceLockPath();

}  // namespace brisk::platform
