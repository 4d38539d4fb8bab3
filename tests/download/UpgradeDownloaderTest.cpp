#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/UpgradeDownloader.h"
#include "log/Log.h"
#include "platform/Paths.h"
#include "sim/http/HttpServer.h"
#include "tests/support/DownloadSupport.h"
#include "tests/support/TestSupport.h"

namespace brisk::download {

using test::Exists;
using test::List;
using test::LogCapture;
using test::Md5Text;
using test::Pattern;
using test::ReadFile;
using test::ScopedFolders;
using test::WriteFile;

namespace {

constexpr int kLimitMs = 60000;  // generous: only a hang should reach it

struct Status {
  int32_t state = -1;
  int32_t progress = -1;
};

using test::CallbackLog;

class Downloader : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearProxyEnvironment();
    SetLogSwitch(1);
  }
  void TearDown() override { SetLogSwitch(0); }

  // Polls until the state is no longer 1; the final status (reported once).
  Status WaitEnd(UpgradeDownloader& d) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    Status s;
    while (std::chrono::steady_clock::now() < deadline) {
      d.GetDownloadStatus(s.state, s.progress);
      if (s.state != DOWNLOAD_RUNNING) return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return s;
  }
  Status Poll(UpgradeDownloader& d) {
    Status s;
    d.GetDownloadStatus(s.state, s.progress);
    return s;
  }
  std::string Log() { return m_log.Text(); }
  std::string TempPath(const std::string& name) { return platform::TempFolder() + "/" + name; }

  ScopedFolders m_folders;
  LogCapture m_log;
};

}  // namespace

TEST_F(Downloader, FetchesOverHttpsChecksTheDigestAndReportsTheEndOnce) {
  auto server = sim::HttpServer::Start(true);
  ASSERT_TRUE(server);
  const std::string package = Pattern(70000);
  server->Serve("/fw/pkg_1.2.bin", package);
  UpgradeDownloader d;
  EXPECT_EQ(Poll(d).state, DOWNLOAD_IDLE);

  d.procDownload("lbl", Md5Text(package, false), server->BaseUrl() + "/fw/pkg_1.2.bin", 0);
  const Status end = WaitEnd(d);
  EXPECT_EQ(end.state, DOWNLOAD_READY);
  EXPECT_EQ(end.progress, 70000);
  EXPECT_EQ(Poll(d).state, DOWNLOAD_IDLE);

  const std::string path = TempPath("pkg_1.2_" + Md5Text(package) + ".bin");
  EXPECT_EQ(d.MakeTempFilePath(), path);
  EXPECT_TRUE(ReadFile(path) == package);
  EXPECT_EQ(server->RequestCount(), 1u);

  const std::string log = Log();
  EXPECT_NE(log.find("https host: 127.0.0.1 : " + std::to_string(server->Port())),
            std::string::npos);
  EXPECT_NE(log.find("Code: 200"), std::string::npos);
  EXPECT_NE(log.find("size: 70000"), std::string::npos);
  EXPECT_NE(log.find("read size: 1024"), std::string::npos);
  EXPECT_EQ(log.find("read size: 1025"), std::string::npos);
  EXPECT_NE(log.find("read finished"), std::string::npos);
  EXPECT_NE(log.find("Check download file OK"), std::string::npos);
}

// The HTTP client costs megabytes of memory: it is loaded by the first download, not at start,
// and a missing module fails the download without harm.
TEST_F(Downloader, TheHttpClientIsLoadedByTheFirstDownloadAndAMissingOneFailsIt) {
  const auto clientLoaded = [] {
    return ReadFile("/proc/self/maps").find("libcurl") != std::string::npos;
  };
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  const std::string package = Pattern(3000);
  server->Serve("/p.bin", package);
  UpgradeDownloader d;
  EXPECT_FALSE(clientLoaded());

  test::EnvGuard env;
  env.Set("BRISK_HTTP_MODULE", "/nonexistent/brisk-http.so");
  d.procDownload("l", Md5Text(package, false), server->BaseUrl() + "/p.bin", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_FAILED);
  EXPECT_NE(Log().find("download module /nonexistent/brisk-http.so cannot be loaded: "),
            std::string::npos);
  EXPECT_FALSE(Exists(TempPath("p_" + Md5Text(package) + ".bin"))) << "no partial file is left";
  EXPECT_EQ(server->RequestCount(), 0u);
  EXPECT_FALSE(clientLoaded());

  env.Unset("BRISK_HTTP_MODULE");
  d.procDownload("l", Md5Text(package, false), server->BaseUrl() + "/p.bin", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_TRUE(clientLoaded());
  EXPECT_NE(Log().find("brisk-http.so loaded"), std::string::npos);
}

TEST_F(Downloader, ASelfSignedCertificateIsAcceptedUnlessVerificationIsOn) {
  auto server = sim::HttpServer::Start(true);
  ASSERT_TRUE(server);
  const std::string package = Pattern(5000);
  server->Serve("/fw/p.bin", package);
  const std::string url = server->BaseUrl() + "/fw/p.bin";
  UpgradeDownloader d;
  d.SetVerifyCertificates(true);
  d.procDownload("l", Md5Text(package), url, 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_FAILED);
  EXPECT_EQ(server->RequestCount(), 0u) << "no request goes out before the check";
  EXPECT_FALSE(Exists(d.MakeTempFilePath()));
  EXPECT_NE(Log().find("internet exception: SSL certificate problem"), std::string::npos) << Log();
  uint8_t byte = 0;
  EXPECT_EQ(d.GetData(0, 1, &byte), 0);

  d.SetVerifyCertificates(false);
  d.procDownload("l", Md5Text(package), url, 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_EQ(server->RequestCount(), 1u);
  EXPECT_TRUE(ReadFile(d.MakeTempFilePath()) == package);
}

TEST_F(Downloader, SendsTheThreeHeaderLinesAndTheObjectPathAsGiven) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Serve("/a/../b/fw.bin?v=2", "x");
  UpgradeDownloader d;
  d.procDownload("l", Md5Text("x"), server->BaseUrl() + "/a/../b/fw.bin?v=2", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  ASSERT_EQ(server->RequestHeads().size(), 1u);
  const std::string head = server->RequestHeads()[0];
  EXPECT_EQ(head.rfind("GET /a/../b/fw.bin?v=2 HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nAccept: */*;\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nAccept-Encoding: gzip, deflate, br;\r\n"), std::string::npos) << head;
  EXPECT_NE(
      head.find("\r\nUser-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 "
                "(KHTML, like Gecko) Chrome/108.0.0.0 Safari/537.36;\r\n"),
      std::string::npos)
      << head;
  // The name keeps its query text; it is still a file inside the temporary folder.
  EXPECT_TRUE(Exists(TempPath("fw_" + Md5Text("x") + ".bin?v=2")));
}

TEST_F(Downloader, APackageAlreadyPresentWithTheRightDigestIsNotFetchedAgain) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  const std::string package = Pattern(5000, 2);
  server->Serve("/pkg.dfu", package);
  const std::string digest = Md5Text(package);
  ASSERT_TRUE(WriteFile(TempPath("pkg_" + digest + ".dfu"), package));

  UpgradeDownloader d;
  d.procDownload("l", digest, server->BaseUrl() + "/pkg.dfu", 0);
  const Status end = WaitEnd(d);
  EXPECT_EQ(end.state, DOWNLOAD_READY);
  EXPECT_EQ(end.progress, 5000);
  EXPECT_EQ(server->RequestCount(), 0u);
  EXPECT_NE(Log().find("Check exist file OK"), std::string::npos);
}

TEST_F(Downloader, APresentFileWithAnotherDigestIsReplacedByTheDownload) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  const std::string package = Pattern(3000, 3);
  server->Serve("/pkg.dfu", package);
  const std::string digest = Md5Text(package);
  ASSERT_TRUE(WriteFile(TempPath("pkg_" + digest + ".dfu"), "stale partial file"));

  UpgradeDownloader d;
  d.procDownload("l", digest, server->BaseUrl() + "/pkg.dfu", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_EQ(server->RequestCount(), 1u);
  EXPECT_TRUE(ReadFile(TempPath("pkg_" + digest + ".dfu")) == package);
}

TEST_F(Downloader, AWrongDigestEndsInState3LeavesNoFileAndLogsBothDigests) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Serve("/pkg.bin", Pattern(4000));
  const std::string wrong(32, 'A');
  UpgradeDownloader d;
  // Whoever publishes the upgrade hears of the start and the failure, with the DFU flag.
  std::mutex lock;
  std::vector<std::pair<int32_t, bool>> told;
  d.SetActivityCallback([&](int32_t state, bool forDfu) {
    std::lock_guard<std::mutex> guard(lock);
    told.emplace_back(state, forDfu);
  });
  d.procDownload("l", wrong, server->BaseUrl() + "/pkg.bin", 1);
  const Status end = WaitEnd(d);
  EXPECT_EQ(end.state, DOWNLOAD_BAD_DIGEST);
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(told, (std::vector<std::pair<int32_t, bool>>{{DOWNLOAD_RUNNING, true},
                                                           {DOWNLOAD_BAD_DIGEST, true}}));
  }
  EXPECT_EQ(end.progress, 4000);
  EXPECT_FALSE(Exists(TempPath("pkg_" + wrong + ".bin")));
  EXPECT_NE(
      Log().find("digest mismatch: expected " + wrong + ", received " + Md5Text(Pattern(4000))),
      std::string::npos)
      << Log();
  uint8_t buffer[16];
  EXPECT_EQ(d.GetData(0, sizeof buffer, buffer), 0);
}

TEST_F(Downloader, AnErrorStatusIsAFailedDownloadLoggedWithItsStatusAndNothingIsKept) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Redirect("/moved.bin", "/missing.bin");
  const std::string digest = Md5Text("package");
  UpgradeDownloader d;
  for (const std::string name : {"missing.bin", "moved.bin"}) {
    d.procDownload("l", digest, server->BaseUrl() + "/" + name, 0);
    EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_FAILED) << name;
    const std::string stem = name.substr(0, name.find('.'));
    EXPECT_FALSE(Exists(TempPath(stem + "_" + digest + ".bin"))) << name;
  }
  const std::string log = Log();
  EXPECT_NE(log.find("Code: 404"), std::string::npos) << log;
  EXPECT_NE(log.find("download failed: HTTP status 404, " + server->BaseUrl() + "/moved.bin"),
            std::string::npos)
      << log;
  // The error page is never taken for the package.
  EXPECT_EQ(log.find("MD5: "), std::string::npos) << log;
}

TEST_F(Downloader, TransportFailuresEndInState2WithTheClientsText) {
  auto server = sim::HttpServer::Start(true);
  ASSERT_TRUE(server);
  const std::string package = Pattern(40000, 5);
  server->ServeCut("/cut.bin", package, 15000);
  const std::string digest = Md5Text(package);

  UpgradeDownloader d;
  d.procDownload("l", digest, server->BaseUrl() + "/cut.bin", 0);
  const Status cut = WaitEnd(d);
  EXPECT_EQ(cut.state, DOWNLOAD_FAILED);
  EXPECT_EQ(cut.progress, 15000);

  // A refused connection: a port that was just listening and is now closed.
  uint16_t closedPort;
  {
    auto gone = sim::HttpServer::Start(false);
    ASSERT_TRUE(gone);
    closedPort = gone->Port();
  }
  d.procDownload("l", digest, "http://127.0.0.1:" + std::to_string(closedPort) + "/x.bin", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_FAILED);

  d.procDownload("l", digest, "http://no-such-host.invalid/x.bin", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_FAILED);

  const std::string log = Log();
  size_t exceptions = 0;
  for (size_t at = log.find("internet exception: "); at != std::string::npos;
       at = log.find("internet exception: ", at + 1))
    ++exceptions;
  EXPECT_EQ(exceptions, 3u) << log;
  EXPECT_EQ(log.find("internet exception: \n"), std::string::npos);
}

TEST_F(Downloader, AddressesThatCannotBeFetchedEndInState2WithoutARequest) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Serve("/x.bin", "x");
  const std::string port = std::to_string(server->Port());
  const std::string digest = Md5Text("x");
  UpgradeDownloader d;
  for (const std::string& url : {
           std::string("ftp://127.0.0.1:") + port + "/x.bin",
           std::string("HTTP://127.0.0.1:") + port + "/x.bin",
           std::string("http://127.0.0.1:") + port,  // no object path
           std::string("http://127.0.0.1:") + std::to_string(65536 + server->Port()) + "/x.bin",
           std::string("http://127.0.0.1:abc/x.bin"),                // port 0
           std::string("http://user@127.0.0.1:") + port + "/x.bin",  // not a plain host
           std::string("http://127.0.0.1:") + port + std::string("/x\0.bin", 7),
       }) {
    d.procDownload("l", digest, url, 0);
    EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_FAILED) << url;
  }
  EXPECT_EQ(server->RequestCount(), 0u);
}

TEST_F(Downloader, DefaultPortsAreUsedWithoutAPortAndTheProxyVariablesAreHonoured) {
  {
    test::EnvGuard env;
    auto proxy = sim::HttpServer::Start(false);
    ASSERT_TRUE(proxy);
    proxy->Serve("/fw/x.bin", "through the proxy");
    // Only the proxy's own threads run here, and they read no environment; the downloader's
    // worker is joined before the variable goes again.
    env.Set("http_proxy", proxy->BaseUrl());
    UpgradeDownloader d;
    d.procDownload("l", Md5Text("through the proxy"), "http://packages.example/fw/x.bin", 0);
    EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
    ASSERT_EQ(proxy->RequestHeads().size(), 1u);
    EXPECT_NE(proxy->RequestHeads()[0].find("packages.example"), std::string::npos);
  }

  // No proxy for this one; whatever answers on 443 of the loopback, the log shows the port.
  UpgradeDownloader d;
  d.procDownload("l", Md5Text("x"), "https://127.0.0.1/fw/x.bin", 0);
  EXPECT_NE(WaitEnd(d).state, DOWNLOAD_READY);
  const std::string log = Log();
  EXPECT_NE(log.find("http host: packages.example : 80"), std::string::npos);
  EXPECT_NE(log.find("https host: 127.0.0.1 : 443"), std::string::npos);
}

TEST_F(Downloader, ARedirectIsFollowed) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Redirect("/old.bin", server->BaseUrl() + "/new.bin");
  server->Serve("/new.bin", "moved package");
  UpgradeDownloader d;
  d.procDownload("l", Md5Text("moved package"), server->BaseUrl() + "/old.bin", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_TRUE(ReadFile(TempPath("old_" + Md5Text("moved package") + ".bin")) == "moved package");
}

TEST_F(Downloader, ASecondRequestWhileOneRunsIsIgnoredAndProgressGrows) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  const std::string package = Pattern(100000, 9);
  server->ServeHeld("/first.bin", package, 30000);
  server->Serve("/second.bin", "second");
  UpgradeDownloader d;
  d.procDownload("l", Md5Text(package), server->BaseUrl() + "/first.bin", 0);

  Status running;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
  do {
    running = Poll(d);
    if (running.progress >= 30000) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(running.state, DOWNLOAD_RUNNING);
  EXPECT_EQ(running.progress, 30000);

  d.procDownload("l", Md5Text("second"), server->BaseUrl() + "/second.bin", 0);
  const Status still = Poll(d);
  EXPECT_EQ(still.state, DOWNLOAD_RUNNING);
  EXPECT_EQ(still.progress, 30000);
  server->Release();
  const Status end = WaitEnd(d);
  EXPECT_EQ(end.state, DOWNLOAD_READY);
  EXPECT_EQ(end.progress, 100000);
  EXPECT_EQ(Poll(d).state, DOWNLOAD_IDLE);
  EXPECT_EQ(server->RequestCount("/second.bin"), 0u);
  EXPECT_EQ(d.MakeTempFilePath(), TempPath("first_" + Md5Text(package) + ".bin"));
}

TEST_F(Downloader, WithTheDfuFlagTheVerifiedPackageIsCachedAndAnnouncedOnceOnTheWorker) {
  auto server = sim::HttpServer::Start(true);
  ASSERT_TRUE(server);
  const std::string package = Pattern(20000, 4);
  server->Serve("/fw/image.dfu", package);
  CallbackLog calls;
  UpgradeDownloader d;
  d.SetEnterDfuCallback(calls.Callback());
  d.procDownload("l", Md5Text(package), server->BaseUrl() + "/fw/image.dfu", 1);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_TRUE(calls.WaitForCalls(1));

  const std::string name = "image_" + Md5Text(package) + ".dfu";
  std::lock_guard<std::mutex> guard(calls.mutex);
  ASSERT_EQ(calls.paths.size(), 1u);
  EXPECT_EQ(calls.paths[0], TempPath(name));
  EXPECT_NE(calls.threads[0], std::this_thread::get_id());
  const std::string cache = m_folders.Config() + "/BriskNetService/DFU";
  EXPECT_EQ(platform::DfuCacheFolder(), cache);
  EXPECT_TRUE(ReadFile(cache + "/" + name) == package);
  EXPECT_EQ(List(cache), std::vector<std::string>{name});  // no half-copied leftovers
  EXPECT_NE(Log().find("Copy DFU file to cache success, " + cache + "/" + name), std::string::npos);
}

TEST_F(Downloader, APresentPackageWithTheDfuFlagIsCachedAndAnnouncedToo) {
  const std::string package = Pattern(2000, 8);
  ASSERT_TRUE(WriteFile(TempPath("p_" + Md5Text(package) + ".dfu"), package));
  CallbackLog calls;
  UpgradeDownloader d;
  d.SetEnterDfuCallback(calls.Callback());
  d.procDownload("l", Md5Text(package), "http://127.0.0.1:1/p.dfu", 1);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_TRUE(calls.WaitForCalls(1));
  std::lock_guard<std::mutex> guard(calls.mutex);
  EXPECT_EQ(calls.paths.size(), 1u);
  EXPECT_TRUE(Exists(m_folders.Config() + "/BriskNetService/DFU/p_" + Md5Text(package) + ".dfu"));
}

TEST_F(Downloader, NoCacheCopyWithoutTheFlagOrWithoutACallback) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Serve("/a.dfu", "aaa");
  CallbackLog calls;
  {
    UpgradeDownloader d;
    d.SetEnterDfuCallback(calls.Callback());
    d.procDownload("l", Md5Text("aaa"), server->BaseUrl() + "/a.dfu", 0);
    EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  }
  {
    UpgradeDownloader d;
    d.procDownload("l", Md5Text("aaa"), server->BaseUrl() + "/a.dfu", 1);
    EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  }
  std::lock_guard<std::mutex> guard(calls.mutex);
  EXPECT_TRUE(calls.paths.empty());
  EXPECT_FALSE(Exists(m_folders.Config() + "/BriskNetService/DFU"));
}

TEST_F(Downloader, FileNamesFollowTheAddressAndNeverLeaveTheTemporaryFolder) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Serve("/fw/firmware", "no extension");
  server->Serve("/fw/..", "dots");
  UpgradeDownloader d;
  d.procDownload("l", Md5Text("no extension"), server->BaseUrl() + "/fw/firmware", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_TRUE(Exists(TempPath("firmware_" + Md5Text("no extension"))));

  d.procDownload("l", Md5Text("dots"), server->BaseUrl() + "/fw/..", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_TRUE(Exists(TempPath("._" + Md5Text("dots") + ".")));

  // A digest text is not trusted to be hexadecimal.
  d.procDownload("l", "/../../escaped", server->BaseUrl() + "/fw/firmware", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_FAILED);
  EXPECT_EQ(d.MakeTempFilePath(), "");
  EXPECT_FALSE(Exists(m_folders.Tmp() + "/escaped"));
  EXPECT_FALSE(Exists(m_folders.Root() + "/escaped"));
}

TEST_F(Downloader, ALinkAtThePackagesNameIsReplacedNotWrittenThrough) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Serve("/x.bin", "package");
  const std::string victim = m_folders.Root() + "/victim";
  ASSERT_TRUE(WriteFile(victim, "keep"));
  const std::string path = TempPath("x_" + Md5Text("package") + ".bin");
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  UpgradeDownloader d;
  d.procDownload("l", Md5Text("package"), server->BaseUrl() + "/x.bin", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);
  EXPECT_EQ(ReadFile(victim), "keep");
  EXPECT_EQ(ReadFile(path), "package");
}

TEST_F(Downloader, AnUnsafeTemporaryFolderStopsTheDownload) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->Serve("/x.bin", "x");
  // Someone planted a link where the private folder belongs.
  const std::string folder = m_folders.Tmp() + "/BriskNetService-" + std::to_string(getuid());
  const std::string elsewhere = m_folders.Root() + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), folder.c_str()), 0);
  UpgradeDownloader d;
  d.procDownload("l", Md5Text("x"), server->BaseUrl() + "/x.bin", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_FAILED);
  EXPECT_EQ(server->RequestCount(), 0u);
  EXPECT_TRUE(List(elsewhere).empty());
}

TEST_F(Downloader, GetDataServesExactRangesOfTheVerifiedPackageOnly) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  const std::string package = Pattern(1000, 6);
  server->Serve("/p.bin", package);
  UpgradeDownloader d;
  uint8_t buffer[1000];
  EXPECT_EQ(d.GetData(0, 0, buffer), 0);  // nothing requested yet
  d.procDownload("l", Md5Text(package), server->BaseUrl() + "/p.bin", 0);
  EXPECT_EQ(WaitEnd(d).state, DOWNLOAD_READY);

  ASSERT_EQ(d.GetData(900, 100, buffer), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 100), package.substr(900));
  EXPECT_EQ(d.GetData(901, 100, buffer), 0);  // runs past the end
  EXPECT_EQ(d.GetData(5000, 1, buffer), 0);   // beyond the end
  EXPECT_EQ(d.GetData(5000, 0, buffer), 0);   // nothing asked, but past the end
  EXPECT_EQ(d.GetData(1000, 0, buffer), 1);   // nothing asked, at the end
  EXPECT_EQ(d.GetData(0, 1000, buffer), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 1000), package);
}

TEST_F(Downloader, DestroyingTheDownloaderStopsARunningWorker) {
  auto server = sim::HttpServer::Start(false);
  ASSERT_TRUE(server);
  server->ServeHeld("/held.bin", Pattern(50000), 10000);
  {
    UpgradeDownloader d;
    d.procDownload("l", Md5Text(Pattern(50000)), server->BaseUrl() + "/held.bin", 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (Poll(d).progress < 10000 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_NE(Log().find("download stopped: "), std::string::npos);
}

}  // namespace brisk::download
