#include "platform/Tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Clock.h"
#include "platform/WakeEvent.h"

namespace brisk::platform {

namespace {

std::mutex g_resolverLock;
Resolver g_resolver;

bool SystemResolve(const std::string& host, std::vector<std::string>& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    char text[INET_ADDRSTRLEN];
    const auto* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) addresses.emplace_back(text);
  }
  freeaddrinfo(result);
  return true;
}

bool SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) == 0;
}

}  // namespace

namespace {

// What a lookup thread hands back; shared, because a caller that gives up leaves it behind.
struct Lookup {
  std::mutex lock;
  bool ok = false;
  std::vector<std::string> addresses;
  WakeEvent finished;
};

}  // namespace

bool ResolveIPv4(const std::string& host, std::vector<std::string>& addresses, int cancelFd,
                 int timeoutMs) {
  Resolver resolver;
  {
    std::lock_guard<std::mutex> guard(g_resolverLock);
    resolver = g_resolver;
  }
  // The system lookup cannot be interrupted, so it runs on a thread of its own that the caller
  // may abandon; that thread finishes by itself later and frees what it shares.
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host, resolver] {
      std::vector<std::string> found;
      const bool ok = resolver ? resolver(host, found) : SystemResolve(host, found);
      std::lock_guard<std::mutex> guard(lookup->lock);
      lookup->ok = ok;
      lookup->addresses = std::move(found);
      lookup->finished.Signal();
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd fds[2] = {{lookup->finished.Fd(), POLLIN, 0}, {cancelFd, POLLIN, 0}};
    const int r = poll(fds, 2, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (fds[0].revents & POLLIN) {
      std::lock_guard<std::mutex> guard(lookup->lock);
      if (!lookup->ok) return false;
      addresses = lookup->addresses;
      return true;
    }
    if (fds[1].revents) return false;
  }
}

void SetResolver(Resolver resolver) {
  std::lock_guard<std::mutex> guard(g_resolverLock);
  g_resolver = std::move(resolver);
}

bool IsDottedIPv4(const std::string& text) {
  in_addr addr{};
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

int TcpCreate() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

bool TcpSetKeepAlive(int fd, int idleMs, int intervalMs) {
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return false;
  const int idle = idleMs / 1000;
  const int interval = intervalMs / 1000;
  return setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0;
}

void TcpSetNoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool IsSignalled(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool TcpConnect(int fd, const char* address, uint32_t port, int timeoutMs, int cancelFd) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address, &to.sin_addr) != 1) return false;
  if (!SetBlocking(fd, false)) return false;
  bool connected = false;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
    connected = true;
  } else if (errno == EINPROGRESS) {
    const int64_t deadline = NowMs() + timeoutMs;
    pollfd p[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
    int r;
    do {
      const int64_t left = deadline - NowMs();
      r = left > 0 ? poll(p, 2, static_cast<int>(left)) : 0;
    } while (r < 0 && errno == EINTR);
    if (r > 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP)) && !(p[1].revents & POLLIN)) {
      int error = 0;
      socklen_t length = sizeof error;
      connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
  }
  SetBlocking(fd, true);
  return connected;
}

long TcpReceive(int fd, uint8_t* buffer, size_t count) {
  long n;
  do {
    n = recv(fd, buffer, count, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

long TcpSendNow(int fd, const uint8_t* buffer, size_t count) {
  for (;;) {
    const long n = send(fd, buffer, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

void TcpClose(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace brisk::platform
