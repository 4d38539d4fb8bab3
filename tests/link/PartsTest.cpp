// Each part of the link built alone, on a port in memory.
#include <gtest/gtest.h>

#include <thread>

#include "link/FirmwareServer.h"
#include "link/Frame.h"
#include "link/ReaderCommands.h"
#include "link/Relay.h"
#include "link/SerialFrameReader.h"
#include "log/Log.h"
#include "sim/platform/PlatformServer.h"
#include "tests/link/MemoryReaderPort.h"
#include "tests/support/TestSupport.h"

namespace brisk::link {
namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

// The frames written for the reader, as type byte and payload.
Frames Cut(const Bytes& written) {
  SerialFrameReader cutter;
  std::copy(written.begin(), written.end(), cutter.Space());
  cutter.Added(written.size(), 0);
  Frames out;
  for (auto r = cutter.Next(0); r.kind == SerialFrameReader::Kind::Frame; r = cutter.Next(0))
    out.emplace_back(r.frame + frame::kHeadSize, r.frame + r.size - 1);
  return out;
}

class RelayAlone : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogSwitch(1);
    auto owned = std::make_unique<MemoryReaderPort>();
    port = owned.get();
    relay.SetHandlers([this](const uint8_t* d, size_t n) { answers.emplace_back(d, d + n); },
                      [this](const uint8_t* d, size_t n) { transfers.emplace_back(d, d + n); });
    relay.Attach(std::move(owned));
  }
  void TearDown() override { SetLogSwitch(0); }
  // The reader sends a frame; the relay handles it on this thread.
  void Send(uint8_t type, const Bytes& payload) {
    port->Feed(frame::Encode(type, payload));
    ASSERT_TRUE(relay.Serve(0));
  }

  test::ScopedTmpdir tmp;
  test::LogCapture log;
  MemoryReaderPort* port = nullptr;
  Relay relay;
  Frames answers, transfers;
};

TEST_F(RelayAlone, FramesAreHandedOnByTypeAndABadOneIsNot) {
  Send(5, {0, 0});
  Send(13, {});
  Send(14, {1, 2, 3, 4, 5, 6});
  Bytes bad = frame::Encode(7, {0, 0});
  bad.back() ^= 1;
  port->Feed(bad);
  ASSERT_TRUE(relay.Serve(0));
  EXPECT_EQ(answers, (Frames{{5, 0, 0}}));
  EXPECT_EQ(transfers, (Frames{{13}, {14, 1, 2, 3, 4, 5, 6}}));
  EXPECT_TRUE(log.Has("check sum error"));
  EXPECT_EQ(relay.ComBytesRead(), 8u + 6u + 12u + 8u);
  port->Unplug();
  EXPECT_FALSE(relay.Serve(0));
  EXPECT_FALSE(relay.IsRunning());
  EXPECT_TRUE(log.Has("read head failed"));
}

TEST_F(RelayAlone, ALostPlatformIsLoggedOncePerLossAndReportedForEveryFrame) {
  auto platform = sim::PlatformServer::Start();
  ASSERT_NE(platform, nullptr);
  relay.SetPlatformAddress("127.0.0.1", platform->Port());
  for (int i = 0; i < 3; ++i) Send(4, {1, 2});
  EXPECT_EQ(Cut(port->TakeWritten()), Frames(3, {11, 1, 0}));
  EXPECT_EQ(log.Count("send failed, socket is not valid"), 1u);

  Send(10, {0, 0});
  EXPECT_EQ(Cut(port->TakeWritten()), (Frames{{10, 0, 0}}));
  ASSERT_TRUE(platform->WaitConnections(1, 5000));
  platform->CloseClient();
  for (int i = 0; i < 100 && relay.IsServerConnected(); ++i) relay.Serve(50);
  EXPECT_EQ(Cut(port->TakeWritten()), (Frames{{11, 1, 0}}));
  for (int i = 0; i < 3; ++i) Send(4, {3});
  EXPECT_EQ(Cut(port->TakeWritten()), Frames(3, {11, 1, 0}));
  EXPECT_EQ(log.Count("send failed, socket is not valid"), 2u);
}

TEST(FirmwareServerAlone, AnswersEveryRequestThroughItsWriter) {
  test::ScopedFolders folders;
  Frames written;
  FirmwareServer server({}, [&](const uint8_t* d, int n) {
    written.emplace_back(d, d + n);
    return n;
  });
  const uint8_t poll[] = {13};
  const uint8_t chunk[] = {14, 0, 0, 0, 0, 16, 0};
  const uint8_t shortChunk[] = {14, 0, 0};
  server.Handle(poll, sizeof poll);
  server.Handle(chunk, sizeof chunk);
  server.Handle(shortChunk, sizeof shortChunk);
  EXPECT_EQ(written, (Frames{{13, 1}, {14, 1, 2}, {14, 1, 1}}));
}

// The commands over a relay thread, with this test playing the reader on the port.
class CommandsAlone : public ::testing::Test {
 protected:
  void SetUp() override {
    relay.SetHandlers([this](const uint8_t* d, size_t n) { commands.OnAnswer(d, n); }, {});
    auto owned = std::make_unique<MemoryReaderPort>();
    port = owned.get();
    relay.Start(std::move(owned));
    ScaleAnswerWaitsForTest(20);
  }
  void TearDown() override {
    ScaleAnswerWaitsForTest(100);
    relay.StopThread();
  }
  // Once the command is written, the reader sends these frames.
  std::thread Answer(Frames frames) {
    return std::thread([this, frames] {
      ASSERT_TRUE(port->WaitWritten(8, 5000));
      for (const Bytes& f : frames) port->Feed(frame::Encode(f.data(), f.size()));
    });
  }
  test::ScopedTmpdir tmp;
  MemoryReaderPort* port = nullptr;
  Relay relay;
  ReaderCommands commands{relay};
};

TEST_F(CommandsAlone, OnlyAnAnswerOfTheCommandsOwnTypeEndsItsWait) {
  std::thread reader = Answer({{16, 0, 0}, {17, 0, 0, 0x2C, 0x01, 0x58, 0x02}});
  const HeartbeatInfo h = commands.GetHeartbeat();
  reader.join();
  EXPECT_EQ(h.result, 0);
  EXPECT_EQ(h.usb, 300u);
  EXPECT_EQ(h.cat1, 600u);
}

TEST_F(CommandsAlone, AnEchoIsTooShortForAGetterButPassesForASetter) {
  relay.SetPlatformAddress("kept.test", 7);
  std::thread reader = Answer({{9, 0, 0}});
  EXPECT_EQ(commands.GetPlatform().result, kShortAnswer);
  reader.join();
  EXPECT_EQ(relay.PlatformHost(), "kept.test");
  EXPECT_EQ(relay.PlatformPort(), 7u);
  port->TakeWritten();
  reader = Answer({{5, 0, 0}});
  EXPECT_EQ(commands.NotifyDisconnect(), 0) << "a disconnect's echo reads as success";
  reader.join();
}

}  // namespace
}  // namespace brisk::link
