// Servers that misbehave, and files planted where packages belong, never fill the disk, hang
// a thread or leave partial packages behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "download/UpgradeDownloader.h"
#include "log/Log.h"
#include "platform/Paths.h"
#include "tests/support/DownloadSupport.h"
#include "tests/support/TestSupport.h"

namespace brisk::download {
namespace {

using test::List;
using test::Md5Text;
using test::Pattern;
using test::ReadFile;

// An HTTP server on 127.0.0.1 that answers every request with one scripted byte stream.
class ScriptedServer {
 public:
  // Writes the answer on the connection; returns when done (the connection is then closed).
  using Script = std::function<void(int fd, const std::atomic<bool>& stop)>;
  explicit ScriptedServer(Script script) : m_script(std::move(script)) {
    m_listen = test::ListenLoopback(8, m_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    m_stop = true;
    shutdown(m_listen, SHUT_RDWR);
    m_thread.join();
    close(m_listen);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
  }
  // Sends all bytes; false once the client has gone.
  static bool SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  void Run() {
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      const int fd = accept(m_listen, nullptr, nullptr);
      if (fd < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      m_script(fd, m_stop);
      close(fd);
    }
  }
  Script m_script;
  int m_listen = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

ScriptedServer::Script Answer(const std::string& head, const std::string& body) {
  return [=](int fd, const std::atomic<bool>&) { ScriptedServer::SendAll(fd, head + body); };
}

class HostileServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearProxyEnvironment();
    SetLogSwitch(1);
  }
  void TearDown() override { SetLogSwitch(0); }
  int32_t WaitEnd(UpgradeDownloader& d) {
    int32_t state = DOWNLOAD_RUNNING, progress = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (state == DOWNLOAD_RUNNING && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      d.GetDownloadStatus(state, progress);
    }
    return state;
  }
  // Only the log is left in the private temporary folder.
  bool NoPackageLeft() {
    return List(platform::TempFolder()) == std::vector<std::string>{"brisk7.log"};
  }
  std::string Log() { return ReadFile(platform::TempFolder() + "/brisk7.log"); }

  test::ScopedFolders m_folders;
};

TEST_F(HostileServerTest, EndlessBodyIsCutAtTheBoundAndRemoved) {
  ScriptedServer server([](int fd, const std::atomic<bool>& stop) {
    ScriptedServer::SendAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
    const std::string block(65536, 'x');
    while (!stop && ScriptedServer::SendAll(fd, block)) {
    }
  });
  UpgradeDownloader d;
  d.SetLimits(1 << 20, kDownloadDeadlineMs);
  d.procDownload("l", Md5Text("x"), server.Url("/endless.bin"), 0);
  EXPECT_EQ(WaitEnd(d), DOWNLOAD_FAILED);
  EXPECT_NE(Log().find("package is larger than 1048576 bytes, refused"), std::string::npos);
  EXPECT_TRUE(NoPackageLeft());
}

TEST_F(HostileServerTest, OversizedContentLengthIsRefusedBeforeTheBody) {
  // Announces a huge body and then sends nothing: only a refusal on the header ends this soon.
  ScriptedServer server([](int fd, const std::atomic<bool>& stop) {
    ScriptedServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 900000000000\r\n\r\n");
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  UpgradeDownloader d;
  d.SetLimits(1 << 20, kDownloadDeadlineMs);
  d.procDownload("l", Md5Text("x"), server.Url("/huge.bin"), 0);
  EXPECT_EQ(WaitEnd(d), DOWNLOAD_FAILED);
  EXPECT_NE(Log().find("refused"), std::string::npos);
  EXPECT_TRUE(NoPackageLeft());
}

TEST_F(HostileServerTest, TransferPastTheDeadlineEndsAndIsRemoved) {
  ScriptedServer server([](int fd, const std::atomic<bool>& stop) {
    ScriptedServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    while (!stop && ScriptedServer::SendAll(fd, "y"))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  UpgradeDownloader d;
  d.SetLimits(kMaxPackageBytes, 500);
  d.procDownload("l", Md5Text("x"), server.Url("/trickle.bin"), 0);
  EXPECT_EQ(WaitEnd(d), DOWNLOAD_FAILED);
  EXPECT_TRUE(NoPackageLeft());
}

TEST_F(HostileServerTest, HeadersFollowedByACloseFailAndLeaveNothing) {
  ScriptedServer server(Answer("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n", "part"));
  UpgradeDownloader d;
  d.procDownload("l", Md5Text(Pattern(5000)), server.Url("/cut.bin"), 0);
  EXPECT_EQ(WaitEnd(d), DOWNLOAD_FAILED);
  EXPECT_TRUE(NoPackageLeft());
}

TEST_F(HostileServerTest, MoreBytesThanTheContentLengthFailTheDigestAndLeaveNothing) {
  // The bytes past the announced length are not the package's: the digest of the whole
  // would only match a file the client never keeps.
  const std::string package = Pattern(3000);
  ScriptedServer server(Answer("HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n", package));
  UpgradeDownloader d;
  d.procDownload("l", Md5Text(package), server.Url("/long.bin"), 0);
  EXPECT_EQ(WaitEnd(d), DOWNLOAD_BAD_DIGEST);
  EXPECT_TRUE(NoPackageLeft());
  EXPECT_NE(Log().find("digest mismatch: expected " + Md5Text(package) + ", received " +
                       Md5Text(package.substr(0, 2000))),
            std::string::npos)
      << Log();
}

TEST_F(HostileServerTest, BodiesWithoutLengthChunkedOrGzipAreStoredAsSent) {
  const std::string package = Pattern(9000, 3);
  std::string chunked;
  for (size_t at = 0; at < package.size(); at += 4000) {
    const std::string piece = package.substr(at, 4000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    chunked += size + piece + "\r\n";
  }
  chunked += "0\r\n\r\n";
  struct Case {
    std::string head, body, stored;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", package, package},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", chunked, package},
      // Not decoded: the digest is the one of the bytes the server sent.
      {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 9000\r\n\r\n", package,
       package},
  };
  for (const Case& c : cases) {
    ScriptedServer server(Answer(c.head, c.body));
    UpgradeDownloader d;
    d.procDownload("l", Md5Text(c.stored), server.Url("/p.bin"), 0);
    ASSERT_EQ(WaitEnd(d), DOWNLOAD_READY) << c.head;
    EXPECT_EQ(ReadFile(d.MakeTempFilePath()), c.stored);
  }
}

TEST_F(HostileServerTest, FifoAtThePackagesNameBlocksNothing) {
  const std::string package = Pattern(3000, 4);
  ScriptedServer server(Answer("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n", package));
  UpgradeDownloader d;
  const std::string url = server.Url("/fifo.bin");
  const std::string digest = Md5Text(package);
  const std::string path = platform::TempFolder() + "/fifo_" + digest + ".bin";
  // Planted before the download: replaced by the package.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  d.procDownload("l", digest, url, 0);
  ASSERT_EQ(WaitEnd(d), DOWNLOAD_READY);
  EXPECT_EQ(ReadFile(path), package);
  // Planted after it: chunk reads and the digest refuse it at once.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  uint8_t buffer[16];
  EXPECT_EQ(d.GetData(0, sizeof buffer, buffer), 0);
  int64_t size = -1;
  EXPECT_EQ(GetFileMd5(path, size), "");
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink("/etc/passwd", path.c_str()), 0);
  EXPECT_EQ(d.GetData(0, sizeof buffer, buffer), 0);
  EXPECT_EQ(GetFileMd5(path, size), "");
}

TEST_F(HostileServerTest, DfuCacheKeepsTheNewestPackages) {
  std::vector<std::string> names;
  for (int i = 0; i < 5; ++i) {
    const std::string package = Pattern(1000 + i, 10 + i);
    ScriptedServer server(
        Answer("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(package.size()) + "\r\n\r\n",
               package));
    test::CallbackLog calls;
    UpgradeDownloader d;
    d.SetEnterDfuCallback(calls.Callback());
    d.procDownload("l", Md5Text(package), server.Url("/fw" + std::to_string(i) + ".dfu"), 1);
    ASSERT_EQ(WaitEnd(d), DOWNLOAD_READY);
    ASSERT_TRUE(calls.WaitForCalls(1));
    names.push_back("fw" + std::to_string(i) + "_" + Md5Text(package) + ".dfu");
    // File times must tell the copies apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto left = List(platform::DfuCacheFolder());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{names[2], names[3], names[4]}));
}

TEST(Md5EdgeTest, EmptyUpdateWithANullPointerChangesNothing) {
  Md5Context a, b;
  Md5Init(&a);
  Md5Init(&b);
  Md5Update(&a, nullptr, 0);
  Md5Final(&a);
  Md5Final(&b);
  EXPECT_EQ(0, std::memcmp(a.digest, b.digest, sizeof a.digest));
}

}  // namespace
}  // namespace brisk::download
