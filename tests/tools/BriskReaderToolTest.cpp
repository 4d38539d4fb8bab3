#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <regex>

#include "sim/platform/PlatformServer.h"
#include "sim/reader/ReaderSim.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace brisk {

namespace {

using Bytes = std::vector<uint8_t>;
using test::ChildProcess;

std::string ToolPath() {
  const char* dir = std::getenv("BRISK_TEST_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/tools/brisk-reader/brisk-reader";
}

// A running brisk-reader with its output collected.
ChildProcess RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), ToolPath());
  return ChildProcess(std::move(args));
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(ToolPath().c_str(), X_OK) != 0) GTEST_SKIP() << "brisk-reader is not built";
    reader = sim::ReaderSim::Create();
    ASSERT_NE(reader, nullptr);
  }
  // Runs one command against the simulated reader; returns the exit status.
  int Run(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), {"--device", reader->SlavePath()});
    ChildProcess tool = RunTool(args);
    const int status = tool.Wait();
    if (out) *out = tool.Out();
    lastErr = tool.Err();
    return status;
  }
  void Script(uint8_t code, Bytes payload) {
    sim::Answer a;
    a.payload = std::move(payload);
    reader->SetAnswer(code, a);
  }
  test::ScopedTmpdir tmp;
  std::unique_ptr<sim::ReaderSim> reader;
  std::string lastErr;
};

TEST_F(ToolTest, JsonShapesOfTheQueries) {
  std::string out;
  ASSERT_EQ(Run({"--json", "cat1"}, &out), 0);
  EXPECT_EQ(out, "{\"result\":1,\"model\":5,\"second\":0}\n");

  reader->EditReaderState([](sim::ReaderSim::State& s) {
    for (int i = 0; i < 32; ++i) s.licence[i] = static_cast<uint8_t>(i);
  });
  ASSERT_EQ(Run({"--json", "auth"}, &out), 0);
  EXPECT_EQ(out,
            "{\"result\":0,\"license\":"
            "\"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\","
            "\"mac\":\"A1:B2:C3:D4:E5:F6\",\"iccid\":\"89860012345678901234\"}\n");

  ASSERT_EQ(Run({"--json", "platform", "get"}, &out), 0);
  EXPECT_EQ(out, "{\"result\":0,\"policy\":1,\"cache\":0,\"port\":21313,\"host\":\"127.0.0.1\"}\n");

  ASSERT_EQ(Run({"--json", "status"}, &out), 0);
  EXPECT_EQ(out, "{\"result\":0,\"status\":1,\"type\":1}\n");

  ASSERT_EQ(Run({"--json", "heartbeat", "get"}, &out), 0);
  EXPECT_EQ(out, "{\"result\":0,\"usb\":600,\"cat1\":600}\n");
}

TEST_F(ToolTest, SettingsReachTheReader) {
  std::string out;
  ASSERT_EQ(Run({"platform", "set", "0", "1", "platform.example", "9000"}, &out), 0);
  EXPECT_EQ(reader->ReaderState().host, "platform.example");
  EXPECT_EQ(reader->ReaderState().port, 9000);
  ASSERT_EQ(Run({"heartbeat", "set", "120", "300"}), 0);
  EXPECT_EQ(reader->ReaderState().usbHeartbeat, 120);
  EXPECT_EQ(reader->ReaderState().cat1Heartbeat, 300);
  ASSERT_EQ(Run({"mode", "2"}), 0);
  EXPECT_EQ(reader->ReaderState().netMode, 2);
  ASSERT_EQ(Run({"enter-dfu"}), 0);
  EXPECT_EQ(reader->ReceivedCount(15), 1u);
}

TEST_F(ToolTest, NetworkTestAveragesTheSuccesses) {
  std::string out;
  ASSERT_EQ(Run({"--json", "net-test", "3"}, &out), 0);
  EXPECT_EQ(out, "{\"result\":0,\"ok\":3,\"failed\":0,\"average\":42,\"max\":42}\n");
  Script(12, {1, 0, 0});
  EXPECT_EQ(Run({"--json", "net-test", "2"}, &out), 2);
  EXPECT_EQ(out, "{\"result\":-3,\"ok\":0,\"failed\":2,\"average\":0,\"max\":0}\n");
}

TEST_F(ToolTest, ExitStatusFollowsTheAnswer) {
  Script(2, {0x03, 0x00});
  std::string out;
  EXPECT_EQ(Run({"--json", "mode", "1"}, &out), 1);
  EXPECT_EQ(out, "{\"result\":3}\n");
  sim::Answer silent;
  silent.kind = sim::Answer::Kind::Silent;
  reader->SetAnswer(5, silent);
  EXPECT_EQ(Run({"disconnect"}, &out), 2);
  EXPECT_NE(out.find("no answer"), std::string::npos) << out;
  Script(1, {0x00, 0x00, 0x00});
  EXPECT_EQ(Run({"--json", "cat1"}, &out), 0) << "no Cat1 module is an answer too";
  EXPECT_EQ(out, "{\"result\":0}\n");
  Script(9, {0x00, 0x00});  // what a port that echoes sends back
  EXPECT_EQ(Run({"--json", "platform", "get"}, &out), 2);
  EXPECT_EQ(out, "{\"result\":-5}\n");
}

TEST_F(ToolTest, AuthorizationBytesThatAreNotUtf8StillMakeValidJson) {
  reader->EditReaderState([](sim::ReaderSim::State& s) {
    s.mac = "A1B2C3D4E5\x1b\"";
    s.iccid = std::string("8986\xff\xfe\xc3", 7) + "\xe4\xb8\xad" + "0123456789";
  });
  std::string out;
  ASSERT_EQ(Run({"--json", "auth"}, &out), 0);
  EXPECT_NE(out.find("\"mac\":\"A1:B2:C3:D4:E5:\\u001b\\\"\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"iccid\":\"8986\\ufffd\\ufffd\\ufffd\\u4e2d0123456789\""), std::string::npos)
      << out;
}

TEST_F(ToolTest, BadUsageIsRefusedWithTheUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"cat1"},
                                               {"--device", "/x", "--port", "1", "cat1"},
                                               {"--device", "/x"},
                                               {"--device", "/x", "fly"},
                                               {"--device", "/x", "mode", "3"},
                                               {"--port", "0", "cat1"},
                                               {"--device", "/x", "heartbeat", "set", "70000", "1"},
                                               {"--device", "/x", "platform", "set", "1"},
                                               {"--device", "/x", "net-test", "many"}}) {
    ChildProcess tool = RunTool(args);
    EXPECT_EQ(tool.Wait(), 64);
    EXPECT_NE(tool.Err().find("usage: brisk-reader"), std::string::npos);
  }
}

TEST_F(ToolTest, DeviceThatCannotBeOpenedIsNotSent) {
  ChildProcess tool = RunTool({"--device", tmp.Path() + "/no-such-tty", "cat1"});
  EXPECT_EQ(tool.Wait(), 2);
  EXPECT_NE(tool.Err().find("cannot open"), std::string::npos);
}

TEST_F(ToolTest, RelayRunsUntilSignalledAndPrintsTheCounters) {
  auto platform = sim::PlatformServer::Start();
  ASSERT_NE(platform, nullptr);
  ChildProcess tool = RunTool({"--device", reader->SlavePath(), "--json", "relay", "--platform",
                               "127.0.0.1:" + std::to_string(platform->Port()), "--mode", "1"});
  ASSERT_TRUE(tool.WaitOutput("{\"event\":\"relaying\",\"platform\":\"127.0.0.1:"))
      << tool.Out() << tool.Err();
  EXPECT_EQ(reader->ReaderState().netMode, 1);
  reader->SendFrame(10, {0, 0});
  auto result = reader->WaitFrame(10, 10000);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->payload, (Bytes{0, 0}));
  reader->SendFrame(4, {'p', 'i', 'n', 'g'});
  auto echo = reader->WaitFrame(4, 5000);
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ(echo->payload, (Bytes{'p', 'i', 'n', 'g'}));
  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.Wait(), 0);
  EXPECT_NE(tool.Out().find("{\"result\":0,\"comBytesWritten\":"), std::string::npos) << tool.Out();
  EXPECT_NE(tool.Out().find("\"serverBytesSent\":4,\"serverBytesReceived\":4}"), std::string::npos)
      << tool.Out();
  // A clean stop tells the reader.
  EXPECT_TRUE(test::Eventually([&] { return reader->ReceivedCount(5) == 1; }));
}

TEST_F(ToolTest, RelayEndsWhenTheReaderVanishes) {
  auto platform = sim::PlatformServer::Start();
  ChildProcess tool = RunTool({"--device", reader->SlavePath(), "relay", "--platform",
                               "127.0.0.1:" + std::to_string(platform->Port())});
  ASSERT_TRUE(tool.WaitOutput("relaying to")) << tool.Out() << tool.Err();
  reader->Unplug();
  EXPECT_EQ(tool.Wait(), 2);
  EXPECT_NE(tool.Out().find("the reader is gone"), std::string::npos) << tool.Out();
}

}  // namespace

}  // namespace brisk
