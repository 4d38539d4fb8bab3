#include "platform/Poll.h"

#include <poll.h>
#include <cerrno>

namespace brisk::platform {

int PollInput(PollItem* items, int count, int timeoutMs) {
  pollfd fds[8];
  if (count > 8) return -1;
  for (int i = 0; i < count; ++i) {
    fds[i] = pollfd{items[i].fd, POLLIN, 0};
    items[i].ready = items[i].failed = false;
  }
  int r;
  do {
    r = poll(fds, static_cast<nfds_t>(count), timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return r;
  for (int i = 0; i < count; ++i) {
    items[i].ready = (fds[i].revents & POLLIN) != 0;
    items[i].failed = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  return r;
}

}  // namespace brisk::platform
