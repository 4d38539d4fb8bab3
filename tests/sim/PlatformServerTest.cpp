#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/platform/PlatformServer.h"

namespace brisk::sim {

namespace {

using Bytes = std::vector<uint8_t>;

int ConnectTo(uint16_t port, int timeoutMs, bool* connected) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  *connected = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (!*connected) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      *connected = err == 0;
    }
  }
  fcntl(fd, F_SETFL, 0);
  return fd;
}

Bytes ReadSome(int fd, size_t n) {
  Bytes out(n);
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0) break;
    const ssize_t r = recv(fd, out.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

TEST(PlatformServer, EchoesRecordsAndSendsNotices) {
  auto server = sim::PlatformServer::Start();
  ASSERT_NE(server, nullptr);
  bool ok = false;
  const int fd = ConnectTo(server->Port(), 2000, &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(server->WaitConnections(1, 2000));
  ASSERT_EQ(send(fd, "abc", 3, 0), 3);
  EXPECT_EQ(ReadSome(fd, 3), (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(server->Received(), (Bytes{'a', 'b', 'c'}));
  ASSERT_TRUE(server->SendNotice(":OK:"));
  EXPECT_EQ(ReadSome(fd, 7), (Bytes{0x01, 0x3F, 0x02, ':', 'O', 'K', ':'}));
  server->CloseClient();
  EXPECT_TRUE(ReadSome(fd, 1).empty());
  close(fd);
}

TEST(PlatformServer, ScriptedReplyAndClientGone) {
  auto server = sim::PlatformServer::Start();
  server->SetReply([](const Bytes& got) { return Bytes(got.size(), 'x'); });
  bool ok = false;
  const int fd = ConnectTo(server->Port(), 2000, &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(send(fd, "12", 2, 0), 2);
  EXPECT_EQ(ReadSome(fd, 2), (Bytes{'x', 'x'}));
  close(fd);
  EXPECT_TRUE(server->WaitClientGone(3000));
}

TEST(PlatformServer, RefusingPortRefusesAndAcceptNothingNeverCompletes) {
  bool ok = true;
  close(ConnectTo(sim::PlatformServer::RefusingPort(), 2000, &ok));
  EXPECT_FALSE(ok);

  sim::PlatformServer::Options o;
  o.acceptNothing = true;
  auto silent = sim::PlatformServer::Start(o);
  ASSERT_NE(silent, nullptr);
  close(ConnectTo(silent->Port(), 500, &ok));
  EXPECT_FALSE(ok) << "a full listening queue leaves the connect unanswered";
  EXPECT_EQ(silent->Connections(), 0);
}

TEST(PlatformServer, OnlyLoopbackAddresses) {
  sim::PlatformServer::Options o;
  o.address = "0.0.0.0";
  EXPECT_EQ(sim::PlatformServer::Start(o), nullptr);
  o.address = "192.0.2.1";
  EXPECT_EQ(sim::PlatformServer::Start(o), nullptr);
}

TEST(PlatformServer, StopsByItselfAfterItsLifetime) {
  sim::PlatformServer::Options o;
  o.lifetimeSeconds = 1;
  auto server = sim::PlatformServer::Start(o);
  ASSERT_NE(server, nullptr);
  sleep(2);
  bool ok = false;
  const int fd = ConnectTo(server->Port(), 500, &ok);
  // The socket still listens, but nothing is accepted or echoed any more.
  if (ok) {
    send(fd, "a", 1, 0);
    EXPECT_TRUE(ReadSome(fd, 1).empty());
  }
  close(fd);
  EXPECT_EQ(server->Connections(), 0);
}

}  // namespace

}  // namespace brisk::sim
