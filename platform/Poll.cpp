#include "platform/Poll.h"

#include <poll.h>
#include <cerrno>

namespace brisk::platform {

int PollInput(PollItem* items, int count, int timeoutMs) {
  pollfd fds[8];
  if (count > 8) return -1;
  for (int i = 0; i < count; ++i) {
    const short events = static_cast<short>(POLLIN | (items[i].wantWrite ? POLLOUT : 0));
    fds[i] = pollfd{items[i].fd, events, 0};
    items[i].ready = items[i].failed = items[i].writable = false;
  }
  int r;
  do {
    r = poll(fds, static_cast<nfds_t>(count), timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return r;
  for (int i = 0; i < count; ++i) {
    items[i].ready = (fds[i].revents & POLLIN) != 0;
    items[i].failed = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    items[i].writable = (fds[i].revents & POLLOUT) != 0;
  }
  return r;
}

}  // namespace brisk::platform
