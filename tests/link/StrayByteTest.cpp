// Stray bytes from the reader are thrown away; only a vanished port ends the relay.
#include "platform/Clock.h"
#include "tests/link/LinkFixture.h"

namespace brisk::link {
namespace {

const Bytes kDisconnectAnswer = {0x55, 0xAA, 0x04, 0x00, 0x05, 0x00, 0x00, 0xFE};

using StrayByteTest = LinkFixture;

TEST_F(StrayByteTest, StrayByteThenSilenceKeepsTheRelay) {
  StartService();
  ASSERT_TRUE(reader->SendRaw({0x37}));
  ASSERT_TRUE(WaitLog("read head failed"));
  platform::SleepMs(100);
  EXPECT_TRUE(service.IsRelayRunning());
  ASSERT_TRUE(reader->SendRaw(kDisconnectAnswer));
  ASSERT_TRUE(WaitLateAnswer("05 00 00 "));
  EXPECT_EQ(service.GetCat1Module().result, 1);
}

TEST_F(StrayByteTest, StrayByteRightBeforeAnAnswerKeepsTheAnswer) {
  StartService();
  const Bytes burst = {0x00, 0x55, 0xAA, 0x04, 0x00, 0x05, 0x00, 0x00, 0xFE};
  ASSERT_TRUE(reader->SendRaw(burst));
  ASSERT_TRUE(WaitLateAnswer("05 00 00 "));
  EXPECT_TRUE(LogHas("head is not valid"));
}

TEST_F(StrayByteTest, UnplugStillEndsTheRelay) {
  StartService();
  ASSERT_TRUE(reader->SendRaw({0x55, 0xAA}));
  reader->Unplug();
  for (int i = 0; i < 1000 && service.IsRelayRunning(); ++i) platform::SleepMs(5);
  EXPECT_FALSE(service.IsRelayRunning());
  EXPECT_TRUE(LogHas("read head failed"));
}

}  // namespace
}  // namespace brisk::link
