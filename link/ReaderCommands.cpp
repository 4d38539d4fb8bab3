#include "link/ReaderCommands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "link/Frame.h"
#include "link/Relay.h"
#include "log/Log.h"
#include "platform/Clock.h"

namespace brisk::link {

namespace {
constexpr int kNetworkTestWaitMs = 5000;
constexpr int kCanSendLimitMs = 5000;
constexpr int kCanSendStepMs = 100;
std::atomic<int> g_waitPercent{100};
}  // namespace

void ScaleAnswerWaitsForTest(int percent) { g_waitPercent = percent; }

AuthText FormatAuthInfo(const AuthInfo& info) {
  AuthText text;
  char pair[3];
  for (const uint8_t b : info.licence) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text.licence += pair;
  }
  for (int i = 0; i < 12; i += 2) {
    if (i) text.mac += ':';
    text.mac.append(info.mac + i, 2);
  }
  text.iccid.assign(info.iccid, strnlen(info.iccid, sizeof info.iccid));
  return text;
}

void ReaderCommands::OnAnswer(const uint8_t* data, size_t size) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (size > 0 && data[0] == m_waitingFor && !m_hasAnswer) {
      m_staged.assign(data, data + size);
      m_hasAnswer = true;
      m_answered.notify_all();
      return;
    }
  }
  // An answer to a command that gave up, to a notice, or to nothing.
  WriteLogHex("late answer: ", data, static_cast<int>(size));
}

int ReaderCommands::WaitComCanSend() {
  if (!m_link.IsRunning()) return 0;
  const int64_t start = platform::NowMs();
  while (m_link.IsConnecting()) {
    if (Interrupted()) return 0;
    if (platform::NowMs() - start >= kCanSendLimitMs) {
      WriteLog("WaitComCanSend timeout");
      return 0;
    }
    platform::SleepMs(kCanSendStepMs);
  }
  return 1;
}

void ReaderCommands::InterruptCommands() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_interrupted = true;
  m_answered.notify_all();
}

bool ReaderCommands::Interrupted() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_interrupted;
}

void ReaderCommands::ResumeCommands() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_interrupted = false;
}

// Steps 1-3 of every request: wait for the link, then write the command. -1 when not sent.
int ReaderCommands::Send(const uint8_t* data, int size, bool wait) {
  if (Interrupted()) {
    WriteLog("reader command 0x%x not sent: commands are interrupted", data[0]);
    return -1;
  }
  if (!WaitComCanSend()) return -1;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_waitingFor = wait ? data[0] : 0;
    m_hasAnswer = false;
  }
  m_link.WriteCom(data, size);  // a failed write shows up as a time-out
  return 0;
}

int ReaderCommands::WaitAnswer(int waitMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  const std::chrono::milliseconds wait(int64_t{waitMs} * g_waitPercent / 100);
  const bool answered = m_answered.wait_for(lock, wait, [&] {
    return m_hasAnswer || m_interrupted;
  }) && !m_interrupted;
  m_waitingFor = 0;
  if (!answered) {
    lock.unlock();
    WriteLog("read input report timeout");
    return -3;
  }
  m_answer = std::move(m_staged);
  return 0;
}

int ReaderCommands::Exchange(const std::vector<uint8_t>& command, int dataResult, size_t need,
                             int waitMs) {
  if (Send(command.data(), static_cast<int>(command.size()), true) < 0) return -1;
  if (const int r = WaitAnswer(waitMs)) return r;
  const size_t size = m_answer.size();
  if (size < 2 || (m_answer[1] == dataResult && size < need)) {
    WriteLog("answer to command %d refused: %d bytes are too short", command[0],
             static_cast<int>(size));
    return kShortAnswer;
  }
  return m_answer[1];
}

void ReaderCommands::TakeTwoBytes(int result, int dataResult, uint8_t& first, uint8_t& second) {
  if (result != dataResult) return;
  first = m_answer[2];
  second = m_answer[3];
}

Cat1Module ReaderCommands::GetCat1Module() {
  Cat1Module m;
  m.result = Exchange({frame::kCat1Module, 0, 0}, 1, 4);
  TakeTwoBytes(m.result, 1, m.model, m.second);
  return m;
}

int ReaderCommands::SetNetMode(int mode) {
  if (mode == 2) m_link.StopServerConnect();
  return Exchange({frame::kNetMode, static_cast<uint8_t>(mode), 0});
}

ConnectStatus ReaderCommands::GetConnectStatus() {
  ConnectStatus s;
  s.result = Exchange({frame::kConnectStatus, 0, 0}, 0, 4);
  TakeTwoBytes(s.result, 0, s.status, s.type);
  return s;
}

int ReaderCommands::NotifyDisconnect() { return Exchange({frame::kDisconnect, 0, 0}); }

AuthInfo ReaderCommands::GetAuthInfo() {
  AuthInfo a;
  a.result = Exchange({frame::kAuthInfo, 0, 0}, 0, 67);
  if (a.result == 0) {
    std::memcpy(a.licence, &m_answer[3], sizeof a.licence);
    std::memcpy(a.mac, &m_answer[35], sizeof a.mac);
    std::memcpy(a.iccid, &m_answer[47], sizeof a.iccid);
  }
  return a;
}

int ReaderCommands::SetPlatform(int policy, int cache, uint32_t port, const char* host) {
  // The 256-byte command buffer leaves room for a host of 250 characters.
  const size_t hostLength = host ? strnlen(host, 250) : 0;
  std::vector<uint8_t> command(hostLength + 6, 0);
  command[0] = frame::kSetPlatform;
  command[1] = static_cast<uint8_t>(policy);
  command[2] = static_cast<uint8_t>(cache);
  frame::WriteLe16(&command[3], static_cast<uint16_t>(port));
  if (hostLength) std::memcpy(&command[5], host, hostLength);
  return Exchange(command);
}

PlatformInfo ReaderCommands::GetPlatform() {
  PlatformInfo p;
  p.result = Exchange({frame::kGetPlatform, 0, 0}, 0, 8);
  if (p.result != 0) return p;
  p.policy = m_answer[3];
  p.cache = m_answer[4];
  p.port = frame::ReadLe16(&m_answer[5]);
  const char* text = reinterpret_cast<const char*>(&m_answer[7]);
  p.host.assign(text, strnlen(text, std::min<size_t>(240, m_answer.size() - 7)));
  // The next platform connection goes where the reader says.
  m_link.SetPlatformAddress(p.host, p.port);
  return p;
}

int ReaderCommands::TestNetwork(int a, int b) {
  const int r = Exchange({frame::kTestNetwork, static_cast<uint8_t>(a), static_cast<uint8_t>(b)}, 0,
                         4, kNetworkTestWaitMs);
  if (r < 0) return r;
  if (r != 0) return -4;
  return m_answer[2] + 256 * m_answer[3];
}

int ReaderCommands::AskDfuMode() { return Exchange({frame::kDfuMode, 0, 0}); }

int ReaderCommands::SetHeartbeat(uint32_t usb, uint32_t cat1, int noWait, int storeOnly) {
  WriteLog("set heart beat interval: %d %d", static_cast<int>(usb), static_cast<int>(cat1));
  m_link.SetHeartbeatIntervals(usb, cat1);
  if (storeOnly) return 0;
  std::vector<uint8_t> command = {frame::kSetHeartbeat, 0, 0, 0, 0};
  frame::WriteLe16(&command[1], static_cast<uint16_t>(usb));
  frame::WriteLe16(&command[3], static_cast<uint16_t>(cat1));
  if (noWait) return Send(command.data(), static_cast<int>(command.size()), false) < 0 ? -1 : 0;
  return Exchange(command);
}

HeartbeatInfo ReaderCommands::GetHeartbeat() {
  HeartbeatInfo h;
  h.result = Exchange({frame::kGetHeartbeat, 0, 0}, 0, 7);
  if (h.result > 0) h.result = -3;
  if (h.result == 0) {
    h.usb = frame::ReadLe16(&m_answer[3]);
    h.cat1 = frame::ReadLe16(&m_answer[5]);
  }
  return h;
}

}  // namespace brisk::link
