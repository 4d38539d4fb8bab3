#include <cstring>

#include "link/Brisk7Service.h"
#include "link/Frame.h"
#include "log/Log.h"
#include "platform/Clock.h"

namespace brisk::link {

namespace {
constexpr int kAnswerWaitMs = 2000;
constexpr int kNetworkTestWaitMs = 5000;
constexpr int kCanSendLimitMs = 5000;
constexpr int kCanSendStepMs = 100;
}  // namespace

int Brisk7Service::WaitComCanSend() {
  if (!m_relayRunning) return 0;
  const int64_t start = platform::NowMs();
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(m_comLock);
      if (m_connecting == 0) return 1;
    }
    if (m_commandsInterrupted) return 0;
    if (platform::NowMs() - start >= kCanSendLimitMs) {
      WriteLog("WaitComCanSend timeout");
      return 0;
    }
    platform::SleepMs(kCanSendStepMs);
  }
}

int Brisk7Service::WaitAnswer() {
  std::memset(m_answer, 0, sizeof m_answer);
  if (!m_answerEvent.Wait(kAnswerWaitMs)) {
    WriteLog("read input report timeout");
    return -3;
  }
  std::lock_guard<std::mutex> guard(m_comLock);
  std::memcpy(m_answer, m_answerStaging.data(), std::min<size_t>(m_answerLength, sizeof m_answer));
  return 0;
}

void Brisk7Service::InterruptCommands() {
  m_commandsInterrupted = true;
  m_answerEvent.SetInterrupted(true);
}

void Brisk7Service::ResumeCommands() {
  m_answerEvent.SetInterrupted(false);
  m_commandsInterrupted = false;
}

// Steps 1-3 of every request: wait for the link, then write the command. -1 when not sent.
int Brisk7Service::SendCommand(const uint8_t* data, int size) {
  if (m_commandsInterrupted) {
    WriteLog("reader command 0x%x not sent: commands are interrupted", data[0]);
    return -1;
  }
  if (!WaitComCanSend()) return -1;
  std::memset(m_commandBuffer, 0, sizeof m_commandBuffer);
  m_answerEvent.Reset();
  std::memcpy(m_commandBuffer, data, static_cast<size_t>(size));
  WriteCom(m_commandBuffer, size);  // a failed write shows up as a time-out
  return 0;
}

// The whole request/answer sequence with the 2-second wait; m_answer holds the answer on 0.
int Brisk7Service::Transact(const uint8_t* data, int size) {
  if (SendCommand(data, size) < 0) return -1;
  return WaitAnswer();
}

// A command whose answer is its result byte alone; an answer of another type counts as 0.
int Brisk7Service::ResultOnly(const uint8_t* data, int size) {
  if (const int r = Transact(data, size)) return r;
  if (m_answer[0] != data[0]) return 0;
  return m_answer[1];
}

int Brisk7Service::GetCat1Module(uint8_t* modelCode, uint8_t* secondValue) {
  const uint8_t cmd[] = {frame::kCat1Module, 0, 0};
  if (const int r = Transact(cmd, sizeof cmd)) return r;
  if (m_answer[0] != frame::kCat1Module) return 0;
  if (m_answer[1] == 1) {
    if (modelCode) *modelCode = m_answer[2];
    if (secondValue) *secondValue = m_answer[3];
  }
  return m_answer[1];
}

int Brisk7Service::SetNetMode(int mode) {
  if (mode == 2) StopServerConnect();
  const uint8_t cmd[] = {frame::kNetMode, static_cast<uint8_t>(mode), 0};
  return ResultOnly(cmd, sizeof cmd);
}

int Brisk7Service::GetConnectStatus(uint8_t* status, uint8_t* type) {
  const uint8_t cmd[] = {frame::kConnectStatus, 0, 0};
  if (const int r = Transact(cmd, sizeof cmd)) return r;
  if (m_answer[0] != frame::kConnectStatus) return 0;
  if (m_answer[1] == 0) {
    if (status) *status = m_answer[2];
    if (type) *type = m_answer[3];
  }
  return m_answer[1];
}

int Brisk7Service::NotifyDisconnect() {
  const uint8_t cmd[] = {frame::kDisconnect, 0, 0};
  return ResultOnly(cmd, sizeof cmd);
}

int Brisk7Service::GetAuthInfo(uint8_t licence[32], char mac[12], char iccid[20]) {
  const uint8_t cmd[] = {frame::kAuthInfo, 0, 0};
  if (const int r = Transact(cmd, sizeof cmd)) return r;
  if (m_answer[0] != frame::kAuthInfo) return 0;
  if (m_answer[1] == 0) {
    if (licence) std::memcpy(licence, m_answer + 3, 32);
    if (mac) std::memcpy(mac, m_answer + 35, 12);
    if (iccid) std::memcpy(iccid, m_answer + 47, 20);
  }
  return m_answer[1];
}

int Brisk7Service::SetPlatform(int policy, int cache, uint32_t port, const char* host) {
  // The 256-byte command buffer leaves room for a host of 250 characters.
  const size_t hostLength = host ? strnlen(host, 250) : 0;
  uint8_t cmd[256] = {};
  cmd[0] = frame::kSetPlatform;
  cmd[1] = static_cast<uint8_t>(policy);
  cmd[2] = static_cast<uint8_t>(cache);
  frame::WriteLe16(cmd + 3, static_cast<uint16_t>(port));
  if (hostLength) std::memcpy(cmd + 5, host, hostLength);
  return ResultOnly(cmd, static_cast<int>(hostLength + 6));
}

int Brisk7Service::GetPlatform(uint8_t* policy, uint8_t* cache, uint32_t* port, char* host) {
  const uint8_t cmd[] = {frame::kGetPlatform, 0, 0};
  if (const int r = Transact(cmd, sizeof cmd)) return r;
  if (m_answer[0] != frame::kGetPlatform) return 0;
  if (m_answer[1] == 0) {
    const uint32_t reportedPort = frame::ReadLe16(m_answer + 5);
    // m_answer is zeroed before each copy, so the text ends within the buffer.
    const std::string reportedHost(reinterpret_cast<const char*>(m_answer + 7),
                                   strnlen(reinterpret_cast<const char*>(m_answer + 7), 240));
    if (policy) *policy = m_answer[3];
    if (cache) *cache = m_answer[4];
    if (port) *port = reportedPort;
    if (host) {
      std::memcpy(host, reportedHost.data(), reportedHost.size());
      host[reportedHost.size()] = '\0';
    }
    SetPlatformAddress(reportedHost, reportedPort);
  }
  return m_answer[1];
}

int Brisk7Service::TestNetwork(int a, int b) {
  const uint8_t cmd[] = {frame::kTestNetwork, static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
  if (SendCommand(cmd, sizeof cmd) < 0) return -1;
  std::memset(m_answer, 0, sizeof m_answer);
  if (!m_answerEvent.Wait(kNetworkTestWaitMs)) {
    WriteLog("read input report timeout");
    return -3;
  }
  {
    std::lock_guard<std::mutex> guard(m_comLock);
    std::memcpy(m_answer, m_answerStaging.data(),
                std::min<size_t>(m_answerLength, sizeof m_answer));
  }
  if (m_answer[0] != frame::kTestNetwork) return -3;
  if (m_answer[1] != 0) return -4;
  return m_answer[2] + 256 * m_answer[3];
}

int Brisk7Service::AskDfuMode() {
  const uint8_t cmd[] = {frame::kDfuMode, 0, 0};
  return ResultOnly(cmd, sizeof cmd);
}

int Brisk7Service::SetHeartbeat(uint32_t usb, uint32_t cat1, int noWait, int storeOnly) {
  WriteLog("set heart beat interval: %d %d", static_cast<int>(usb), static_cast<int>(cat1));
  m_usbHeartbeatInterval = usb;
  m_cat1HeartbeatInterval = cat1;
  if (storeOnly) return 0;
  uint8_t cmd[5] = {frame::kSetHeartbeat};
  frame::WriteLe16(cmd + 1, static_cast<uint16_t>(usb));
  frame::WriteLe16(cmd + 3, static_cast<uint16_t>(cat1));
  if (SendCommand(cmd, sizeof cmd) < 0) return -1;
  if (noWait) return 0;
  if (const int r = WaitAnswer()) return r;
  if (m_answer[0] != frame::kSetHeartbeat) return -2;
  return m_answer[1];
}

int Brisk7Service::GetHeartbeat(uint32_t* usb, uint32_t* cat1) {
  const uint8_t cmd[] = {frame::kGetHeartbeat, 0, 0};
  if (const int r = Transact(cmd, sizeof cmd)) return r;
  if (m_answer[0] != frame::kGetHeartbeat) return -2;
  if (m_answer[1] != 0) return -3;
  if (usb) *usb = frame::ReadLe16(m_answer + 3);
  if (cat1) *cat1 = frame::ReadLe16(m_answer + 5);
  return 0;
}

}  // namespace brisk::link
