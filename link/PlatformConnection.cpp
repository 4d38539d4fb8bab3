#include <cstring>
#include <string>
#include <vector>

#include "link/Frame.h"
#include "link/Relay.h"
#include "log/Log.h"
#include "platform/Clock.h"
#include "platform/Tcp.h"
#include "platform/WakeEvent.h"

namespace brisk::link {

namespace {
constexpr int kConnectTimeoutMs = 3000;
constexpr int kKeepAliveIdleMs = 150000;
constexpr int kKeepAliveIntervalMs = 3000;
constexpr size_t kMaxAddresses = 5;
constexpr size_t kAddressChars = 39;
constexpr int kLinkLostPauseMs = 10;
constexpr uint8_t kNoticePrefix[] = {0x01, 0x3F, 0x02};
}  // namespace

int Relay::ConnectServer(int cancelFd) {
  const std::string host = PlatformHost();
  const uint32_t port = PlatformPort();
  WriteLog("connect server %s:%d", host.c_str(), static_cast<int>(port));

  std::vector<std::string> table;
  if (platform::IsDottedIPv4(host)) {
    table.push_back(host.substr(0, kAddressChars));
  } else {
    std::vector<std::string> addresses;
    if (!platform::ResolveIPv4(host, addresses, cancelFd)) {
      WriteLog("gethostby name failed");
      return -1;
    }
    for (size_t i = 0; i < addresses.size() && table.size() < kMaxAddresses; ++i) {
      WriteLog("ip %d is: %s", static_cast<int>(i), addresses[i].c_str());
      table.push_back(addresses[i].substr(0, kAddressChars));
    }
  }

  for (const std::string& address : table) {
    if (platform::IsSignalled(cancelFd)) {
      WriteLog("connect %s:%d cancelled", host.c_str(), static_cast<int>(port));
      return -1;
    }
    WriteLog("Try to connect %s", address.c_str());
    const int fd = ConnectWithTimeout(address.c_str(), port, kConnectTimeoutMs, cancelFd);
    if (fd >= 0) {
      WriteLog("connect %s success", address.c_str());
      return fd;
    }
    WriteLog("connect %s failed", address.c_str());
  }
  WriteLog("connect %s:%d failed", host.c_str(), static_cast<int>(port));
  return -1;
}

int Relay::ConnectWithTimeout(const char* address, uint32_t port, int timeoutMs, int cancelFd) {
  const int fd = platform::TcpCreate();
  if (fd < 0) return -1;
  m_keepAliveSet = 0;
  if (platform::TcpSetKeepAlive(fd, kKeepAliveIdleMs, kKeepAliveIntervalMs)) {
    WriteLog("Set Keep Alive success");
    m_keepAliveSet = 1;
  } else {
    WriteLog("Set Keep Alive failed");
  }
  // Small request/answer blocks: Nagle's delay would add tens of milliseconds to each.
  platform::TcpSetNoDelay(fd);
  if (!platform::TcpConnect(fd, address, port, timeoutMs, cancelFd)) {
    platform::TcpClose(fd);
    return -1;
  }
  return fd;
}

void Relay::CloseServerSocket() {
  platform::TcpClose(m_serverSocket.exchange(-1));
  m_sendQueue.clear();
  m_sendQueueHead = 0;
  m_queuedBytes = 0;
}

void Relay::ReadServer() {
  std::vector<uint8_t>& buffer = m_serverIn;  // relay thread only, so kept between calls
  buffer.resize(frame::kReceiveBufferSize);
  const int socket = m_serverSocket;
  const long n =
      socket >= 0 ? platform::TcpReceive(socket, buffer.data() + 1, buffer.size() - 1) : -1;
  if (n <= 0) {
    WriteLog("read failed");
    CloseServerSocket();
    if (m_relayActive == 1) {
      platform::SleepMs(kLinkLostPauseMs);
      NotifyLinkLost();
    }
    return;
  }
  const uint8_t* block = buffer.data() + 1;
  WriteLogHex("read server: ", block, static_cast<int>(n));

  bool heartbeatAsked = false;
  if (n > 3 && std::memcmp(block, kNoticePrefix, sizeof kNoticePrefix) == 0) {
    const char* text = reinterpret_cast<const char*>(block + 3);
    const std::string notice(text, strnlen(text, static_cast<size_t>(n - 3)));
    WriteLog("%s", notice.c_str());
    if (notice.find(":Upgrade:") != std::string::npos) m_relayActive = 0;
    if (notice.find(":OK:") != std::string::npos) heartbeatAsked = true;
  }
  m_serverBytesReceived += static_cast<uint32_t>(n);

  buffer[0] = frame::kPlatformData;
  WriteCom(buffer.data(), static_cast<int>(n + 1));
  if (heartbeatAsked && m_relayActive == 1 && m_keepAliveSet == 1) PushHeartbeat();
}

// Never waits for the platform: what its socket cannot take now is queued behind what already
// waits, and leaves from the relay loop as the socket drains.
int Relay::SendServer(const uint8_t* bytes, int count) {
  const int socket = m_serverSocket;
  if (socket < 0) {
    if (!m_lossLogged) WriteLog("send failed, socket is not valid");
    m_lossLogged = true;
    return -1;
  }
  if (count <= 0) return 0;
  size_t position = 0;
  const size_t waiting = m_sendQueue.size() - m_sendQueueHead;
  if (waiting == 0) {
    const long sent = platform::TcpSendNow(socket, bytes, static_cast<size_t>(count));
    if (sent < 0) {
      WriteLogHex("send server: ", bytes, count);
      WriteLog("send failed");
      return -1;
    }
    position = static_cast<size_t>(sent);
    m_serverBytesSent += static_cast<uint32_t>(sent);
  }
  WriteLogHex("send server: ", bytes, count);
  const size_t rest = static_cast<size_t>(count) - position;
  if (rest == 0) return 0;
  if (waiting + rest > kMaxPlatformQueue) {
    WriteLog("platform is not reading, %d bytes wait to be sent", static_cast<int>(waiting));
    WriteLog("send failed");
    CloseServerSocket();
    return -1;
  }
  if (waiting == 0) m_lastDrainMs = platform::NowMs();
  m_sendQueue.insert(m_sendQueue.end(), bytes + position, bytes + count);
  m_queuedBytes = waiting + rest;
  return 0;
}

void Relay::DrainSendQueue() {
  const int socket = m_serverSocket;
  const size_t waiting = m_sendQueue.size() - m_sendQueueHead;
  if (socket < 0 || waiting == 0) return;
  const long sent = platform::TcpSendNow(socket, m_sendQueue.data() + m_sendQueueHead, waiting);
  if (sent < 0) {
    WriteLog("send failed");
    GiveUpPlatform();
    return;
  }
  if (sent == 0) return;
  m_serverBytesSent += static_cast<uint32_t>(sent);
  m_lastDrainMs = platform::NowMs();
  m_sendQueueHead += static_cast<size_t>(sent);
  if (m_sendQueueHead == m_sendQueue.size()) {
    m_sendQueue.clear();
    m_sendQueueHead = 0;
  } else if (m_sendQueueHead >= m_sendQueue.size() / 2) {
    // Keeps the queue's storage from growing with everything ever sent.
    m_sendQueue.erase(m_sendQueue.begin(),
                      m_sendQueue.begin() + static_cast<std::ptrdiff_t>(m_sendQueueHead));
    m_sendQueueHead = 0;
  }
  m_queuedBytes = m_sendQueue.size() - m_sendQueueHead;
}

void Relay::GiveUpPlatform() {
  CloseServerSocket();
  NotifyLinkLost();
}

void Relay::ConnectOnRequest() {
  m_connecting = true;
  StopServerConnect();
  // A second request while a connection is open replaces it; the old socket must not leak.
  CloseServerSocket();
  // Stop and the destructor signal the wake-up descriptor; the lookup and connect give up then.
  const int socket = ConnectServer(m_wake.Fd());
  if (socket >= 0) {
    {
      std::lock_guard<std::mutex> guard(m_socketLock);
      m_serverSocket = socket;
      m_relayActive = 1;
    }
    m_lossLogged = false;
    SendConnectResult(0, 0);
  } else {
    SendConnectResult(1, 1);
  }
  m_connecting = false;
}

// Notices are built in buffers of their own: a command may be on its way meanwhile.
void Relay::SendConnectResult(uint8_t a, uint8_t b) {
  const uint8_t data[] = {frame::kConnect, a, b};
  WriteCom(data, sizeof data);
}

void Relay::NotifyLinkLost() {
  if (!m_relayRunning) return;
  const uint8_t data[] = {frame::kLinkLost, 1, 0};
  WriteCom(data, sizeof data);
}

void Relay::PushHeartbeat() {
  const uint32_t usb = m_usbHeartbeatInterval;
  const uint32_t cat1 = m_cat1HeartbeatInterval;
  WriteLog("set heart beat interval: %d %d", static_cast<int>(usb), static_cast<int>(cat1));
  uint8_t data[5] = {frame::kSetHeartbeat};
  frame::WriteLe16(data + 1, static_cast<uint16_t>(usb));
  frame::WriteLe16(data + 3, static_cast<uint16_t>(cat1));
  WriteCom(data, sizeof data);
}

int Relay::CanReachPlatform() {
  const int socket = ConnectServer();
  if (socket < 0) return 0;
  platform::TcpClose(socket);
  return 1;
}

}  // namespace brisk::link
