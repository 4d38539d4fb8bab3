// Corners of the reader link that the other tests leave out: answers to notices while a command
// waits, a frame that arrives in pieces, the socket options, a send that fails.
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <future>

#include "platform/Clock.h"
#include "tests/link/PlatformLinkFixture.h"

namespace brisk::link {
namespace {

// This process's TCP socket whose peer is the given loopback port, or -1.
int SocketTo(uint16_t port) {
  DIR* dir = opendir("/proc/self/fd");
  int found = -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
        peer.sin_family == AF_INET && ntohs(peer.sin_port) == port)
      found = fd;
  }
  closedir(dir);
  return found;
}

class LinkGapsTest : public PlatformLinkFixture {
 protected:
  void Connect() { ASSERT_EQ(PlatformLinkFixture::Connect(10000), (Bytes{0, 0})); }
};

TEST_F(LinkGapsTest, ReadersAnswerToALinkLostNoticeDoesNotEndAWaitingCommand) {
  Connect();
  sim::Answer silent;
  silent.kind = sim::Answer::Kind::Silent;
  reader->SetAnswer(1, silent);
  reader->SetFrameHook([](sim::ReaderSim& r, const sim::Frame& f) {
    if (f.type != 11) return false;
    r.SendFrame(11, {0, 0});  // the reader acknowledges the notice
    return true;
  });
  auto command = std::async(std::launch::async, [&] { return service.GetCat1Module(); });
  ASSERT_TRUE(test::Eventually([&] { return reader->ReceivedCount(1) == 1; }, 10000));
  server->CloseClient();
  // The answer to the notice is another type: read as a late answer while code 1 still waits.
  ASSERT_TRUE(WaitLateAnswer("0b 00 00 "));
  EXPECT_EQ(command.get().result, -3);
  EXPECT_EQ(reader->ReceivedCount(11), 1u);
}

TEST_F(LinkGapsTest, HeartbeatPushedOnOkDoesNotEndAWaitingCommand) {
  Connect();
  sim::Answer silent;
  silent.kind = sim::Answer::Kind::Silent;
  reader->SetAnswer(17, silent);
  auto command = std::async(std::launch::async, [&] { return service.GetHeartbeat(); });
  ASSERT_TRUE(test::Eventually([&] { return reader->ReceivedCount(17) == 1; }, 10000));
  ASSERT_TRUE(server->SendNotice("state:OK:"));
  // The answer to the pushed heartbeat (type 16) is late for code 17, which times out.
  ASSERT_TRUE(WaitLateAnswer("10 00 00 "));
  EXPECT_EQ(command.get().result, -3);
  EXPECT_EQ(reader->ReceivedCount(16), 1u);
}

TEST_F(LinkGapsTest, BodyArrivingInPiecesWithShortGapsIsPutTogether) {
  const Bytes frame = sim::EncodeFrame(9, {0, 1, 0, 0x41, 0x53, '1', '2', '7', '.', '0'});
  ASSERT_TRUE(reader->SendRaw(Bytes(frame.begin(), frame.begin() + 6)));
  platform::SleepMs(1200);
  ASSERT_TRUE(reader->SendRaw(Bytes(frame.begin() + 6, frame.begin() + 10)));
  platform::SleepMs(1200);
  ASSERT_TRUE(reader->SendRaw(Bytes(frame.begin() + 10, frame.end())));
  ASSERT_TRUE(WaitLateAnswer("09 00 01 00 41 53 31 32 37 2e 30 ", 0, 10000));
  EXPECT_FALSE(LogHas("read body failed"));
}

TEST_F(LinkGapsTest, KeepAliveValuesAreSetOnThePlatformSocket) {
  Connect();
  const int fd = SocketTo(server->Port());
  ASSERT_GE(fd, 0);
  int on = 0, idle = 0, interval = 0, noDelay = 0;
  socklen_t len = sizeof(int);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len), 0);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len), 0);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &len), 0);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len), 0);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(idle, 150);
  EXPECT_EQ(interval, 3);
  EXPECT_NE(noDelay, 0);
}

TEST_F(LinkGapsTest, SendFailureOnAnOpenSocketIsReportedToTheReader) {
  Connect();
  const int fd = SocketTo(server->Port());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(shutdown(fd, SHUT_WR), 0);  // the socket stays open but can no longer send
  ASSERT_TRUE(reader->SendFrame(4, {1, 2, 3}));
  auto lost = reader->WaitFrame(11, 5000);
  ASSERT_TRUE(lost.has_value());
  EXPECT_EQ(lost->payload, (Bytes{1, 0}));
  EXPECT_TRUE(WaitLog("send failed"));
}

}  // namespace
}  // namespace brisk::link
