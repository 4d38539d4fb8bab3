#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/UpgradeDownloader.h"
#include "link/Brisk7Service.h"
#include "log/Log.h"
#include "platform/Paths.h"
#include "sim/http/HttpServer.h"
#include "sim/reader/ReaderSim.h"
#include "sim/reader/ReaderUpgrade.h"
#include "tests/support/DownloadSupport.h"
#include "tests/support/TestSupport.h"

namespace brisk::link {

using test::Exists;
using test::Pattern;
using test::ReadFile;
using test::ScopedFolders;

namespace {

constexpr int kLimitMs = 60000;

using test::CallbackLog;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A service on one end of a pty and the simulated reader on the other, with an HTTPS server.
class FirmwareTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearProxyEnvironment();
    SetLogSwitch(1);
    m_server = sim::HttpServer::Start(true);
    ASSERT_TRUE(m_server);
    m_reader = sim::ReaderSim::Create();
    ASSERT_TRUE(m_reader);
    m_service = std::make_unique<Brisk7Service>(m_calls.Callback());
    ASSERT_EQ(m_service->StartDevice(m_reader->SlavePath()), 1);
    m_upgrade = std::make_unique<sim::ReaderUpgrade>(*m_reader, 20000);
  }
  void TearDown() override {
    if (m_service) m_service->Stop(0);
    m_service.reset();
    SetLogSwitch(0);
  }

  // Serves package at path and runs a request through to its end.
  sim::UpgradeState Download(const std::string& path, const std::string& package, bool dfu) {
    m_server->Serve(path, package);
    const auto first = m_upgrade->Request("v2.0.1", sim::ReaderUpgrade::Md5(package),
                                          m_server->BaseUrl() + path, dfu);
    EXPECT_TRUE(first && first->report && first->state == 1 && first->count == 0);
    const auto end = m_upgrade->WaitForEnd(2, kLimitMs);
    EXPECT_TRUE(end);
    return end.value_or(sim::UpgradeState{});
  }

  // The payload of the last type-13 or type-14 frame the reader received.
  std::vector<uint8_t> LastPayload(uint8_t type) {
    std::vector<uint8_t> last;
    for (const auto& f : m_reader->Received())
      if (f.type == type) last = f.payload;
    return last;
  }

  ScopedFolders m_folders;
  CallbackLog m_calls;
  std::unique_ptr<sim::HttpServer> m_server;
  std::unique_ptr<sim::ReaderSim> m_reader;
  std::unique_ptr<Brisk7Service> m_service;
  std::unique_ptr<sim::ReaderUpgrade> m_upgrade;
};

}  // namespace

TEST_F(FirmwareTransfer, AReaderDownloadsOverHttpsAndPullsThePackageByteExact) {
  const auto idle = m_upgrade->Poll();
  ASSERT_TRUE(idle);
  EXPECT_FALSE(idle->report);
  EXPECT_EQ(LastPayload(13), std::vector<uint8_t>{0x01});

  const std::string package = Pattern(70000, 21);
  const auto end = Download("/fw/reader_2.0.1.bin", package, false);
  EXPECT_TRUE(end.report);
  EXPECT_EQ(end.state, 0);
  EXPECT_EQ(end.count, 70000u);
  EXPECT_EQ(LastPayload(13), (std::vector<uint8_t>{0x00, 0x00, 0x70, 0x11, 0x01, 0x00}));
  const auto after = m_upgrade->Poll();
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->report);

  const auto first = m_upgrade->Pull(0, 512);
  ASSERT_TRUE(first && first->ok);
  const std::vector<uint8_t> head = LastPayload(14);
  ASSERT_EQ(head.size(), 519u);  // 520 bytes of data with the type byte
  EXPECT_EQ(std::vector<uint8_t>(head.begin(), head.begin() + 7),
            (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}));

  const auto pulled = m_upgrade->PullVerified(70000, 512, sim::ReaderUpgrade::Md5(package));
  ASSERT_TRUE(pulled);
  EXPECT_TRUE(*pulled == Bytes(package));
  EXPECT_EQ(m_server->RequestCount(), 1u);
  EXPECT_EQ(m_calls.Count(), 0u);
}

TEST_F(FirmwareTransfer, PollsWatchTheDownloadAdvance) {
  const std::string package = Pattern(120000, 22);
  m_server->ServeHeld("/held.bin", package, 40000);
  const auto digest = sim::ReaderUpgrade::Md5(package);
  ASSERT_TRUE(m_upgrade->Request("l", digest, m_server->BaseUrl() + "/held.bin", false));

  sim::UpgradeState seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const auto s = m_upgrade->Poll();
    ASSERT_TRUE(s && s->report);
    seen = *s;
    if (s->count >= 40000) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(seen.state, 1);
  EXPECT_EQ(seen.count, 40000u);

  // A request while it runs is not started; the answer reports the running download.
  m_server->Serve("/other.bin", "other");
  const auto again = m_upgrade->Request("l", sim::ReaderUpgrade::Md5("other"),
                                        m_server->BaseUrl() + "/other.bin", false);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->state, 1);
  EXPECT_EQ(again->count, 40000u);

  m_server->Release();
  const auto end = m_upgrade->WaitForEnd(2, kLimitMs);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->state, 0);
  EXPECT_EQ(end->count, 120000u);
  EXPECT_EQ(m_server->RequestCount("/other.bin"), 0u);
  EXPECT_TRUE(m_upgrade->PullVerified(120000, 2048, digest));
}

TEST_F(FirmwareTransfer, TheDfuFlagIsABlankAndOneAfterTheUrl) {
  const std::string withFlag = Pattern(3000, 23);
  EXPECT_EQ(Download("/flag.dfu", withFlag, true).state, 0);
  EXPECT_TRUE(m_calls.WaitForCalls(1));
  ASSERT_EQ(m_calls.Count(), 1u);
  const std::string name = "flag_" + test::Md5Text(withFlag) + ".dfu";
  EXPECT_EQ(m_calls.paths[0], platform::TempFolder() + "/" + name);
  EXPECT_TRUE(ReadFile(m_folders.Config() + "/BriskNetService/DFU/" + name) == withFlag);

  // A blank and another character, or nothing after the URL: no flag.
  const std::string other = Pattern(3000, 24);
  m_server->Serve("/other.dfu", other);
  auto payload = sim::ReaderUpgrade::RequestPayload("l", sim::ReaderUpgrade::Md5(other),
                                                    m_server->BaseUrl() + "/other.dfu", false);
  payload.push_back(' ');
  payload.push_back('2');
  ASSERT_TRUE(m_upgrade->Exchange13(payload));
  const auto end = m_upgrade->WaitForEnd(2, kLimitMs);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->state, 0);
  EXPECT_EQ(Download("/plain.dfu", Pattern(100, 25), false).state, 0);
  EXPECT_EQ(m_calls.Count(), 1u);
}

TEST_F(FirmwareTransfer, RequestsMissingAPartAreAnsweredAsPolls) {
  const auto digest = sim::ReaderUpgrade::Md5("x");
  std::vector<std::vector<uint8_t>> polls;
  polls.push_back(Bytes("no-blank-at-all"));
  auto shortDigest = Bytes("lbl ");
  shortDigest.insert(shortDigest.end(), digest.begin(), digest.begin() + 15);
  polls.push_back(shortDigest);
  auto noUrl = Bytes("lbl ");
  noUrl.insert(noUrl.end(), digest.begin(), digest.end());
  noUrl.push_back(' ');  // separator and nothing after it
  polls.push_back(noUrl);
  auto oneByteUrl = noUrl;
  oneByteUrl.push_back('h');
  polls.push_back(oneByteUrl);
  for (const auto& payload : polls) {
    const auto answer = m_upgrade->Exchange13(payload);
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->report) << payload.size();
  }
  EXPECT_EQ(m_server->RequestCount(), 0u);
}

TEST_F(FirmwareTransfer, AnySeparatorByteAfterTheDigestIsSkipped) {
  const std::string package = Pattern(900, 26);
  m_server->Serve("/sep.bin", package);
  const auto payload = sim::ReaderUpgrade::RequestPayload(
      "l", sim::ReaderUpgrade::Md5(package), m_server->BaseUrl() + "/sep.bin", false, '#');
  const auto first = m_upgrade->Exchange13(payload);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->state, 1);
  const auto end = m_upgrade->WaitForEnd(2, kLimitMs);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->state, 0);
}

TEST_F(FirmwareTransfer, FailuresReachTheReaderOnceAsStates2And3) {
  m_server->ServeCut("/cut.bin", Pattern(30000), 10000);
  ASSERT_TRUE(m_upgrade->Request("l", sim::ReaderUpgrade::Md5(Pattern(30000)),
                                 m_server->BaseUrl() + "/cut.bin", false));
  auto end = m_upgrade->WaitForEnd(2, kLimitMs);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->state, 2);
  EXPECT_FALSE(m_upgrade->Poll()->report);

  m_server->Serve("/bad.bin", "not the package");
  ASSERT_TRUE(m_upgrade->Request("l", sim::ReaderUpgrade::Md5("the package"),
                                 m_server->BaseUrl() + "/bad.bin", false));
  end = m_upgrade->WaitForEnd(2, kLimitMs);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->state, 3);
  EXPECT_EQ(end->count, 15u);
  // The file that failed its digest is not handed out.
  const auto chunk = m_upgrade->Pull(0, 4);
  ASSERT_TRUE(chunk);
  EXPECT_FALSE(chunk->ok);
  EXPECT_EQ(chunk->error, 2);
}

TEST_F(FirmwareTransfer, ChunkRequestsOfTheWrongShapeOrRangeAreRefused) {
  auto before = m_upgrade->Pull(0, 16);  // nothing downloaded yet
  ASSERT_TRUE(before);
  EXPECT_EQ(before->error, 2);

  const std::string package = Pattern(70000, 27);
  ASSERT_EQ(Download("/p.bin", package, false).state, 0);
  for (size_t size : {0u, 5u, 7u}) {
    const auto bad = m_upgrade->Exchange14(std::vector<uint8_t>(size, 0));
    ASSERT_TRUE(bad);
    EXPECT_FALSE(bad->ok);
    EXPECT_EQ(bad->error, 1) << size;
  }
  for (uint16_t count : {65527, 65535}) {
    const auto tooLarge = m_upgrade->Pull(0, count);
    ASSERT_TRUE(tooLarge);
    EXPECT_EQ(tooLarge->error, 1) << count;
  }
  const auto pastEnd = m_upgrade->Pull(69990, 20);  // ten bytes exist, twenty asked
  ASSERT_TRUE(pastEnd);
  EXPECT_EQ(pastEnd->error, 2);
  const auto empty = m_upgrade->Pull(70000, 0);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->ok);
  EXPECT_EQ(empty->count, 0);

  // The largest chunk that fits one frame, in any order.
  const auto largest = m_upgrade->Pull(4000, 65526);
  ASSERT_TRUE(largest && largest->ok);
  EXPECT_TRUE(largest->data ==
              std::vector<uint8_t>(package.begin() + 4000, package.begin() + 4000 + 65526));
  const auto last = m_upgrade->Pull(69999, 1);
  ASSERT_TRUE(last && last->ok);
  EXPECT_EQ(last->data, std::vector<uint8_t>{static_cast<uint8_t>(package.back())});
}

}  // namespace brisk::link
