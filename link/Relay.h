#pragma once
// The relay: the reader's port and the frames on it, the platform connection, and the queue of
// data for a platform that is slow to read. Frames that are not its own (answers, firmware
// transfer requests) are handed on.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/ReaderPort.h"
#include "link/SerialFrameReader.h"
#include "platform/WakeEvent.h"

namespace brisk::link {

inline constexpr uint32_t kDefaultPlatformPort = 21313;
inline constexpr const char* kDefaultPlatformHost = "127.0.0.1";
// Platform data waits in a queue of at most this many bytes while the platform's socket cannot
// take it; a queue that would overflow, or that has not drained for kPlatformStallMs, loses
// the platform connection.
inline constexpr size_t kMaxPlatformQueue = 256 * 1024;
inline constexpr int kPlatformStallMs = 30000;

class Relay {
 public:
  // data = a frame's type byte and payload; called on the relay thread.
  using FrameHandler = std::function<void(const uint8_t* data, size_t size)>;

  Relay() = default;
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // answers: every type but 4, 10, 13 and 14; transfers: types 13 and 14. Set before a start.
  void SetHandlers(FrameHandler answers, FrameHandler transfers);

  // Takes the port and runs the relay thread on it (after stopping one that runs).
  void Start(std::unique_ptr<ReaderPort> port);
  // Takes the port without a thread: the caller runs the relay with Serve().
  void Attach(std::unique_ptr<ReaderPort> port);
  // One pass of the relay loop on the caller's thread: waits at most waitMs (-1: no limit) for
  // the port, the platform socket or a stop, and handles what arrived. False once it has ended.
  bool Serve(int waitMs);
  // Ends the relay thread and waits for it; the port stays open.
  void StopThread();
  void ClosePort() { m_port.reset(); }
  void StopServerConnect();

  // data = type byte and payload. Returns size when written, -1 when the write failed.
  int WriteCom(const uint8_t* data, int size);
  int CanReachPlatform();

  bool IsRunning() const { return m_relayRunning.load() != 0; }
  bool IsConnecting() const { return m_connecting.load(); }
  bool IsPortOpen() const { return m_port != nullptr; }
  bool IsServerConnected() const { return m_serverSocket.load() >= 0; }
  bool IsRelayActive() const { return m_relayActive.load() != 0; }
  bool KeepAliveSet() const { return m_keepAliveSet.load() != 0; }
  uint32_t ComBytesWritten() const { return m_comBytesWritten.load(); }
  uint32_t ComBytesRead() const { return m_comBytesRead.load(); }
  uint32_t ServerBytesSent() const { return m_serverBytesSent.load(); }
  uint32_t ServerBytesReceived() const { return m_serverBytesReceived.load(); }
  // Platform data accepted from the reader that the socket has not taken yet.
  size_t QueuedPlatformBytes() const { return m_queuedBytes.load(); }
  void SetStallLimitMs(int ms) { m_stallLimitMs = ms; }
  std::string PlatformHost() const;
  uint32_t PlatformPort() const;
  void SetPlatformAddress(const std::string& host, uint32_t port);
  // The intervals pushed to the reader when the platform says ":OK:".
  void SetHeartbeatIntervals(uint32_t usb, uint32_t cat1) {
    m_usbHeartbeatInterval = usb;
    m_cat1HeartbeatInterval = cat1;
  }
  uint32_t UsbHeartbeatInterval() const { return m_usbHeartbeatInterval.load(); }
  uint32_t Cat1HeartbeatInterval() const { return m_cat1HeartbeatInterval.load(); }

 private:
  void EndRelay();  // clears m_relayRunning and wakes the relay loop
  // Reads what the port holds; false when the port is gone (the relay then ends).
  bool ReadCom(bool failed);
  // Takes every whole frame out of what was read, and the verdicts on stray bytes and silence.
  void CutComFrames();
  void HandleComFrame(const uint8_t* frame, size_t size);

  // Platform side. cancelFd (if >= 0) ends the lookup and the connect attempts as soon as it
  // is signalled.
  int ConnectServer(int cancelFd = -1);
  int ConnectWithTimeout(const char* address, uint32_t port, int timeoutMs, int cancelFd = -1);
  void ReadServer();
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

  FrameHandler m_answers, m_transfers;
  std::unique_ptr<ReaderPort> m_port;
  std::thread m_relayThread;
  std::atomic<int> m_relayRunning{0};
  std::atomic<int> m_serverSocket{-1};
  std::atomic<int> m_relayActive{0};
  std::mutex m_socketLock;
  // Serialises the writes to the port.
  std::mutex m_comLock;
  // Set while the relay connects on the reader's request; commands wait for it.
  std::atomic<bool> m_connecting{false};
  std::atomic<uint32_t> m_comBytesWritten{0};
  std::atomic<uint32_t> m_comBytesRead{0};
  std::atomic<uint32_t> m_serverBytesSent{0};
  std::atomic<uint32_t> m_serverBytesReceived{0};
  // The window thread changes the platform address while the relay thread may be connecting
  // to it.
  mutable std::mutex m_platformLock;
  std::string m_platformHost = kDefaultPlatformHost;
  uint32_t m_platformPort = kDefaultPlatformPort;
  std::atomic<int> m_keepAliveSet{0};
  std::atomic<uint32_t> m_usbHeartbeatInterval{600};
  std::atomic<uint32_t> m_cat1HeartbeatInterval{600};
  // A lost platform is logged once, not for every frame that finds no socket.
  bool m_lossLogged = false;
  // Wakes the relay loop's poll() when it must stop.
  platform::WakeEvent m_wake;

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
};

}  // namespace brisk::link
