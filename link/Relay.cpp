#include "link/Relay.h"

#include <pthread.h>

#include "log/Log.h"
#include "platform/Clock.h"
#include "platform/Poll.h"

namespace brisk::link {

Relay::~Relay() {
  StopThread();
  CloseServerSocket();
}

void Relay::SetHandlers(FrameHandler answers, FrameHandler transfers) {
  m_answers = std::move(answers);
  m_transfers = std::move(transfers);
}

std::string Relay::PlatformHost() const {
  std::lock_guard<std::mutex> guard(m_platformLock);
  return m_platformHost;
}

uint32_t Relay::PlatformPort() const {
  std::lock_guard<std::mutex> guard(m_platformLock);
  return m_platformPort;
}

void Relay::SetPlatformAddress(const std::string& host, uint32_t port) {
  std::lock_guard<std::mutex> guard(m_platformLock);
  m_platformHost = host;
  m_platformPort = port;
}

void Relay::Attach(std::unique_ptr<ReaderPort> port) {
  // Two relay threads must never run on one object.
  StopThread();
  m_port = std::move(port);
  m_wake.Drain();
  m_comFrames.Clear();
  m_relayRunning = 1;
}

void Relay::Start(std::unique_ptr<ReaderPort> port) {
  Attach(std::move(port));
  m_relayThread = std::thread([this] {
    while (Serve(-1)) {
    }
    CloseServerSocket();
  });
  pthread_setname_np(m_relayThread.native_handle(), "brisk-relay");
}

void Relay::StopThread() {
  if (m_relayRunning) EndRelay();
  // The thread may have ended by itself; it is still joined so that none is left behind.
  if (m_relayThread.joinable()) m_relayThread.join();
}

void Relay::EndRelay() {
  m_relayRunning = 0;
  m_wake.Signal();
}

void Relay::StopServerConnect() {
  WriteLog("StopServerConnect begin");
  m_comBytesWritten = 0;
  m_comBytesRead = 0;
  m_serverBytesSent = 0;
  m_serverBytesReceived = 0;
  m_relayActive = 0;
  WriteLog("StopServerConnect end");
}

bool Relay::Serve(int waitMs) {
  // Waits on the port, the platform socket and the wake-up descriptor together, so an idle
  // relay uses no CPU and a frame from either side is picked up at once. Data for a platform
  // that is slow to read waits in m_sendQueue; the port is served all the while. A frame costs
  // one poll and one read on the port (more frames per read when they come in a burst) and one
  // send while nothing is queued.
  if (!m_relayRunning || !m_port) return false;
  const int socket = m_serverSocket;
  const bool queued = socket >= 0 && m_queuedBytes > 0;
  platform::PollItem items[3];
  items[0].fd = socket;
  items[0].wantWrite = queued;
  items[1].fd = m_port->Fd();
  items[2].fd = m_wake.Fd();
  const int64_t now = platform::NowMs();
  int64_t due = queued ? m_lastDrainMs + m_stallLimitMs : -1;
  // A partial head or frame ends at its own time even if the port stays silent.
  const int64_t frameDue = m_comFrames.Deadline();
  if (frameDue >= 0 && (due < 0 || frameDue < due)) due = frameDue;
  if (waitMs >= 0 && (due < 0 || due > now + waitMs)) due = now + waitMs;
  const int timeoutMs = due < 0 ? -1 : static_cast<int>(due > now ? due - now : 0);
  const int n = platform::PollInput(items, 3, timeoutMs);
  if (!m_relayRunning) return false;
  if (n < 0) {
    platform::SleepMs(1);
    return true;
  }
  if (items[2].ready) m_wake.Drain();

  if (queued && items[0].writable) DrainSendQueue();
  if (queued && m_serverSocket == socket && m_queuedBytes > 0 &&
      platform::NowMs() - m_lastDrainMs >= m_stallLimitMs) {
    WriteLog("platform took nothing for %d ms", m_stallLimitMs.load());
    WriteLog("send failed");
    GiveUpPlatform();
  }
  if (socket >= 0 && m_serverSocket == socket && (items[0].ready || items[0].failed)) ReadServer();

  if (m_port->TakeLineErrors()) {
    WriteLog("comm error");
    m_port->PurgeInput();
    m_comFrames.Clear();
    return true;
  }
  if ((items[1].ready || items[1].failed) && !ReadCom(items[1].failed)) return false;
  CutComFrames();
  return m_relayRunning != 0;
}

}  // namespace brisk::link
