#include "platform/SingleInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Paths.h"

namespace brisk::platform {

SingleInstanceLock::Result SingleInstanceLock::Acquire(const std::string& path,
                                                       std::unique_ptr<SingleInstanceLock>* lock) {
  if (path.empty()) return Result::Failed;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Result::Failed;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? Result::HeldByOther : Result::Failed;
  }
  lock->reset(new SingleInstanceLock(fd));
  return Result::Acquired;
}

SingleInstanceLock::~SingleInstanceLock() { close(m_fd); }

std::string SingleInstanceLockPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return std::string(runtime) + "/BriskNetService.lock";
  const std::string temp = TempFolder();
  return temp.empty() ? std::string() : temp + "/BriskNetService.lock";
}

}  // namespace brisk::platform
