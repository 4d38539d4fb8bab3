#pragma once
// A linked service pointed at a real platform server on the loopback.
#include <memory>

#include "sim/platform/PlatformServer.h"
#include "tests/link/LinkFixture.h"

namespace brisk::link {

class PlatformLinkFixture : public LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    server = sim::PlatformServer::Start();
    ASSERT_NE(server, nullptr);
    StartService();
    service.SetPlatformAddress("127.0.0.1", server->Port());
  }
  // Asks for a connection as the reader does and returns the result payload; on success it
  // also waits until the platform has accepted the connection.
  Bytes Connect(int timeoutMs = 20000) {
    const int accepted = server->Connections();
    reader->SendFrame(10, {0, 0});
    auto f = reader->WaitFrame(10, timeoutMs);
    if (f && f->payload == Bytes{0, 0}) {
      EXPECT_TRUE(server->WaitConnections(accepted + 1, 5000));
    }
    return f ? f->payload : Bytes{};
  }

  std::unique_ptr<sim::PlatformServer> server;
};

}  // namespace brisk::link
