#pragma once
// The reader commands: each is written as a frame of its code and waits for the reader's answer
// of the same code. Results: -1 not sent, -3 no answer in time, -5 an answer too short for what
// the command reads, otherwise the reader's result byte (0 success). Other answers that arrive
// are logged as late answers.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace brisk::link {

class Relay;

inline constexpr int kShortAnswer = -5;

// The values are filled only when result says the reader sent them.
struct Cat1Module {
  int result = -1;  // 1: a module, model and second filled; 0: none
  uint8_t model = 0, second = 0;
};
struct ConnectStatus {
  int result = -1;
  uint8_t status = 0, type = 0;
};
struct AuthInfo {
  int result = -1;
  uint8_t licence[32] = {};
  char mac[12] = {};
  char iccid[20] = {};
};
struct PlatformInfo {
  int result = -1;
  uint8_t policy = 0, cache = 0;
  uint32_t port = 0;
  std::string host;
};
struct HeartbeatInfo {
  int result = -1;  // a failure code from the reader reads as -3
  uint32_t usb = 0, cat1 = 0;
};

// The authorization data as people read it: the licence as 64 lower-case hexadecimal digits,
// the MAC address as six pairs joined by ":", the ICCID up to its first zero byte.
struct AuthText {
  std::string licence, mac, iccid;
};
AuthText FormatAuthInfo(const AuthInfo& info);

// Test-only clock seam: the answer waits (2000 ms, 5000 ms for the network test) last
// percent/100 of their time, so tests of time-outs and late answers run quickly. 100 outside
// tests.
void ScaleAnswerWaitsForTest(int percent);

class ReaderCommands {
 public:
  explicit ReaderCommands(Relay& link) : m_link(link) {}

  // The relay hands over every frame that is not its own (type byte and payload).
  void OnAnswer(const uint8_t* data, size_t size);

  Cat1Module GetCat1Module();
  int SetNetMode(int mode);
  ConnectStatus GetConnectStatus();
  int NotifyDisconnect();
  AuthInfo GetAuthInfo();
  int SetPlatform(int policy, int cache, uint32_t port, const char* host);
  PlatformInfo GetPlatform();
  int TestNetwork(int a, int b);
  int AskDfuMode();
  int SetHeartbeat(uint32_t usb, uint32_t cat1, int noWait, int storeOnly);
  HeartbeatInfo GetHeartbeat();
  int WaitComCanSend();
  // From any thread: the command waiting for its answer ends at once as unanswered, and every
  // command fails without being sent until ResumeCommands(). For stopping or exiting while a
  // command runs on another thread.
  void InterruptCommands();
  void ResumeCommands();

 private:
  // Writes the command and waits for its answer: an error, or the result byte with the answer
  // in m_answer. An answer without a result byte, or one shorter than need bytes while its
  // result is dataResult, is refused.
  int Exchange(const std::vector<uint8_t>& command, int dataResult = -1, size_t need = 0,
               int waitMs = 2000);
  // The two data bytes of a four-byte answer, when its result is dataResult.
  void TakeTwoBytes(int result, int dataResult, uint8_t& first, uint8_t& second);
  int Send(const uint8_t* data, int size, bool wait);
  int WaitAnswer(int waitMs);
  bool Interrupted();

  Relay& m_link;
  std::mutex m_lock;
  std::condition_variable m_answered;
  uint8_t m_waitingFor = 0;  // the code whose answer a command waits for; 0 none
  bool m_hasAnswer = false;
  bool m_interrupted = false;
  std::vector<uint8_t> m_staged;  // the awaited answer, handed over by the relay thread
  std::vector<uint8_t> m_answer;  // the answer the command examines
};

}  // namespace brisk::link
