#include "platform/WakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <cstdint>
#include <stdexcept>

namespace brisk::platform {

WakeEvent::WakeEvent() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (m_fd < 0) throw std::runtime_error("eventfd failed");
}

WakeEvent::~WakeEvent() { ::close(m_fd); }

void WakeEvent::Signal() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(m_fd, &one, sizeof one);
}

void WakeEvent::Drain() {
  uint64_t value = 0;
  [[maybe_unused]] ssize_t n = ::read(m_fd, &value, sizeof value);
}

}  // namespace brisk::platform
