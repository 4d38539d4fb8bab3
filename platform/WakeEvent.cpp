#include "platform/WakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <cstdint>
#include <stdexcept>

namespace platform {

WakeEvent::WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw std::runtime_error("eventfd failed");
}

WakeEvent::~WakeEvent() { ::close(fd_); }

void WakeEvent::Signal() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void WakeEvent::Drain() {
  uint64_t value = 0;
  [[maybe_unused]] ssize_t n = ::read(fd_, &value, sizeof value);
}

}  // namespace platform
