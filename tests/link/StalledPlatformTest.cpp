// A platform that stops reading, or whose address hangs, must never freeze the reader link.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include "platform/Clock.h"
#include "platform/Tcp.h"
#include "platform/WakeEvent.h"
#include "sim/platform/PlatformServer.h"
#include "tests/link/LinkFixture.h"

namespace brisk::link {
namespace {

// Accepts one client and reads nothing until told to, with a small receive window so the
// client's send buffer fills after little data.
class DeafPlatform {
 public:
  DeafPlatform() { m_listen = test::ListenLoopback(4, m_port, 4096); }
  ~DeafPlatform() {
    if (m_client >= 0) close(m_client);
    close(m_listen);
  }
  uint16_t Port() const { return m_port; }
  bool Accept() {
    pollfd p{m_listen, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    m_client = accept(m_listen, nullptr, nullptr);
    return m_client >= 0;
  }
  // Reads until count bytes arrived or the peer is silent for timeoutMs.
  Bytes ReadAll(size_t count, int timeoutMs) {
    Bytes out;
    uint8_t chunk[65536];
    while (out.size() < count) {
      pollfd p{m_client, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) != 1) break;
      const ssize_t n = read(m_client, chunk, sizeof chunk);
      if (n <= 0) break;
      out.insert(out.end(), chunk, chunk + n);
    }
    return out;
  }

 private:
  int m_listen = -1;
  int m_client = -1;
  uint16_t m_port = 0;
};

class StalledPlatformTest : public LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    StartService();
    service.SetPlatformAddress("127.0.0.1", deaf.Port());
    ASSERT_TRUE(reader->SendFrame(10, {0, 0}));
    auto result = reader->WaitFrame(10, 10000);
    ASSERT_TRUE(result && result->payload == (Bytes{0, 0}));
    ASSERT_TRUE(deaf.Accept());
  }
  // Sends numbered type-4 blocks until the service has to queue some; returns what was sent.
  Bytes FloodUntilQueued() {
    Bytes sent;
    for (int i = 0; i < 20000 && service.Link().QueuedPlatformBytes() == 0; ++i) {
      Bytes block(2000);
      for (size_t j = 0; j < block.size(); ++j) block[j] = static_cast<uint8_t>(i * 7 + j);
      EXPECT_TRUE(reader->SendFrame(4, block));
      sent.insert(sent.end(), block.begin(), block.end());
      // Lets the relay thread keep up now and then, so the queue is seen before it grows large.
      if (i % 8 == 7)
        test::Eventually([&] { return service.ComBytesRead() >= (i + 1) * 2006u; }, 2000);
    }
    return sent;
  }
  int64_t TimedStop() {
    const int64_t start = platform::NowMs();
    service.Stop(0);
    return platform::NowMs() - start;
  }
  DeafPlatform deaf;
};

TEST_F(StalledPlatformTest, ReaderIsServedWhileThePlatformReadsNothingAndNothingIsLost) {
  const Bytes sent = FloodUntilQueued();
  ASSERT_GT(service.Link().QueuedPlatformBytes(), 0u);
  ASSERT_LT(service.Link().QueuedPlatformBytes(), kMaxPlatformQueue);

  ASSERT_TRUE(reader->SendFrame(13, {}));
  auto poll = reader->WaitFrame(13, 5000);
  ASSERT_TRUE(poll.has_value());
  EXPECT_EQ(poll->payload, (Bytes{1}));
  uint8_t model = 0, second = 0;
  EXPECT_EQ(service.GetCat1Module(&model, &second), 1);

  // The platform reads again: every byte arrives once, in order.
  EXPECT_EQ(deaf.ReadAll(sent.size(), 5000), sent);
  EXPECT_TRUE(test::Eventually([&] { return service.Link().QueuedPlatformBytes() == 0; }));
  EXPECT_EQ(service.ServerBytesSent(), sent.size());
  EXPECT_EQ(reader->ReceivedCount(11), 0u);
  EXPECT_LT(TimedStop(), 5000);
}

TEST_F(StalledPlatformTest, OverflowingQueueLosesTheConnectionAndTellsTheReader) {
  FloodUntilQueued();
  Bytes block(2000, 0x42);
  for (int i = 0; i < 1000 && reader->ReceivedCount(11) == 0; ++i) {
    ASSERT_TRUE(reader->SendFrame(4, block));
    platform::SleepMs(1);
  }
  ASSERT_TRUE(reader->WaitFrame(11, 5000).has_value());
  EXPECT_TRUE(LogHas("platform is not reading"));
  EXPECT_FALSE(service.IsServerConnected());
  EXPECT_EQ(service.Link().QueuedPlatformBytes(), 0u);
  EXPECT_TRUE(service.IsRelayRunning());
  uint8_t model = 0, second = 0;
  EXPECT_EQ(service.GetCat1Module(&model, &second), 1);
}

TEST_F(StalledPlatformTest, QueueThatDoesNotDrainLosesTheConnection) {
  service.Link().SetStallLimitMs(300);
  FloodUntilQueued();
  ASSERT_TRUE(reader->WaitFrame(11, 5000).has_value());
  EXPECT_TRUE(LogHas("platform took nothing"));
  EXPECT_FALSE(service.IsServerConnected());
  EXPECT_TRUE(service.IsRelayRunning());
}

class HangingAddressTest : public LinkFixture {
 protected:
  void TearDown() override {
    platform::SetResolver(nullptr);
    LinkFixture::TearDown();
  }
};

TEST_F(HangingAddressTest, StopIsNotHeldByANameLookup) {
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  platform::SetResolver([released](const std::string&, std::vector<std::string>& out) {
    released.wait_for(std::chrono::seconds(60));
    out = {"127.0.0.1"};
    return true;
  });
  StartService();
  service.SetPlatformAddress("slow.test", 1);
  ASSERT_TRUE(reader->SendFrame(10, {0, 0}));
  ASSERT_TRUE(WaitLog("connect server slow.test"));
  const int64_t start = platform::NowMs();
  service.Stop(0);
  EXPECT_LT(platform::NowMs() - start, 5000);
  release->set_value();
}

TEST_F(HangingAddressTest, StopIsNotHeldByConnectAttempts) {
  sim::PlatformServer::Options o;
  o.acceptNothing = true;
  auto silent = sim::PlatformServer::Start(o);
  ASSERT_NE(silent, nullptr);
  platform::SetResolver([](const std::string&, std::vector<std::string>& out) {
    out.assign(5, "127.0.0.1");
    return true;
  });
  StartService();
  service.SetPlatformAddress("busy.test", silent->Port());
  ASSERT_TRUE(reader->SendFrame(10, {0, 0}));
  ASSERT_TRUE(WaitLog("Try to connect 127.0.0.1"));
  const int64_t start = platform::NowMs();
  service.Stop(0);
  EXPECT_LT(platform::NowMs() - start, 5000) << "five attempts would take 15 s";
  EXPECT_FALSE(LogHas("connect 127.0.0.1 success"));
}

TEST(LookupTest, LookupIsBoundedAndCancellable) {
  auto gate = std::make_shared<std::atomic<bool>>(false);
  platform::SetResolver([gate](const std::string&, std::vector<std::string>& out) {
    while (!*gate) platform::SleepMs(10);
    out = {"10.0.0.1"};
    return true;
  });
  std::vector<std::string> out;
  EXPECT_FALSE(platform::ResolveIPv4("hang.test", out, -1, 200));
  platform::WakeEvent cancel;
  cancel.Signal();
  EXPECT_FALSE(platform::ResolveIPv4("hang.test", out, cancel.Fd()));
  *gate = true;
  EXPECT_TRUE(platform::ResolveIPv4("hang.test", out));
  EXPECT_EQ(out, std::vector<std::string>{"10.0.0.1"});
  platform::SetResolver(nullptr);
}

}  // namespace
}  // namespace brisk::link
