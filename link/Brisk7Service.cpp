#include "link/Brisk7Service.h"

#include <pthread.h>
#include <cstdlib>
#include <cstring>

#include "download/UpgradeDownloader.h"
#include "link/LinkInternal.h"
#include "log/Log.h"
#include "platform/Clock.h"
#include "platform/Poll.h"
#include "platform/SerialPort.h"
#include "platform/WakeEvent.h"

namespace brisk::link {

Brisk7Service::Brisk7Service(EnterDfuCallback callback)
    : m_answerStaging(65536, 0), m_wake(std::make_unique<platform::WakeEvent>()) {
  m_downloader = MakeDownloader(std::move(callback));
}

Brisk7Service::~Brisk7Service() {
  StopRelayThread();
  CloseServerSocket();
}

bool Brisk7Service::IsComOpen() const { return m_comHandle != nullptr; }

const char* Brisk7Service::ComStatusText() const { return IsComOpen() ? "已打开" : "未打开"; }

const char* Brisk7Service::ServerStatusText() const {
  return IsServerConnected() ? "已连接" : "未连接";
}

std::string Brisk7Service::PlatformHost() const {
  std::lock_guard<std::mutex> guard(m_platformLock);
  return m_platformHost;
}

uint32_t Brisk7Service::PlatformPort() const {
  std::lock_guard<std::mutex> guard(m_platformLock);
  return m_platformPort;
}

void Brisk7Service::SetPlatformAddress(const std::string& host, uint32_t port) {
  std::lock_guard<std::mutex> guard(m_platformLock);
  m_platformHost = host;
  m_platformPort = port;
}

std::unique_ptr<platform::SerialPort> Brisk7Service::InitComm(int port, int baud) {
  // A COM number of more than eight digits has no device name.
  if (port < 1 || port > 99999999) return nullptr;
  return platform::SerialPort::Open(platform::SerialDevicePath(port), baud);
}

int Brisk7Service::Start(int port, const std::vector<std::string>& candidates) {
  // Two relay threads must never run on one object.
  StopRelayThread();
  if (m_comHandle) {
    WriteLog("COM is already open while start service, close it");
    m_comHandle.reset();
  }
  if (port != 0) {
    WriteLog("Open port %d", port);
    auto handle = InitComm(port, 115200);
    if (!handle) {
      WriteLog("open %d failed", port);
      return 0;
    }
    m_comHandle = std::move(handle);
    m_comPort = port;
    StartRelayThread();
    return 1;
  }
  for (size_t i = 1; i < candidates.size(); ++i) {
    const std::string& name = candidates[i];
    WriteLog("try to open %s", name.c_str());
    const int number = platform::PortNameToNumber(name);
    auto handle = InitComm(number, 115200);
    if (!handle) {
      WriteLog("open %s failed", name.c_str());
      continue;
    }
    m_comHandle = std::move(handle);
    StartRelayThread();
    m_comPort = number;
    return 1;
  }
  return 0;
}

int Brisk7Service::StartDevice(const std::string& path) {
  StopRelayThread();
  if (m_comHandle) {
    WriteLog("COM is already open while start service, close it");
    m_comHandle.reset();
  }
  WriteLog("Open device %s", path.c_str());
  auto handle = platform::SerialPort::Open(path, 115200);
  if (!handle) {
    WriteLog("open %s failed", path.c_str());
    return 0;
  }
  m_comHandle = std::move(handle);
  m_comPort = 0;
  StartRelayThread();
  return 1;
}

void Brisk7Service::StartRelayThread() {
  m_wake->Drain();
  m_relayRunning = 1;
  m_relayThread = std::thread(&Brisk7Service::RelayThreadProc, this);
  pthread_setname_np(m_relayThread.native_handle(), "brisk-relay");
}

int Brisk7Service::Stop(int notify) {
  WriteLog("enter Brisk7Service::Stop");
  m_comPort = -1;
  if (notify) NotifyDisconnect();
  StopServerConnect();
  StopRelayThread();
  UninitComm();
  WriteLog("leave Brisk7Service::Stop");
  return 1;
}

void Brisk7Service::StopRelayThread() {
  if (m_relayRunning) EndRelay();
  // The thread may have ended by itself; it is still joined so that none is left behind.
  if (m_relayThread.joinable()) m_relayThread.join();
}

void Brisk7Service::EndRelay() {
  m_relayRunning = 0;
  m_wake->Signal();
}

void Brisk7Service::StopServerConnect() {
  WriteLog("StopServerConnect begin");
  m_comBytesWritten = 0;
  m_comBytesRead = 0;
  m_serverBytesSent = 0;
  m_serverBytesReceived = 0;
  m_relayActive = 0;
  WriteLog("StopServerConnect end");
}

void Brisk7Service::UninitComm() {
  WriteLog("UninitComm");
  if (m_comHandle) {
    WriteLog("Close Com Handle");
    m_comHandle.reset();
  }
}

int Brisk7Service::RelayThreadProc(Brisk7Service* self) {
  self->RelayLoop();
  return 0;
}

void Brisk7Service::RelayLoop() {
  // Waits on the port, the platform socket and the wake-up descriptor together, so an idle
  // service uses no CPU and a frame from either side is picked up at once. Data for a platform
  // that is slow to read waits in m_sendQueue; the port is served all the while. A frame costs
  // one poll and one read on the port (more frames per read when they come in a burst) and one
  // send while nothing is queued.
  m_comFrames.Clear();
  while (m_relayRunning) {
    const int socket = m_serverSocket;
    const bool queued = socket >= 0 && m_queuedBytes > 0;
    platform::PollItem items[3];
    items[0].fd = socket;
    items[0].wantWrite = queued;
    items[1].fd = m_comHandle->Fd();
    items[2].fd = m_wake->Fd();
    const int64_t now = platform::NowMs();
    int64_t due = queued ? m_lastDrainMs + m_stallLimitMs : -1;
    // A partial head or frame ends at its own time even if the port stays silent.
    const int64_t frameDue = m_comFrames.Deadline();
    if (frameDue >= 0 && (due < 0 || frameDue < due)) due = frameDue;
    const int timeoutMs = due < 0 ? -1 : static_cast<int>(due > now ? due - now : 0);
    const int n = platform::PollInput(items, 3, timeoutMs);
    if (!m_relayRunning) break;
    if (n < 0) {
      platform::SleepMs(1);
      continue;
    }
    if (items[2].ready) m_wake->Drain();

    if (queued && items[0].writable) DrainSendQueue();
    if (queued && m_serverSocket == socket && m_queuedBytes > 0 &&
        platform::NowMs() - m_lastDrainMs >= m_stallLimitMs) {
      WriteLog("platform took nothing for %d ms", m_stallLimitMs.load());
      WriteLog("send failed");
      GiveUpPlatform();
    }
    if (socket >= 0 && m_serverSocket == socket && (items[0].ready || items[0].failed))
      ReadServer();

    if (m_comHandle->TakeLineErrors()) {
      WriteLog("comm error");
      m_comHandle->PurgeInput();
      m_comFrames.Clear();
      continue;
    }
    if ((items[1].ready || items[1].failed) && !ReadCom(items[1].failed)) break;
    CutComFrames();
  }
  CloseServerSocket();
}

}  // namespace brisk::link
