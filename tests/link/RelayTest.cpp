#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "tests/link/LinkFixture.h"

namespace brisk::link {

using test::Eventually;

namespace {

const Bytes kDisconnectAnswer = {0x55, 0xAA, 0x04, 0x00, 0x05, 0x00, 0x00, 0xFE};

class RelayTest : public LinkFixture {
 protected:
  // Bytes of a refused frame may still trickle in and be thrown away with whatever follows
  // them; a reader recovers by sending again, so the test does too.
  bool RecoversWithACleanFrame() {
    return Eventually([&] {
      const size_t before = LateAnswers("05 00 00 ");
      reader->SendRaw(kDisconnectAnswer);
      return WaitLateAnswer("05 00 00 ", before, 200);
    });
  }
};

TEST_F(RelayTest, AnswerIsHandedOverWithoutHeadLengthAndChecksum) {
  StartService();
  EXPECT_STREQ(service.ComStatusText(), "已打开");
  ASSERT_TRUE(reader->SendRaw(kDisconnectAnswer));
  ASSERT_TRUE(WaitLateAnswer("05 00 00 "));
  EXPECT_EQ(service.ComBytesRead(), 8u);
  EXPECT_TRUE(WaitLog("read com:55 aa 04 00 05 00 00 fe "));
}

TEST_F(RelayTest, BadChecksumIsCountedButNotHandedOver) {
  StartService();
  ASSERT_TRUE(reader->SendRaw({0x55, 0xAA, 0x04, 0x00, 0x05, 0x00, 0x00, 0xFF}));
  ASSERT_TRUE(WaitLog("check sum error"));
  EXPECT_EQ(service.ComBytesRead(), 8u);
  EXPECT_FALSE(LogHas("late answer"));
  EXPECT_TRUE(LogHas("read com:55 aa 04 00 05 00 00 ff "));
  EXPECT_TRUE(service.IsRelayRunning());
}

TEST_F(RelayTest, BadHeadThrowsAwayEverythingWaiting) {
  StartService();
  Bytes burst = {0x00, 0x55, 0xAA, 0x04};
  burst.insert(burst.end(), kDisconnectAnswer.begin(), kDisconnectAnswer.end());
  ASSERT_TRUE(reader->SendRaw(burst));
  ASSERT_TRUE(WaitLog("head is not valid"));
  // The good frame behind the bad head was waiting too, so it is gone.
  platform::SleepMs(100);
  EXPECT_FALSE(LogHas("late answer"));
  EXPECT_TRUE(RecoversWithACleanFrame());
  EXPECT_TRUE(service.IsRelayRunning());
}

TEST_F(RelayTest, ZeroLengthIsConsumedSilently) {
  StartService();
  Bytes burst = {0x55, 0xAA, 0x00, 0x00};
  burst.insert(burst.end(), kDisconnectAnswer.begin(), kDisconnectAnswer.end());
  ASSERT_TRUE(reader->SendRaw(burst));
  ASSERT_TRUE(WaitLateAnswer("05 00 00 "));
  EXPECT_EQ(service.ComBytesRead(), 12u);
  EXPECT_FALSE(LogHas("read com:55 aa 00 00"));
}

TEST_F(RelayTest, LengthBeyondTheReceiveBufferIsRefused) {
  StartService();
  Bytes burst = {0x55, 0xAA, 0x31, 0x08};  // 2097
  burst.resize(2101, 0x41);
  ASSERT_TRUE(reader->SendRaw(burst));
  ASSERT_TRUE(WaitLog("too long"));
  EXPECT_TRUE(service.IsRelayRunning());
  EXPECT_FALSE(LogHas("read com:55 aa 31 08"));
  EXPECT_TRUE(RecoversWithACleanFrame());
}

TEST_F(RelayTest, LargestFrameIsRead) {
  StartService();
  Bytes payload(2093, 0x5A);  // with type and check byte: length field 2096
  payload.push_back(2);
  ASSERT_TRUE(reader->SendFrame(0x30, payload));
  // Type and payload handed over whole: the first 20 bytes and 2075 more.
  ASSERT_TRUE(WaitLateAnswer("30 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a  +2075"));
  EXPECT_FALSE(LogHas("check sum error"));
  EXPECT_EQ(service.ComBytesRead(), 2100u);
}

TEST_F(RelayTest, ReaderSilentInsideAFrameEndsOnlyThatFrame) {
  StartService();
  ASSERT_TRUE(reader->SendRaw({0x55, 0xAA, 0x0A, 0x00, 0x07, 0x01}));
  ASSERT_TRUE(WaitLog("read body failed", 15000));
  EXPECT_TRUE(service.IsRelayRunning());
  ASSERT_TRUE(reader->SendRaw(kDisconnectAnswer));
  EXPECT_TRUE(WaitLateAnswer("05 00 00 "));
}

TEST_F(RelayTest, UnplugEndsTheRelayButKeepsThePortNumberAndCounters) {
  test::TempDir devices;
  platform::SetSerialDeviceFolder(devices.Path());
  ASSERT_EQ(symlink(reader->SlavePath().c_str(), (devices.Path() + "/ttyACM3").c_str()), 0);
  ASSERT_EQ(service.Start(4, {}), 1);
  platform::SetSerialDeviceFolder("/dev");
  ASSERT_TRUE(reader->SendRaw(kDisconnectAnswer));
  ASSERT_TRUE(Eventually([&] { return service.ComBytesRead() == 8; }));
  reader->Unplug();
  ASSERT_TRUE(Eventually([&] { return !service.IsRelayRunning(); }));
  EXPECT_TRUE(LogHas("read head failed"));
  EXPECT_EQ(service.ComPort(), 4);
  EXPECT_EQ(service.ComBytesRead(), 8u);
  EXPECT_TRUE(service.IsComOpen()) << "the port stays open until Stop";
  service.Stop(0);
  EXPECT_EQ(service.ComPort(), -1);
  EXPECT_FALSE(service.IsComOpen());
  EXPECT_STREQ(service.ComStatusText(), "未打开");
  EXPECT_TRUE(NoRelayThreadLeft());
}

TEST_F(RelayTest, CandidateListSkipsTheAutomaticEntryAndABusyPort) {
  test::TempDir devices;
  auto busyReader = sim::ReaderSim::Create();
  ASSERT_EQ(symlink(busyReader->SlavePath().c_str(), (devices.Path() + "/ttyACM6").c_str()), 0);
  ASSERT_EQ(symlink(reader->SlavePath().c_str(), (devices.Path() + "/ttyACM2").c_str()), 0);
  auto holder = platform::SerialPort::Open(busyReader->SlavePath(), 115200);
  ASSERT_NE(holder, nullptr);

  platform::SetSerialDeviceFolder(devices.Path());
  const int started = service.Start(0, {"自动", "COM7", "COM3"});
  platform::SetSerialDeviceFolder("/dev");
  ASSERT_EQ(started, 1);
  EXPECT_EQ(service.ComPort(), 3);
  const std::string log = Log();
  const size_t tried = log.find("try to open COM7");
  const size_t failed = log.find("open COM7 failed");
  const size_t next = log.find("try to open COM3");
  ASSERT_NE(tried, std::string::npos);
  ASSERT_NE(failed, std::string::npos);
  ASSERT_NE(next, std::string::npos);
  EXPECT_LT(tried, failed);
  EXPECT_LT(failed, next);
  EXPECT_FALSE(LogHas("open COM3 failed"));
}

TEST_F(RelayTest, NothingToTryReturnsZeroSilently) {
  EXPECT_EQ(service.Start(0, {"自动"}), 0);
  EXPECT_EQ(service.Start(0, {}), 0);
  EXPECT_FALSE(service.IsRelayRunning());
  EXPECT_EQ(Log(), "");
}

TEST_F(RelayTest, CandidateWithAnOverlongNumberIsSkipped) {
  EXPECT_EQ(service.Start(0, {"自动", "COM99999999999", "COM"}), 0);
  EXPECT_TRUE(LogHas("open COM99999999999 failed"));
  EXPECT_TRUE(LogHas("open COM failed"));
  EXPECT_FALSE(service.IsRelayRunning());
}

TEST_F(RelayTest, MissingPortFailsWithItsNumber) {
  EXPECT_EQ(service.Start(99, {}), 0);
  EXPECT_TRUE(LogHas("Open port 99"));
  EXPECT_TRUE(LogHas("open 99 failed"));
  EXPECT_FALSE(service.IsRelayRunning());
}

TEST_F(RelayTest, StopWithNotifySendsTheDisconnectNoticeFirst) {
  StartService();
  service.Stop(1);
  const auto frames = reader->Received();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, 5);
  EXPECT_EQ(frames[0].payload, (Bytes{0, 0}));
  const std::string log = Log();
  EXPECT_LT(log.find("write com: 55 aa 04 00 05 00 00 fe "), log.find("StopServerConnect begin"));
  EXPECT_LT(log.find("enter Brisk7Service::Stop"), log.find("leave Brisk7Service::Stop"));
}

TEST_F(RelayTest, StopWithoutNotifySendsNothing) {
  StartService();
  service.Stop(0);
  platform::SleepMs(50);
  EXPECT_TRUE(reader->Received().empty());
  EXPECT_TRUE(LogHas("Close Com Handle"));
}

TEST_F(RelayTest, StartWhileRunningNeverMakesASecondRelayThread) {
  StartService();
  ASSERT_EQ(RelayThreads(), 1);
  ASSERT_EQ(service.StartDevice(reader->SlavePath()), 1);
  EXPECT_TRUE(LogHas("COM is already open while start service, close it"));
  EXPECT_EQ(RelayThreads(), 1);
  // The new thread still reads frames.
  ASSERT_TRUE(reader->SendRaw(kDisconnectAnswer));
  EXPECT_TRUE(WaitLateAnswer("05 00 00 "));
  service.Stop(0);
  EXPECT_TRUE(NoRelayThreadLeft());
}

TEST_F(RelayTest, StopUnderLoadNeverHangsAndLeavesNoThread) {
  StartService();
  std::atomic<bool> flood{true};
  std::thread sender([&] {
    Bytes answer = sim::EncodeFrame(0x21, Bytes(200, 0x33));
    while (flood) reader->SendRaw(answer);
  });
  ASSERT_TRUE(Eventually([&] { return service.ComBytesRead() > 10000; }));
  service.Stop(0);
  flood = false;
  sender.join();
  EXPECT_FALSE(service.IsRelayRunning());
  EXPECT_TRUE(NoRelayThreadLeft());
}

TEST_F(RelayTest, WritesCountWholeFrames) {
  StartService();
  const uint8_t data[] = {0x0B, 0x01, 0x00};
  EXPECT_EQ(service.Link().WriteCom(data, sizeof data), 3);
  EXPECT_EQ(service.ComBytesWritten(), 8u);
  auto f = reader->WaitFrame(0x0B, 2000);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->payload, (Bytes{0x01, 0x00}));
  EXPECT_TRUE(LogHas("write com: 55 aa 04 00 0b 01 00 f1 "));
  EXPECT_TRUE(LogHas("com write success"));
}

TEST_F(RelayTest, WriteAfterUnplugFailsAndEndsTheRelay) {
  StartService();
  reader->Unplug();
  ASSERT_TRUE(Eventually([&] { return !service.IsRelayRunning(); }));
  const uint8_t data[] = {0x05, 0x00, 0x00};
  EXPECT_EQ(service.Link().WriteCom(data, sizeof data), -1);
  EXPECT_TRUE(LogHas("com write failed"));
}

}  // namespace

}  // namespace brisk::link
