#pragma once
// Plays the card reader on the master side of a pseudo-terminal: decodes the frames the
// service writes, answers commands from a script, and sends frames or raw bytes of its own.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brisk::sim {

struct Frame {
  uint8_t type = 0;
  std::vector<uint8_t> payload;  // between the type byte and the check byte
};

// How the simulated reader answers one command code.
struct Answer {
  enum class Kind { Reply, Silent } kind = Kind::Reply;
  uint8_t type = 0;              // 0: the command's own code
  std::vector<uint8_t> payload;  // result byte first, then data
  int delayMs = 0;
};

// How the reader treats one command it has no scripted answer for: it answers at once, answers
// late (the service may have given up and sent its next command meanwhile), never answers (the
// command was lost: the reader's values stay as they were), sends in its place the answer of
// another command, as a late answer to an earlier one would look (this command is lost), or
// refuses it (result byte 1 alone; the command takes no effect).
enum class Reply { AtOnce, Late, Never, OtherType, Refuse };
using ReplyChooser = std::function<Reply(const Frame& command)>;

// Weights of each way of answering.
struct ReplyMix {
  unsigned atOnce = 1, late = 0, never = 0, otherType = 0, refuse = 0;
};
// Draws each command's way from mix with a generator of its own seeded with seed: the same seed
// and the same commands give the same choices. Choices are made on the simulator's thread.
ReplyChooser RandomReplies(uint32_t seed, const ReplyMix& mix);

// The bytes of one frame: 55 AA, length, type, payload, check byte.
std::vector<uint8_t> EncodeFrame(uint8_t type, const std::vector<uint8_t>& payload);

class ReaderSim {
 public:
  // A fresh pty; the service opens SlavePath().
  static std::unique_ptr<ReaderSim> Create();
  // Plays the reader on a master descriptor someone else owns (an emulated device node).
  static std::unique_ptr<ReaderSim> Attach(int masterFd);
  ~ReaderSim();
  ReaderSim(const ReaderSim&) = delete;
  ReaderSim& operator=(const ReaderSim&) = delete;

  const std::string& SlavePath() const { return m_slavePath; }

  // Script: the answer for a command code (replaces the built-in reader's answer).
  void SetAnswer(uint8_t code, Answer answer);
  void ClearAnswer(uint8_t code);
  // Frames of these types are recorded but never answered automatically.
  // (4, 10, 11, 13 and 14 are never auto-answered.)

  // Chooses how each later command is answered (none: at once); lateMs for Reply::Late. A late
  // answer does not hold up the frames behind it.
  void SetReplyChooser(ReplyChooser chooser, int lateMs = 0);

  // Sends one well-formed frame (type and payload).
  bool SendFrame(uint8_t type, const std::vector<uint8_t>& payload);
  // Sends bytes as they are: a bad head, a bad check byte, half a frame.
  bool SendRaw(const std::vector<uint8_t>& bytes);

  // The next received frame of this type (0: of any type) that was not yet taken,
  // waiting at most timeoutMs.
  std::optional<Frame> WaitFrame(uint8_t type, int timeoutMs);
  // Every frame received so far, in order (taken or not).
  std::vector<Frame> Received();
  size_t ReceivedCount(uint8_t type);
  // Drops every frame received so far (long runs such as fuzzing keep memory flat).
  void ForgetReceived();
  // Bytes received that did not form a valid frame.
  size_t GarbageBytes();

  // Hooks a handler called on the simulator's thread for each received frame; return true
  // when it answered the frame itself.
  void SetFrameHook(std::function<bool(ReaderSim&, const Frame&)> hook);

  // The reader vanishes: when this returns, the terminal is closed (the service's next read
  // fails and its node cannot be opened again).
  void Unplug();

  // Values the built-in reader reports.
  struct State {
    uint8_t cat1Result = 1, cat1Model = 5, cat1Second = 0;
    uint8_t policy = 1, cache = 0;
    uint16_t port = 21313;
    std::string host = "127.0.0.1";
    uint16_t usbHeartbeat = 600, cat1Heartbeat = 600;
    uint8_t connectStatus = 1, connectType = 1;
    uint8_t licence[32] = {};
    std::string mac = "A1B2C3D4E5F6";
    std::string iccid = "89860012345678901234";
    uint16_t latencyMs = 42;
    uint8_t netMode = 0;
  };
  // A copy of the values, and a change to them; both safe while the service talks.
  State ReaderState();
  void EditReaderState(const std::function<void(State&)>& edit);

 private:
  explicit ReaderSim(int masterFd, bool owned, std::string slavePath);
  void Run();
  void Parse(std::vector<uint8_t>& stream);
  void AddGarbage(size_t count);
  void RemoveEmulatedNodes();
  void Handle(const Frame& frame);
  std::optional<std::vector<uint8_t>> BuiltInAnswer(const Frame& frame);
  void ReplyAsChosen(const Frame& frame, Reply reply, int lateMs);
  // Sends the late answers that are due; the milliseconds until the next one (-1: none).
  int SendDueAnswers();

  int m_fd;
  bool m_owned;
  int m_slaveHold = -1;
  std::string m_slavePath;
  int m_stopFd;
  // Unplug() wakes the reading thread, whose poll holds the old terminal until it returns.
  int m_wakeFd;
  std::condition_variable m_releasedCond;
  bool m_released = false;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::vector<Frame> m_received;
  std::deque<Frame> m_pending;
  std::map<uint8_t, Answer> m_script;
  // Held while the chooser runs, which may keep state of its own and call back into this.
  std::mutex m_chooserLock;
  ReplyChooser m_chooser;
  int m_lateMs = 0;
  // Late answers by the time they are due (reading thread only).
  std::multimap<std::chrono::steady_clock::time_point, Frame> m_late;
  std::function<bool(ReaderSim&, const Frame&)> m_hook;
  size_t m_garbage = 0;
  bool m_unplugged = false;
  State m_state;
  std::mutex m_writeLock;
};

}  // namespace brisk::sim
