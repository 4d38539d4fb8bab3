#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests and benchmarks: plain or TLS with a
// self-signed certificate made when it starts. One request per connection. It serves bodies
// whole, slowly, cut off, or held back until released; unknown paths get 404. It stops when
// destroyed or when its lifetime has passed, whichever comes first.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brisk::sim {

class HttpServer {
 public:
  // Listens on an ephemeral port of 127.0.0.1; nullptr when that or the TLS set-up fails.
  static std::unique_ptr<HttpServer> Start(bool tls, int lifetimeMs = 120000);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  uint16_t Port() const { return m_port; }
  bool Tls() const { return m_tls; }
  // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
  std::string BaseUrl() const;

  // path is the request target's path (and query, when the request has one).
  void Serve(const std::string& path, std::string body);
  // pieceSize bytes, then a pause of pauseMs, until the body is sent.
  void ServeSlowly(const std::string& path, std::string body, size_t pieceSize, int pauseMs);
  // Announces the whole length but closes the connection after bytesBeforeCut bytes.
  void ServeCut(const std::string& path, std::string body, size_t bytesBeforeCut);
  // Sends bytesBeforeHold bytes, then waits for Release() before sending the rest.
  void ServeHeld(const std::string& path, std::string body, size_t bytesBeforeHold);
  // Answers 302 with this location.
  void Redirect(const std::string& path, const std::string& location);
  void Release();

  // Requests received, in all and for one path.
  size_t RequestCount() const;
  size_t RequestCount(const std::string& path) const;
  // Each request's head as received (request line and header lines), in order.
  std::vector<std::string> RequestHeads() const;

  void Stop();

 private:
  enum class Mode { Whole, Slow, Cut, Held, Redirect };
  struct Entry {
    Mode mode = Mode::Whole;
    std::shared_ptr<const std::string> body;
    size_t number = 0;  // piece size, cut point or hold point
    int pauseMs = 0;
    std::string location;
  };

  HttpServer() = default;
  void AcceptLoop();
  void Handle(int fd);
  void Put(const std::string& path, Entry entry);

  bool m_tls = false;
  int m_listenFd = -1;
  uint16_t m_port = 0;
  void* m_sslContext = nullptr;
  int64_t m_deadlineMs = 0;
  std::atomic<bool> m_stopping{false};
  std::thread m_acceptThread;

  mutable std::mutex m_mutex;
  std::condition_variable m_released;
  bool m_releasedFlag = false;
  std::map<std::string, Entry> m_entries;
  std::map<std::string, size_t> m_counts;
  std::vector<std::string> m_heads;
  std::vector<std::thread> m_connections;
  std::vector<int> m_openFds;
};

}  // namespace brisk::sim
