#include <cstring>
#include <thread>

#include "platform/Clock.h"
#include "platform/Tcp.h"
#include "sim/platform/PlatformServer.h"
#include "tests/link/LinkFixture.h"

namespace brisk::link {

using test::Eventually;

namespace {

class CommandsTest : public LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    StartService();
  }
  void TearDown() override {
    ScaleAnswerWaitsForTest(100);
    platform::SetResolver(nullptr);
    LinkFixture::TearDown();
  }
  void Script(uint8_t code, Bytes payload, uint8_t type = 0, int delayMs = 0) {
    sim::Answer a;
    a.type = type;
    a.payload = std::move(payload);
    a.delayMs = delayMs;
    reader->SetAnswer(code, a);
  }
  void Silence(uint8_t code) {
    sim::Answer a;
    a.kind = sim::Answer::Kind::Silent;
    reader->SetAnswer(code, a);
  }
  // The whole frame the reader received last for a type.
  Bytes LastFrame(uint8_t type) {
    for (const auto& f : [&] {
           auto r = reader->Received();
           return std::vector<sim::Frame>(r.rbegin(), r.rend());
         }())
      if (f.type == type) return sim::EncodeFrame(f.type, f.payload);
    return {};
  }
};

TEST_F(CommandsTest, Cat1ModuleFillsOutputsOnlyWhenPresent) {
  Script(1, {1, 0x05, 0x01});
  Cat1Module m = service.GetCat1Module();
  EXPECT_EQ(m.result, 1);
  EXPECT_EQ(m.model, 5);
  EXPECT_EQ(m.second, 1);
  Script(1, {0, 0x07, 0x07});
  m = service.GetCat1Module();
  EXPECT_EQ(m.result, 0);
  EXPECT_EQ(m.model, 0);
  // The out-parameter form leaves its outputs alone too.
  uint8_t model = 0xEE, second = 0xEE;
  EXPECT_EQ(service.GetCat1Module(&model, &second), 0);
  EXPECT_EQ(model, 0xEE);
  EXPECT_EQ(second, 0xEE);
  EXPECT_EQ(LastFrame(1), (Bytes{0x55, 0xAA, 0x04, 0x00, 0x01, 0x00, 0x00, 0xFA}));
}

TEST_F(CommandsTest, HeartbeatQueryDecodesBothIntervals) {
  Script(17, {0x00, 0x00, 0x2C, 0x01, 0x58, 0x02});
  const HeartbeatInfo h = service.GetHeartbeat();
  EXPECT_EQ(h.result, 0);
  EXPECT_EQ(h.usb, 300u);
  EXPECT_EQ(h.cat1, 600u);
  Script(17, {0x01, 0x00, 0x2C, 0x01, 0x58, 0x02});
  EXPECT_EQ(service.GetHeartbeat().result, -3) << "a failure code reads as -3";
}

TEST_F(CommandsTest, HeartbeatSettingWritesTheExactFrameAndWaits) {
  EXPECT_EQ(service.SetHeartbeat(600, 600, 0, 0), 0);
  EXPECT_EQ(LastFrame(16), (Bytes{0x55, 0xAA, 0x06, 0x00, 0x10, 0x58, 0x02, 0x58, 0x02, 0xE9}));
  EXPECT_TRUE(LogHas("set heart beat interval: 600 600"));
  Script(16, {0x02, 0x00});
  EXPECT_EQ(service.SetHeartbeat(120, 300, 0, 0), 2);
  EXPECT_EQ(service.Link().UsbHeartbeatInterval(), 120u);
  EXPECT_EQ(service.Link().Cat1HeartbeatInterval(), 300u);
}

TEST_F(CommandsTest, HeartbeatNoWaitReturnsAtOnceAndStoreOnlySendsNothing) {
  Silence(16);
  EXPECT_EQ(service.SetHeartbeat(60, 90, 1, 0), 0);
  ASSERT_TRUE(reader->WaitFrame(16, 2000).has_value());
  EXPECT_FALSE(LogHas("read input report timeout"));
  service.Stop(0);
  const size_t before = reader->ReceivedCount(16);
  EXPECT_EQ(service.SetHeartbeat(200, 400, 0, 1), 0);
  EXPECT_EQ(service.Link().UsbHeartbeatInterval(), 200u);
  EXPECT_EQ(service.Link().Cat1HeartbeatInterval(), 400u);
  platform::SleepMs(50);
  EXPECT_EQ(reader->ReceivedCount(16), before);
}

TEST_F(CommandsTest, PlatformSettingCarriesHostAndZeroByte) {
  EXPECT_EQ(service.SetPlatform(1, 0, 0x5341, "plat.a.com"), 0);
  const Bytes f = LastFrame(8);
  ASSERT_EQ(f.size(), 16u + 5);
  EXPECT_EQ(f[2], 17);  // 16 bytes of data plus the check byte
  const Bytes expected = {0x08, 1,   0,   0x41, 0x53, 'p', 'l', 'a',
                          't',  '.', 'a', '.',  'c',  'o', 'm', 0};
  EXPECT_EQ(Bytes(f.begin() + 4, f.end() - 1), expected);
  EXPECT_EQ(reader->ReaderState().host, "plat.a.com");
}

TEST_F(CommandsTest, PlatformQueryIsAdoptedForTheNextConnection) {
  reader->EditReaderState([](sim::ReaderSim::State& s) {
    s.host = "platform.example.test";
    s.port = 9001;
  });
  const PlatformInfo p = service.GetPlatform();
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.policy, 1);
  EXPECT_EQ(p.cache, 0);
  EXPECT_EQ(p.port, 9001u);
  EXPECT_EQ(p.host, "platform.example.test");
  EXPECT_EQ(service.PlatformHost(), "platform.example.test");
  EXPECT_EQ(service.PlatformPort(), 9001u);
}

TEST_F(CommandsTest, OverlongReportedHostIsCutAt240) {
  Bytes answer = {0, 0, 1, 1, 0x10, 0x27};
  answer.insert(answer.end(), 300, 'h');  // no terminating zero within the answer
  Script(9, answer);
  char host[241];
  std::memset(host, 'x', sizeof host);
  uint32_t port = 0;
  EXPECT_EQ(service.GetPlatform(nullptr, nullptr, &port, host), 0);
  EXPECT_EQ(std::string(host), std::string(240, 'h')) << "the out-parameter form ends the text";
  EXPECT_EQ(service.PlatformHost().size(), 240u);
}

TEST_F(CommandsTest, AuthorizationDataIsCopiedWhole) {
  reader->EditReaderState([](sim::ReaderSim::State& s) {
    for (int i = 0; i < 32; ++i) s.licence[i] = static_cast<uint8_t>(i * 8);
  });
  const AuthInfo a = service.GetAuthInfo();
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.licence[31], 248);
  const AuthText text = FormatAuthInfo(a);
  EXPECT_EQ(text.licence.substr(56), "e0e8f0f8");
  EXPECT_EQ(text.mac, "A1:B2:C3:D4:E5:F6");
  EXPECT_EQ(text.iccid, "89860012345678901234");
}

TEST_F(CommandsTest, NetworkTestReportsLatencyOrFailure) {
  Script(12, {0, 0x2A, 0x00});
  EXPECT_EQ(service.TestNetwork(1, 50), 42);
  EXPECT_EQ(reader->WaitFrame(12, 1000)->payload, (Bytes{1, 50}));
  Script(12, {1, 0x2A, 0x00});
  EXPECT_EQ(service.TestNetwork(1, 50), -4);
  Script(12, {0, 0x10, 0x27});
  EXPECT_EQ(service.TestNetwork(1, 50), 10000);
}

TEST_F(CommandsTest, AnswerOfAnotherTypeIsLateAndNeverEndsTheWait) {
  ScaleAnswerWaitsForTest(10);
  for (uint8_t code : {1, 2, 3, 5, 7, 8, 9, 12, 15, 16, 17}) Script(code, {0x00, 0x09, 0x09}, 0x30);
  EXPECT_EQ(service.GetCat1Module().result, -3);
  EXPECT_EQ(service.SetNetMode(1), -3);
  EXPECT_EQ(service.GetConnectStatus().result, -3);
  EXPECT_EQ(service.NotifyDisconnect(), -3);
  EXPECT_EQ(service.GetAuthInfo().result, -3);
  EXPECT_EQ(service.SetPlatform(0, 0, 1, "h"), -3);
  service.SetPlatformAddress("kept.test", 7);
  EXPECT_EQ(service.GetPlatform().result, -3);
  EXPECT_EQ(service.PlatformHost(), "kept.test");
  EXPECT_EQ(service.AskDfuMode(), -3);
  EXPECT_EQ(service.SetHeartbeat(600, 600, 0, 0), -3);
  EXPECT_EQ(service.GetHeartbeat().result, -3);
  EXPECT_EQ(service.TestNetwork(1, 50), -3);
  EXPECT_TRUE(WaitLateAnswer("30 00 09 09 ", 10));
}

TEST_F(CommandsTest, AnswerTooShortForWhatTheCommandReadsIsRefused) {
  // A port that echoes: the answer is the command itself, without the data a getter reads.
  for (uint8_t code : {1, 3, 7, 9, 12, 17}) Script(code, {code == 1 ? uint8_t{1} : uint8_t{0}, 0});
  service.SetPlatformAddress("kept.test", 7);
  EXPECT_EQ(service.GetPlatform().result, kShortAnswer);
  EXPECT_EQ(service.PlatformHost(), "kept.test");
  EXPECT_EQ(service.PlatformPort(), 7u);
  EXPECT_EQ(service.GetCat1Module().result, kShortAnswer);
  EXPECT_EQ(service.GetConnectStatus().result, kShortAnswer);
  EXPECT_EQ(service.GetAuthInfo().result, kShortAnswer);
  EXPECT_EQ(service.TestNetwork(1, 50), kShortAnswer);
  EXPECT_EQ(service.GetHeartbeat().result, kShortAnswer);
  EXPECT_TRUE(LogHas("answer to command 9 refused: 3 bytes are too short"));
  // Data is only read with the result that carries it; a result byte alone is needed always.
  Script(7, {0x01});
  EXPECT_EQ(service.GetAuthInfo().result, 1);
  Script(15, {});
  EXPECT_EQ(service.AskDfuMode(), kShortAnswer);
}

TEST_F(CommandsTest, FailureCodeIsReturnedAndOutputsStayUntouched) {
  Script(3, {0x03, 0x07, 0x02});
  uint8_t status = 0xEE, type = 0xEE;
  EXPECT_EQ(service.GetConnectStatus(&status, &type), 3);
  EXPECT_EQ(status, 0xEE);
  Script(3, {0x00, 0x07, 0x02});
  EXPECT_EQ(service.GetConnectStatus(&status, &type), 0);
  EXPECT_EQ(status, 7);
  EXPECT_EQ(type, 2);
}

TEST_F(CommandsTest, NoAnswerTimesOutAndALateAnswerDoesNotSpoilTheNext) {
  Script(5, {0x00, 0x00}, 0, 2600);  // answers after the 2-second wait
  EXPECT_EQ(service.NotifyDisconnect(), -3);
  EXPECT_TRUE(LogHas("read input report timeout"));
  // The late answer arrives and signals; the next command resets before it sends.
  ASSERT_TRUE(WaitLateAnswer("05 00 00 "));
  Script(15, {0x04, 0x00});
  EXPECT_EQ(service.AskDfuMode(), 4);
}

TEST_F(CommandsTest, NotRunningMeansNotSent) {
  service.Stop(0);
  EXPECT_EQ(service.AskDfuMode(), -1);
  EXPECT_EQ(service.TestNetwork(1, 50), -1);
  EXPECT_EQ(service.SetHeartbeat(1, 1, 1, 0), -1);
}

TEST_F(CommandsTest, CommandGivesUpAfterFiveSecondsOfConnecting) {
  sim::PlatformServer::Options o;
  o.acceptNothing = true;
  auto silent = sim::PlatformServer::Start(o);
  ASSERT_NE(silent, nullptr);
  platform::SetResolver([](const std::string&, std::vector<std::string>& out) {
    out.assign(2, "127.0.0.1");  // two attempts of 3 s: longer than a command waits
    return true;
  });
  service.SetPlatformAddress("silent.test", silent->Port());
  ASSERT_TRUE(reader->SendFrame(10, {0, 0}));
  ASSERT_TRUE(WaitLog("Try to connect 127.0.0.1"));
  const int64_t start = platform::NowMs();
  EXPECT_EQ(service.AskDfuMode(), -1);
  EXPECT_GE(platform::NowMs() - start, 4800);
  EXPECT_TRUE(LogHas("WaitComCanSend timeout"));
  EXPECT_EQ(reader->ReceivedCount(15), 0u);
  // Once the connect has ended, commands go through again.
  ASSERT_TRUE(reader->WaitFrame(10, 10000).has_value());
  EXPECT_EQ(service.AskDfuMode(), 0);
}

TEST_F(CommandsTest, SwitchingToCat1DropsTheRelayCounters) {
  ASSERT_TRUE(reader->SendFrame(0x30, {1, 2, 3}));
  ASSERT_TRUE(Eventually([&] { return service.ComBytesRead() > 0; }));
  EXPECT_EQ(service.SetNetMode(2), 0);
  EXPECT_EQ(reader->ReaderState().netMode, 2);
  // Counted again from zero: only the mode command and its answer.
  EXPECT_EQ(service.ComBytesWritten(), 8u);
  EXPECT_EQ(service.ComBytesRead(), 8u);
}

}  // namespace

}  // namespace brisk::link
