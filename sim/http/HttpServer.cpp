#include "sim/http/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace brisk::sim {

namespace {

constexpr int kIoTimeoutSeconds = 10;
constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kWriteBlock = 256 * 1024;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A self-signed certificate for 127.0.0.1 on a fresh P-256 key, valid for a day.
SSL_CTX* MakeTlsContext() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) return nullptr;
  X509* cert = X509_new();
  SSL_CTX* context = nullptr;
  if (cert) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    if (X509_sign(cert, key, EVP_sha256()) > 0) {
      context = SSL_CTX_new(TLS_server_method());
      if (context && (SSL_CTX_use_certificate(context, cert) != 1 ||
                      SSL_CTX_use_PrivateKey(context, key) != 1)) {
        SSL_CTX_free(context);
        context = nullptr;
      }
    }
    X509_free(cert);
  }
  EVP_PKEY_free(key);
  return context;
}

// One accepted connection, plain or TLS.
struct Connection {
  int fd = -1;
  SSL* ssl = nullptr;

  bool Send(const char* data, size_t size) {
    while (size > 0) {
      ssize_t n;
      if (ssl) {
        const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
        n = SSL_write(ssl, data, chunk);
      } else {
        n = send(fd, data, size, MSG_NOSIGNAL);
      }
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  bool Send(const std::string& text) { return Send(text.data(), text.size()); }

  ssize_t Receive(char* buffer, size_t size) {
    if (ssl) return SSL_read(ssl, buffer, static_cast<int>(size));
    return recv(fd, buffer, size, 0);
  }
};

std::string StatusHead(int code, const char* reason, size_t length, const std::string& extra) {
  return "HTTP/1.1 " + std::to_string(code) + " " + reason +
         "\r\nContent-Length: " + std::to_string(length) +
         "\r\nContent-Type: application/octet-stream\r\n" + extra + "Connection: close\r\n\r\n";
}

}  // namespace

std::unique_ptr<HttpServer> HttpServer::Start(bool tls, int lifetimeMs) {
  // A client that goes away must not end the process while a body is written to it.
  signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<HttpServer> server(new HttpServer());
  server->m_tls = tls;
  if (tls) {
    server->m_sslContext = MakeTlsContext();
    if (!server->m_sslContext) return nullptr;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  server->m_listenFd = fd;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0)
    return nullptr;
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return nullptr;
  server->m_port = ntohs(address.sin_port);
  server->m_deadlineMs = NowMs() + lifetimeMs;
  server->m_acceptThread = std::thread(&HttpServer::AcceptLoop, server.get());
  return server;
}

HttpServer::~HttpServer() {
  Stop();
  if (m_listenFd >= 0) close(m_listenFd);
  if (m_sslContext) SSL_CTX_free(static_cast<SSL_CTX*>(m_sslContext));
}

std::string HttpServer::BaseUrl() const {
  return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
}

void HttpServer::Put(const std::string& path, Entry entry) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_entries[path] = std::move(entry);
}

void HttpServer::Serve(const std::string& path, std::string body) {
  Entry e;
  e.body = std::make_shared<const std::string>(std::move(body));
  Put(path, std::move(e));
}

void HttpServer::ServeSlowly(const std::string& path, std::string body, size_t pieceSize,
                             int pauseMs) {
  Entry e;
  e.mode = Mode::Slow;
  e.body = std::make_shared<const std::string>(std::move(body));
  e.number = std::max<size_t>(pieceSize, 1);
  e.pauseMs = pauseMs;
  Put(path, std::move(e));
}

void HttpServer::ServeCut(const std::string& path, std::string body, size_t bytesBeforeCut) {
  Entry e;
  e.mode = Mode::Cut;
  e.body = std::make_shared<const std::string>(std::move(body));
  e.number = bytesBeforeCut;
  Put(path, std::move(e));
}

void HttpServer::ServeHeld(const std::string& path, std::string body, size_t bytesBeforeHold) {
  Entry e;
  e.mode = Mode::Held;
  e.body = std::make_shared<const std::string>(std::move(body));
  e.number = bytesBeforeHold;
  Put(path, std::move(e));
}

void HttpServer::Redirect(const std::string& path, const std::string& location) {
  Entry e;
  e.mode = Mode::Redirect;
  e.location = location;
  e.body = std::make_shared<const std::string>();
  Put(path, std::move(e));
}

void HttpServer::Release() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_releasedFlag = true;
  m_released.notify_all();
}

size_t HttpServer::RequestCount() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_heads.size();
}

size_t HttpServer::RequestCount(const std::string& path) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  const auto it = m_counts.find(path);
  return it == m_counts.end() ? 0 : it->second;
}

std::vector<std::string> HttpServer::RequestHeads() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_heads;
}

void HttpServer::Stop() {
  if (m_stopping.exchange(true)) {
    if (m_acceptThread.joinable()) m_acceptThread.join();
  }
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_released.notify_all();
    // Wakes connections blocked in a read or a write.
    for (int fd : m_openFds) shutdown(fd, SHUT_RDWR);
  }
  if (m_acceptThread.joinable()) m_acceptThread.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    connections.swap(m_connections);
  }
  for (auto& t : connections) t.join();
}

void HttpServer::AcceptLoop() {
  while (!m_stopping && NowMs() < m_deadlineMs) {
    pollfd p{m_listenFd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    timeval timeout{kIoTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_stopping) {
      close(fd);
      break;
    }
    m_openFds.push_back(fd);
    m_connections.emplace_back(&HttpServer::Handle, this, fd);
  }
  // Past its lifetime the server serves nothing more, even if nobody stops it: new
  // connections are refused rather than left waiting.
  close(m_listenFd);
  m_listenFd = -1;
  std::lock_guard<std::mutex> guard(m_mutex);
  for (int fd : m_openFds) shutdown(fd, SHUT_RDWR);
  m_released.notify_all();
}

void HttpServer::Handle(int fd) {
  Connection c;
  c.fd = fd;
  bool ok = true;
  if (m_tls) {
    c.ssl = SSL_new(static_cast<SSL_CTX*>(m_sslContext));
    ok = c.ssl && SSL_set_fd(c.ssl, fd) == 1 && SSL_accept(c.ssl) == 1;
  }

  std::string head;
  if (ok) {
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead) {
      const ssize_t n = c.Receive(buffer, sizeof buffer);
      if (n <= 0) {
        ok = false;
        break;
      }
      head.append(buffer, static_cast<size_t>(n));
    }
    ok = ok && head.find("\r\n\r\n") != std::string::npos;
  }

  if (ok) {
    head.resize(head.find("\r\n\r\n") + 2);
    // Request line: method, target, version. A proxy request carries an absolute target.
    const size_t firstSpace = head.find(' ');
    const size_t secondSpace = head.find(' ', firstSpace + 1);
    std::string target = firstSpace == std::string::npos || secondSpace == std::string::npos
                             ? std::string()
                             : head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    if (target.rfind("http://", 0) == 0 || target.rfind("https://", 0) == 0) {
      const size_t slash = target.find('/', target.find("//") + 2);
      target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    Entry entry;
    bool found = false;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_heads.push_back(head);
      ++m_counts[target];
      auto it = m_entries.find(target);
      if (it != m_entries.end()) {
        entry = it->second;
        found = true;
      }
    }
    if (!found) {
      const std::string body = "not found\n";
      c.Send(StatusHead(404, "Not Found", body.size(), "") + body);
    } else if (entry.mode == Mode::Redirect) {
      c.Send(StatusHead(302, "Found", 0, "Location: " + entry.location + "\r\n"));
    } else {
      const std::string& body = *entry.body;
      if (c.Send(StatusHead(200, "OK", body.size(), ""))) {
        switch (entry.mode) {
          case Mode::Whole:
            for (size_t done = 0; done < body.size() && !m_stopping;) {
              const size_t n = std::min(kWriteBlock, body.size() - done);
              if (!c.Send(body.data() + done, n)) break;
              done += n;
            }
            break;
          case Mode::Slow:
            for (size_t done = 0; done < body.size() && !m_stopping;) {
              const size_t n = std::min(entry.number, body.size() - done);
              if (!c.Send(body.data() + done, n)) break;
              done += n;
              if (done < body.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(entry.pauseMs));
            }
            break;
          case Mode::Cut:
            c.Send(body.data(), std::min(entry.number, body.size()));
            break;
          case Mode::Held: {
            const size_t first = std::min(entry.number, body.size());
            if (!c.Send(body.data(), first)) break;
            std::unique_lock<std::mutex> lock(m_mutex);
            m_released.wait_until(
                lock,
                std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(std::max<int64_t>(m_deadlineMs - NowMs(), 0)),
                [&] { return m_releasedFlag || m_stopping.load(); });
            const bool go = m_releasedFlag && !m_stopping;
            lock.unlock();
            if (go) c.Send(body.data() + first, body.size() - first);
            break;
          }
          case Mode::Redirect:
            break;
        }
      }
    }
  }

  if (c.ssl) {
    SSL_shutdown(c.ssl);
    SSL_free(c.ssl);
  }
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_openFds.erase(std::remove(m_openFds.begin(), m_openFds.end(), fd), m_openFds.end());
    close(fd);
  }
}

}  // namespace brisk::sim
