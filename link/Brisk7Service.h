#pragma once
// The one object that talks to the card reader: its serial port, the platform connection,
// and the relay thread that moves traffic between the two.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/UpgradeDownloader.h"
#include "link/ManualResetEvent.h"
#include "link/SerialFrameReader.h"

namespace brisk::platform {
class SerialPort;
class WakeEvent;
}  // namespace brisk::platform

namespace brisk::link {

// Called on the download worker with the verified package's path when the reader asked
// for a DFU upgrade.
using EnterDfuCallback = download::EnterDfuCallback;

inline constexpr uint32_t kDefaultPlatformPort = 21313;
inline constexpr const char* kDefaultPlatformHost = "127.0.0.1";
// Platform data waits in a queue of at most this many bytes while the platform's socket cannot
// take it; a queue that would overflow, or that has not drained for kPlatformStallMs, loses
// the platform connection.
inline constexpr size_t kMaxPlatformQueue = 256 * 1024;
inline constexpr int kPlatformStallMs = 30000;

class Brisk7Service {
 public:
  explicit Brisk7Service(EnterDfuCallback callback = {});
  ~Brisk7Service();
  Brisk7Service(const Brisk7Service&) = delete;
  Brisk7Service& operator=(const Brisk7Service&) = delete;

  // ---- start and stop ----
  // port 0: try the candidates from the second entry on (the first is the automatic choice).
  int Start(int port, const std::vector<std::string>& candidates);
  // Opens a serial device by its path (any tty or pty); m_comPort is then 0.
  int StartDevice(const std::string& path);
  int Stop(int notify);
  void StopServerConnect();
  void UninitComm();
  std::unique_ptr<platform::SerialPort> InitComm(int port, int baud);

  // ---- queries for the window ----
  bool IsRelayRunning() const { return m_relayRunning.load() != 0; }
  bool IsServerConnected() const { return m_serverSocket.load() >= 0; }
  bool IsComOpen() const;
  int ComPort() const { return m_comPort.load(); }
  uint32_t ComBytesWritten() const { return m_comBytesWritten.load(); }
  uint32_t ComBytesRead() const { return m_comBytesRead.load(); }
  uint32_t ServerBytesSent() const { return m_serverBytesSent.load(); }
  uint32_t ServerBytesReceived() const { return m_serverBytesReceived.load(); }
  bool IsRelayActive() const { return m_relayActive.load() != 0; }
  bool KeepAliveSet() const { return m_keepAliveSet.load() != 0; }
  const char* ComStatusText() const;
  const char* ServerStatusText() const;
  std::string PlatformHost() const;
  uint32_t PlatformPort() const;
  void SetPlatformAddress(const std::string& host, uint32_t port);
  uint32_t UsbHeartbeatInterval() const { return m_usbHeartbeatInterval.load(); }
  uint32_t Cat1HeartbeatInterval() const { return m_cat1HeartbeatInterval.load(); }
  // Platform data accepted from the reader that the socket has not taken yet.
  size_t QueuedPlatformBytes() const { return m_queuedBytes.load(); }
  download::UpgradeDownloader* Downloader() { return m_downloader.get(); }

  // ---- serial frame ----
  // data = type byte and payload. Returns size when written, -1 when the write failed.
  int WriteCom(const uint8_t* data, int size);

  // ---- reader commands (window thread) ----
  int GetCat1Module(uint8_t* modelCode, uint8_t* secondValue);
  int SetNetMode(int mode);
  int GetConnectStatus(uint8_t* status, uint8_t* type);
  int NotifyDisconnect();
  int GetAuthInfo(uint8_t licence[32], char mac[12], char iccid[20]);
  int SetPlatform(int policy, int cache, uint32_t port, const char* host);
  int GetPlatform(uint8_t* policy, uint8_t* cache, uint32_t* port, char* host /* >= 241 */);
  int TestNetwork(int a, int b);
  int AskDfuMode();
  int SetHeartbeat(uint32_t usb, uint32_t cat1, int noWait, int storeOnly);
  int GetHeartbeat(uint32_t* usb, uint32_t* cat1);
  int WaitComCanSend();
  int WaitAnswer();
  // From any thread: the command waiting for its answer ends at once as unanswered, and every
  // command fails without being sent until ResumeCommands(). For stopping or exiting while a
  // command runs on another thread.
  void InterruptCommands();
  void ResumeCommands();

  // ---- platform connection ----
  int CanReachPlatform();

  // ---- frames without a port (fuzzing drives the service this way) ----
  // Runs on the caller's thread, so only while no relay thread runs. A frame from the reader,
  // head to check byte, handled as the relay handles one it cut from the port; false (and
  // nothing done) when its head or length field does not match its size.
  bool HandleReaderFrame(const uint8_t* frame, size_t size);
  // A block from the platform (at most frame::kReceiveBufferSize - 1 bytes), handled as the
  // relay handles one read from the socket; false when it is empty or too large.
  bool HandlePlatformBlock(const uint8_t* block, size_t size);
  // While set, frames for the reader go to writer instead of the port; it returns the number
  // of bytes it took. Set it before any relay starts.
  using ComWriter = std::function<int(const uint8_t* bytes, size_t size)>;
  void SetComWriter(ComWriter writer) { m_comWriter = std::move(writer); }

 private:
  friend class Brisk7ServiceTestAccess;

  static int RelayThreadProc(Brisk7Service* self);
  void RelayLoop();
  void StartRelayThread();
  void StopRelayThread();
  void EndRelay();  // clears m_relayRunning and wakes the relay loop
  // Reads what the port holds; false when the port is gone (the relay then ends).
  bool ReadCom(bool failed);
  // Takes every whole frame out of what was read, and the verdicts on stray bytes and silence.
  void CutComFrames();
  void HandleComFrame(const uint8_t* frame, size_t size);

  // Common request/answer sequence; fills m_answer. Returns 0 or the error code.
  int SendCommand(const uint8_t* data, int size);
  int Transact(const uint8_t* data, int size);
  int ResultOnly(const uint8_t* data, int size);

  // Platform side (relay thread unless stated).
  // cancelFd (if >= 0) ends the lookup and the connect attempts as soon as it is signalled.
  int ConnectServer(int cancelFd = -1);
  int ConnectWithTimeout(const char* address, uint32_t port, int timeoutMs, int cancelFd = -1);
  void ReadServer();
  // The n bytes the platform sent, at m_serverIn[1]: the notice scan, then on to the reader.
  void ForwardServerBlock(size_t n);
  int SendServer(const uint8_t* bytes, int count);
  void ConnectOnRequest();
  void SendConnectResult(uint8_t a, uint8_t b);
  void NotifyLinkLost();
  void PushHeartbeat();
  void CloseServerSocket();
  void DrainSendQueue();
  // The platform took nothing for too long, or the queue would overflow: the connection is
  // given up as after a failed send.
  void GiveUpPlatform();

  // Firmware transfer (relay thread).
  void procDownloadUpgradeFile(const uint8_t* payload, int size);
  void procSendUpgradeFile(const uint8_t* payload, int size);

  // The service's state: the relay, the port, the answer hand-over, counters, platform.
  std::atomic<int> m_serverSocket{-1};
  std::atomic<int> m_relayActive{0};
  std::mutex m_socketLock;
  std::atomic<int> m_relayRunning{0};
  std::unique_ptr<platform::SerialPort> m_comHandle;
  std::thread m_relayThread;
  std::vector<uint8_t> m_answerStaging;
  uint32_t m_answerLength = 0;
  std::mutex m_comLock;
  ManualResetEvent m_answerEvent;
  std::atomic<bool> m_commandsInterrupted{false};
  uint8_t m_commandBuffer[256] = {};
  uint8_t m_answer[4096] = {};
  std::atomic<uint32_t> m_comBytesWritten{0};
  std::atomic<uint32_t> m_comBytesRead{0};
  std::atomic<uint32_t> m_serverBytesSent{0};
  std::atomic<uint32_t> m_serverBytesReceived{0};
  std::atomic<int> m_comPort{0};
  std::string m_platformHost = kDefaultPlatformHost;
  uint32_t m_platformPort = kDefaultPlatformPort;
  uint8_t m_connecting = 0;
  std::unique_ptr<download::UpgradeDownloader> m_downloader;
  std::atomic<int> m_keepAliveSet{0};
  std::atomic<uint32_t> m_usbHeartbeatInterval{600};
  std::atomic<uint32_t> m_cat1HeartbeatInterval{600};

  // The window thread changes the platform address while the relay thread may be connecting
  // to it.
  mutable std::mutex m_platformLock;
  // Wakes the relay loop's poll() when it must stop.
  std::unique_ptr<platform::WakeEvent> m_wake;

  // Platform data the socket could not take yet, from m_sendQueueHead on (relay thread only).
  std::vector<uint8_t> m_sendQueue;
  size_t m_sendQueueHead = 0;
  int64_t m_lastDrainMs = 0;
  std::atomic<size_t> m_queuedBytes{0};
  std::atomic<int> m_stallLimitMs{kPlatformStallMs};
  // Receive buffer for the platform's blocks (relay thread only).
  std::vector<uint8_t> m_serverIn;
  // Bytes read from the port and not yet cut into frames (relay thread only).
  SerialFrameReader m_comFrames;
  ComWriter m_comWriter;
};

}  // namespace brisk::link
