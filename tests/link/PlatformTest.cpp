#include <dirent.h>

#include <atomic>
#include <thread>

#include "platform/Clock.h"
#include "platform/Tcp.h"
#include "tests/link/PlatformLinkFixture.h"

namespace brisk::link {

using test::Eventually;

namespace {

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* e = readdir(dir)) count += e->d_name[0] != '.';
  closedir(dir);
  return count;
}

const Bytes kLinkLost = {0x55, 0xAA, 0x04, 0x00, 0x0B, 0x01, 0x00, 0xF1};

class PlatformTest : public PlatformLinkFixture {
 protected:
  void TearDown() override {
    platform::SetResolver(nullptr);
    PlatformLinkFixture::TearDown();
  }
  Bytes Concat(const std::vector<sim::Frame>& frames, uint8_t type) {
    Bytes out;
    for (const auto& f : frames)
      if (f.type == type) out.insert(out.end(), f.payload.begin(), f.payload.end());
    return out;
  }
};

TEST_F(PlatformTest, RequestedConnectionRelaysBothWaysByteExact) {
  server->SetReply([](const Bytes& got) {
    Bytes back(got.rbegin(), got.rend());
    return back;
  });
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  EXPECT_TRUE(service.Link().IsRelayActive());
  EXPECT_STREQ(service.ServerStatusText(), "已连接");
  EXPECT_TRUE(service.Link().KeepAliveSet());

  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5A);
  ASSERT_TRUE(reader->SendFrame(4, data));
  ASSERT_TRUE(server->WaitReceived(data.size(), 5000));
  EXPECT_EQ(server->Received(), data);
  auto back = reader->WaitFrame(4, 5000);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->payload, Bytes(data.rbegin(), data.rend()));
  EXPECT_EQ(service.ServerBytesSent(), 300u);
  EXPECT_EQ(service.ServerBytesReceived(), 300u);
  EXPECT_TRUE(WaitLog("send server: "));
  EXPECT_TRUE(LogHas("read server: "));
}

TEST_F(PlatformTest, ClosedConnectionIsReportedToTheReader) {
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  server->CloseClient();
  auto lost = reader->WaitFrame(11, 5000);
  ASSERT_TRUE(lost.has_value());
  EXPECT_EQ(sim::EncodeFrame(lost->type, lost->payload), kLinkLost);
  EXPECT_TRUE(LogHas("read failed"));
  EXPECT_FALSE(service.IsServerConnected());
  // Data from the reader now fails to send and is answered with the same notice.
  ASSERT_TRUE(reader->SendFrame(4, {1, 2, 3}));
  ASSERT_TRUE(reader->WaitFrame(11, 5000).has_value());
  EXPECT_TRUE(WaitLog("send failed, socket is not valid"));
}

TEST_F(PlatformTest, DataWithoutAConnectionIsAnsweredWithLinkLost) {
  ASSERT_TRUE(reader->SendFrame(4, {0x10, 0x20}));
  auto lost = reader->WaitFrame(11, 5000);
  ASSERT_TRUE(lost.has_value());
  EXPECT_EQ(lost->payload, (Bytes{1, 0}));
  EXPECT_EQ(server->Connections(), 0);
}

TEST_F(PlatformTest, OkNoticePushesTheHeartbeatAfterTheBlock) {
  service.SetHeartbeat(300, 450, 0, 1);
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  ASSERT_TRUE(server->SendNotice("status:OK:100%"));
  auto block = reader->WaitFrame(4, 5000);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->payload, (Bytes{0x01, 0x3F, 0x02, 's', 't', 'a', 't', 'u', 's', ':', 'O', 'K',
                                   ':', '1', '0', '0', '%'}));
  auto heartbeat = reader->WaitFrame(16, 5000);
  ASSERT_TRUE(heartbeat.has_value());
  EXPECT_EQ(heartbeat->payload, (Bytes{0x2C, 0x01, 0xC2, 0x01}));
  // The heartbeat follows the block on the wire.
  const auto all = reader->Received();
  size_t blockAt = 0, beatAt = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].type == 4) blockAt = i;
    if (all[i].type == 16) beatAt = i;
  }
  EXPECT_LT(blockAt, beatAt);
  EXPECT_TRUE(LogHas("status:OK:100%"));
}

TEST_F(PlatformTest, UpgradeNoticeSilencesTheHeartbeatAndTheLaterLoss) {
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  ASSERT_TRUE(server->SendNotice(":Upgrade: and :OK:"));
  ASSERT_TRUE(reader->WaitFrame(4, 5000).has_value());
  EXPECT_TRUE(Eventually([&] { return !service.Link().IsRelayActive(); }));
  server->CloseClient();
  ASSERT_TRUE(Eventually([&] { return !service.IsServerConnected(); }));
  platform::SleepMs(200);
  EXPECT_EQ(reader->ReceivedCount(16), 0u);
  EXPECT_EQ(reader->ReceivedCount(11), 0u);
}

TEST_F(PlatformTest, ShortOrUnprefixedBlocksAreForwardedUnexamined) {
  service.SetHeartbeat(300, 450, 0, 1);
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  ASSERT_TRUE(server->Send({0x01, 0x3F, 0x02}));
  auto three = reader->WaitFrame(4, 5000);
  ASSERT_TRUE(three.has_value());
  EXPECT_EQ(three->payload, (Bytes{0x01, 0x3F, 0x02}));
  platform::SleepMs(100);
  ASSERT_TRUE(server->Send({'x', ':', 'O', 'K', ':'}));
  ASSERT_TRUE(reader->WaitFrame(4, 5000).has_value());
  platform::SleepMs(200);
  EXPECT_EQ(reader->ReceivedCount(16), 0u);
}

TEST_F(PlatformTest, FullReceiveBecomesOneFrameOf2105Bytes) {
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  Bytes block(2099);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(server->Send(block));
  auto f = reader->WaitFrame(4, 5000);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(sim::EncodeFrame(f->type, f->payload).size(), 2105u);
  EXPECT_EQ(f->payload, block);
}

TEST_F(PlatformTest, LargerBurstsArriveWholeAcrossSeveralFrames) {
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  Bytes burst(20000);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 13);
  ASSERT_TRUE(server->Send(burst));
  ASSERT_TRUE(Eventually([&] { return Concat(reader->Received(), 4).size() >= burst.size(); }));
  EXPECT_EQ(Concat(reader->Received(), 4), burst);
}

TEST_F(PlatformTest, ResolvedAddressesAreTriedInOrder) {
  platform::SetResolver([](const std::string& host, std::vector<std::string>& out) {
    if (host != "platform.test") return false;
    out = {"127.0.0.2", "127.0.0.3", "127.0.0.1"};
    return true;
  });
  service.SetPlatformAddress("platform.test", server->Port());
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  const std::string log = Log();
  const size_t a = log.find("Try to connect 127.0.0.2"), b = log.find("connect 127.0.0.2 failed");
  const size_t c = log.find("Try to connect 127.0.0.3"), d = log.find("connect 127.0.0.3 failed");
  const size_t e = log.find("Try to connect 127.0.0.1"), f = log.find("connect 127.0.0.1 success");
  ASSERT_NE(f, std::string::npos);
  EXPECT_TRUE(a < b && b < c && c < d && d < e && e < f);
  EXPECT_TRUE(LogHas("ip 0 is: 127.0.0.2"));
  EXPECT_TRUE(LogHas("ip 2 is: 127.0.0.1"));
}

TEST_F(PlatformTest, AtMostFiveResolvedAddressesAreTried) {
  platform::SetResolver([](const std::string&, std::vector<std::string>& out) {
    out = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.1"};
    return true;
  });
  service.SetPlatformAddress("platform.test", server->Port());
  ASSERT_EQ(Connect(), (Bytes{1, 1}));
  EXPECT_FALSE(LogHas("Try to connect 127.0.0.1"));
  EXPECT_TRUE(LogHas("connect platform.test:"));
}

TEST_F(PlatformTest, DottedAddressNeedsNoLookup) {
  platform::SetResolver([](const std::string&, std::vector<std::string>&) {
    ADD_FAILURE() << "no lookup for a dotted address";
    return false;
  });
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  EXPECT_FALSE(LogHas("ip 0 is:"));
}

TEST_F(PlatformTest, FailedLookupAnswersFailure) {
  platform::SetResolver([](const std::string&, std::vector<std::string>&) { return false; });
  service.SetPlatformAddress("nowhere.test", 1);
  EXPECT_EQ(Connect(), (Bytes{1, 1}));
  EXPECT_TRUE(LogHas("gethostby name failed"));
  EXPECT_FALSE(service.Link().IsRelayActive());
}

TEST_F(PlatformTest, RefusedConnectionAnswersFailure) {
  service.SetPlatformAddress("127.0.0.1", sim::PlatformServer::RefusingPort());
  EXPECT_EQ(Connect(), (Bytes{1, 1}));
  EXPECT_TRUE(LogHas("connect 127.0.0.1 failed"));
  EXPECT_EQ(service.CanReachPlatform(), 0);
  service.SetPlatformAddress("127.0.0.1", server->Port());
  EXPECT_EQ(service.CanReachPlatform(), 1);
}

TEST_F(PlatformTest, PlatformThatAcceptsNothingTimesOutAndCommandsWait) {
  sim::PlatformServer::Options o;
  o.acceptNothing = true;
  auto silent = sim::PlatformServer::Start(o);
  ASSERT_NE(silent, nullptr);
  service.SetPlatformAddress("127.0.0.1", silent->Port());
  const int64_t start = platform::NowMs();
  reader->SendFrame(10, {0, 0});
  ASSERT_TRUE(WaitLog("Try to connect 127.0.0.1"));
  // A command sent meanwhile waits for the connect to end, then goes through.
  uint8_t model = 0, second = 0;
  EXPECT_EQ(service.GetCat1Module(&model, &second), 1);
  auto result = reader->WaitFrame(10, 10000);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->payload, (Bytes{1, 1}));
  EXPECT_GE(platform::NowMs() - start, 2500) << "the connect waited for its time-out";
  EXPECT_FALSE(LogHas("WaitComCanSend timeout"));
}

TEST_F(PlatformTest, NewRequestReplacesTheOpenConnectionWithoutLeaking) {
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  // The server shares this process: count only once it has taken (and dropped) its clients.
  ASSERT_TRUE(server->WaitConnections(1, 5000));
  // A descriptor another thread holds for a moment (under load) is not part of the count.
  int before = -1;
  ASSERT_TRUE(test::Eventually([&] {
    const int first = OpenDescriptors();
    platform::SleepMs(100);
    before = OpenDescriptors();
    return before == first;
  }));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Connect(), (Bytes{0, 0}));
  EXPECT_TRUE(server->WaitConnections(6, 5000));
  EXPECT_TRUE(test::Eventually([&] { return OpenDescriptors() == before; }))
      << OpenDescriptors() << " open, " << before << " before";
  ASSERT_TRUE(reader->SendFrame(4, {'h', 'i'}));
  EXPECT_TRUE(server->WaitReceived(2, 5000));
}

TEST_F(PlatformTest, StopNeverHangsOnAPlatformThatStopsReading) {
  sim::PlatformServer::Options o;
  o.readNothing = true;
  auto deaf = sim::PlatformServer::Start(o);
  service.SetPlatformAddress("127.0.0.1", deaf->Port());
  ASSERT_TRUE(reader->SendFrame(10, {0, 0}));
  ASSERT_TRUE(reader->WaitFrame(10, 10000).has_value());
  // Fill the socket buffers until the relay thread blocks in its send.
  const Bytes block(2000, 0x61);
  std::atomic<bool> flood{true};
  std::thread sender([&] {
    for (int i = 0; i < 20000 && flood; ++i) reader->SendFrame(4, block);
  });
  uint32_t last = 0;
  ASSERT_TRUE(Eventually(
      [&] {
        const uint32_t now = service.ServerBytesSent();
        const bool stalled = now > 0 && now == last;
        last = now;
        platform::SleepMs(300);
        return stalled;
      },
      60000));
  service.Stop(0);
  flood = false;
  sender.join();
  EXPECT_FALSE(service.IsRelayRunning());
  EXPECT_TRUE(NoRelayThreadLeft());
}

TEST_F(PlatformTest, StopClosesTheSocketAndResetsCounters) {
  ASSERT_EQ(Connect(), (Bytes{0, 0}));
  ASSERT_TRUE(reader->SendFrame(4, {1}));
  ASSERT_TRUE(reader->WaitFrame(4, 5000).has_value());
  service.Stop(0);
  EXPECT_FALSE(service.IsServerConnected());
  EXPECT_STREQ(service.ServerStatusText(), "未连接");
  EXPECT_EQ(service.ServerBytesSent(), 0u);
  EXPECT_EQ(service.ComBytesRead(), 0u);
  EXPECT_TRUE(server->WaitClientGone(5000));
}

}  // namespace

}  // namespace brisk::link
