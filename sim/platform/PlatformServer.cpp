#include "sim/platform/PlatformServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>

namespace brisk::sim {

namespace {

sockaddr_in Loopback(const std::string& address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

bool IsLoopback(const std::string& address) {
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::unique_ptr<PlatformServer> PlatformServer::Start(const Options& options) {
  if (!IsLoopback(options.address)) return nullptr;
  auto server = std::unique_ptr<PlatformServer>(new PlatformServer());
  server->m_options = options;
  server->m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (server->m_listenFd < 0) return nullptr;
  const int on = 1;
  setsockopt(server->m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in at = Loopback(options.address, options.port);
  if (bind(server->m_listenFd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return nullptr;
  socklen_t length = sizeof at;
  getsockname(server->m_listenFd, reinterpret_cast<sockaddr*>(&at), &length);
  server->m_port = ntohs(at.sin_port);
  if (listen(server->m_listenFd, options.acceptNothing ? 0 : 16) != 0) return nullptr;

  if (options.acceptNothing) {
    // Fill the listening queue with connections nobody accepts: later connects get no answer.
    for (int i = 0; i < 4; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
      server->m_fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  server->m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  server->m_thread = std::thread(&PlatformServer::Run, server.get());
  return server;
}

PlatformServer::~PlatformServer() {
  const uint64_t one = 1;
  if (m_stopFd >= 0) [[maybe_unused]]
    ssize_t n = write(m_stopFd, &one, sizeof one);
  if (m_thread.joinable()) m_thread.join();
  for (int fd : m_fillers) close(fd);
  if (m_client >= 0) close(m_client);
  if (m_listenFd >= 0) close(m_listenFd);
  if (m_stopFd >= 0) close(m_stopFd);
}

uint16_t PlatformServer::RefusingPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = Loopback("127.0.0.1", 0);
  bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  socklen_t length = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
  close(fd);  // bound, never listened, closed: nothing answers there
  return ntohs(at.sin_port);
}

void PlatformServer::SetReply(Reply reply) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_reply = std::move(reply);
}

bool PlatformServer::Send(const Bytes& bytes) {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_client >= 0 && !m_clientGone && SendAll(m_client, bytes.data(), bytes.size());
}

bool PlatformServer::SendNotice(const std::string& text) {
  Bytes block(3 + text.size());
  block[0] = 0x01;
  block[1] = 0x3F;
  block[2] = 0x02;
  std::copy(text.begin(), text.end(), block.begin() + 3);
  return Send(block);
}

void PlatformServer::CloseClient() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_client >= 0) shutdown(m_client, SHUT_RDWR);
}

int PlatformServer::Connections() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_connections;
}

bool PlatformServer::WaitConnections(int count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_connections >= count; });
}

PlatformServer::Bytes PlatformServer::Received() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_received;
}

bool PlatformServer::WaitReceived(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_received.size() >= count; });
}

bool PlatformServer::WaitClientGone(int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_client >= 0 && m_clientGone; });
}

void PlatformServer::Run() {
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::seconds(m_options.lifetimeSeconds);
  uint8_t buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    int client;
    bool gone;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      client = m_client;
      gone = m_clientGone;
    }
    pollfd fds[3] = {{m_stopFd, POLLIN, 0},
                     {m_options.acceptNothing ? -1 : m_listenFd, POLLIN, 0},
                     {gone || m_options.readNothing ? -1 : client, POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(std::min<long>(left.count(), 1000))) < 0 && errno != EINTR)
      return;
    if (fds[0].revents) return;
    if (fds[1].revents & POLLIN) {
      const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_client >= 0) close(m_client);  // one client at a time: the newest wins
        m_client = fd;
        m_clientGone = false;
        ++m_connections;
        m_cond.notify_all();
      }
      continue;
    }
    if (client >= 0 && !gone && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = recv(client, buffer, sizeof buffer, 0);
      std::unique_lock<std::mutex> lock(m_mutex);
      if (client != m_client) continue;
      if (n <= 0) {
        m_clientGone = true;
        m_cond.notify_all();
        continue;
      }
      m_received.insert(m_received.end(), buffer, buffer + n);
      Reply reply = m_reply;
      m_cond.notify_all();
      lock.unlock();
      Bytes answer;
      if (reply)
        answer = reply(Bytes(buffer, buffer + n));
      else if (m_options.echo)
        answer.assign(buffer, buffer + n);
      if (!answer.empty()) SendAll(client, answer.data(), answer.size());
    }
  }
}

}  // namespace brisk::sim
