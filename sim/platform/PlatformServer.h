#pragma once
// A platform server on 127.0.0.1 for tests and people: echoes or answers from a script,
// sends notice blocks, closes on cue, and can stand for a platform that accepts nothing.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brisk::sim {

class PlatformServer {
 public:
  using Bytes = std::vector<uint8_t>;
  // Given what a client sent in one receive, what to send back (empty: nothing).
  using Reply = std::function<Bytes(const Bytes&)>;

  struct Options {
    std::string address = "127.0.0.1";  // loopback only
    uint16_t port = 0;                  // 0: an ephemeral port
    bool echo = true;
    // Accepts no connection at all: the listening queue is kept full, so a connect hangs.
    bool acceptNothing = false;
    // Accepts, but never reads: the client's sends back up until they block.
    bool readNothing = false;
    int lifetimeSeconds = 600;  // stops by itself after this long
  };

  static std::unique_ptr<PlatformServer> Start(const Options& options);
  static std::unique_ptr<PlatformServer> Start() { return Start(Options{}); }
  ~PlatformServer();
  PlatformServer(const PlatformServer&) = delete;
  PlatformServer& operator=(const PlatformServer&) = delete;

  uint16_t Port() const { return m_port; }

  void SetReply(Reply reply);
  // Sends to the newest client; false when none is connected.
  bool Send(const Bytes& bytes);
  bool SendNotice(const std::string& text);  // 01 3F 02 and the text
  void CloseClient();

  int Connections();  // accepted so far
  bool WaitConnections(int count, int timeoutMs);
  Bytes Received();  // everything the clients sent, in order
  bool WaitReceived(size_t count, int timeoutMs);
  bool WaitClientGone(int timeoutMs);  // the newest client closed its side

  // A loopback port on which nothing listens: a connect there is refused at once.
  static uint16_t RefusingPort();

 private:
  PlatformServer() = default;
  void Run();

  Options m_options;
  int m_listenFd = -1;
  int m_stopFd = -1;
  uint16_t m_port = 0;
  std::vector<int> m_fillers;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_cond;
  int m_client = -1;
  bool m_clientGone = false;
  int m_connections = 0;
  Bytes m_received;
  Reply m_reply;
};

}  // namespace brisk::sim
