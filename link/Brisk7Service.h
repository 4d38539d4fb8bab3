#pragma once
// The one object that talks to the card reader: a thin façade over the relay (port, frames,
// platform connection), the reader commands and the firmware server.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/FirmwareServer.h"
#include "link/ReaderCommands.h"
#include "link/ReaderPort.h"
#include "link/Relay.h"

namespace brisk::link {

class Brisk7Service {
 public:
  explicit Brisk7Service(EnterDfuCallback callback = {});
  // The relay thread hands frames to the other parts: it ends before they go.
  ~Brisk7Service() { m_relay.StopThread(); }
  Brisk7Service(const Brisk7Service&) = delete;
  Brisk7Service& operator=(const Brisk7Service&) = delete;

  // ---- start and stop ----
  // port 0: try the candidates from the second entry on (the first is the automatic choice).
  int Start(int port, const std::vector<std::string>& candidates);
  // Opens a serial device by its path (any tty or pty); m_comPort is then 0.
  int StartDevice(const std::string& path);
  int Stop(int notify);
  void StopServerConnect() { m_relay.StopServerConnect(); }
  void UninitComm();
  std::unique_ptr<ReaderPort> InitComm(int port, int baud);

  // ---- the relay, for what the façade does not forward ----
  Relay& Link() { return m_relay; }

  // ---- queries for the window ----
  bool IsRelayRunning() const { return m_relay.IsRunning(); }
  bool IsServerConnected() const { return m_relay.IsServerConnected(); }
  bool IsComOpen() const { return m_relay.IsPortOpen(); }
  int ComPort() const { return m_comPort.load(); }
  uint32_t ComBytesWritten() const { return m_relay.ComBytesWritten(); }
  uint32_t ComBytesRead() const { return m_relay.ComBytesRead(); }
  uint32_t ServerBytesSent() const { return m_relay.ServerBytesSent(); }
  uint32_t ServerBytesReceived() const { return m_relay.ServerBytesReceived(); }
  const char* ComStatusText() const { return IsComOpen() ? "已打开" : "未打开"; }
  const char* ServerStatusText() const { return IsServerConnected() ? "已连接" : "未连接"; }
  std::string PlatformHost() const { return m_relay.PlatformHost(); }
  uint32_t PlatformPort() const { return m_relay.PlatformPort(); }
  void SetPlatformAddress(const std::string& host, uint32_t port) {
    m_relay.SetPlatformAddress(host, port);
  }
  int CanReachPlatform() { return m_relay.CanReachPlatform(); }
  // Firmware downloads check the server's certificate against the system's store.
  void SetVerifyCertificates(bool verify) { m_firmware.Downloader().SetVerifyCertificates(verify); }
  void SetDownloadActivityCallback(download::DownloadActivityCallback callback) {
    m_firmware.Downloader().SetActivityCallback(std::move(callback));
  }

  // ---- reader commands (one at a time, off the window's thread) ----
  Cat1Module GetCat1Module() { return m_commands.GetCat1Module(); }
  int SetNetMode(int mode) { return m_commands.SetNetMode(mode); }
  ConnectStatus GetConnectStatus() { return m_commands.GetConnectStatus(); }
  int NotifyDisconnect() { return m_commands.NotifyDisconnect(); }
  AuthInfo GetAuthInfo() { return m_commands.GetAuthInfo(); }
  int SetPlatform(int policy, int cache, uint32_t port, const char* host) {
    return m_commands.SetPlatform(policy, cache, port, host);
  }
  PlatformInfo GetPlatform() { return m_commands.GetPlatform(); }
  int TestNetwork(int a, int b) { return m_commands.TestNetwork(a, b); }
  int AskDfuMode() { return m_commands.AskDfuMode(); }
  int SetHeartbeat(uint32_t usb, uint32_t cat1, int noWait, int storeOnly) {
    return m_commands.SetHeartbeat(usb, cat1, noWait, storeOnly);
  }
  HeartbeatInfo GetHeartbeat() { return m_commands.GetHeartbeat(); }
  void InterruptCommands() { m_commands.InterruptCommands(); }
  void ResumeCommands() { m_commands.ResumeCommands(); }

  // Out-parameter forms, used by the link's own tests only; they go once those use the forms
  // above.
  int GetCat1Module(uint8_t* model, uint8_t* second) {
    const Cat1Module m = GetCat1Module();
    if (m.result == 1) Put(model, m.model), Put(second, m.second);
    return m.result;
  }
  int GetConnectStatus(uint8_t* status, uint8_t* type) {
    const ConnectStatus s = GetConnectStatus();
    if (s.result == 0) Put(status, s.status), Put(type, s.type);
    return s.result;
  }
  int GetPlatform(uint8_t* policy, uint8_t* cache, uint32_t* port, char* host /* >= 241 */) {
    const PlatformInfo p = GetPlatform();
    if (p.result == 0) Put(policy, p.policy), Put(cache, p.cache), Put(port, p.port);
    if (p.result == 0 && host) std::memcpy(host, p.host.c_str(), p.host.size() + 1);
    return p.result;
  }

 private:
  template <class T>
  static void Put(T* out, T value) {
    if (out) *out = value;
  }
  void StopForStart();
  // Runs the relay on port as COM number (0: a device path), or logs that name cannot be opened.
  int StartOn(std::unique_ptr<ReaderPort> port, int number, const std::string& name);

  Relay m_relay;
  FirmwareServer m_firmware;
  ReaderCommands m_commands;
  std::atomic<int> m_comPort{0};
};

}  // namespace brisk::link
