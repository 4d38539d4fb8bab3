// brisk-reader as a person uses it: Ctrl-C ends any command at once, --json output is JSON
// alone, and a port that cannot be opened is explained.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

#include "platform/Clock.h"
#include "sim/platform/PlatformServer.h"
#include "sim/reader/ReaderSim.h"
#include "tests/support/ChildProcess.h"

namespace brisk::test {
namespace {

// Runs brisk-reader (as another user when uid > 0), its output collected.
ChildProcess RunReader(std::vector<std::string> args, uid_t uid = 0) {
  const char* dir = std::getenv("BRISK_TEST_BINARY_DIR");
  args.insert(args.begin(), std::string(dir ? dir : ".") + "/tools/brisk-reader/brisk-reader");
  return ChildProcess(std::move(args), uid);
}

class BriskReaderSignalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_reader = sim::ReaderSim::Create();
    ASSERT_NE(m_reader, nullptr);
  }
  // Waits until the reader has received more than `before` frames of this type.
  bool WaitFrameSeen(uint8_t type, size_t before = 0) {
    for (int i = 0; i < 2000 && m_reader->ReceivedCount(type) <= before; ++i) platform::SleepMs(5);
    return m_reader->ReceivedCount(type) > before;
  }
  std::unique_ptr<sim::ReaderSim> m_reader;
};

TEST_F(BriskReaderSignalTest, SignalsEndAWaitingCommandAtOnce) {
  sim::Answer silent;
  silent.kind = sim::Answer::Kind::Silent;
  m_reader->SetAnswer(12, silent);
  for (int sig : {SIGINT, SIGTERM}) {
    const size_t before = m_reader->ReceivedCount(12);
    ChildProcess tool = RunReader({"--device", m_reader->SlavePath(), "net-test", "1000"});
    ASSERT_TRUE(WaitFrameSeen(12, before));
    tool.Signal(sig);
    // A thousand silent tests would take over an hour.
    EXPECT_EQ(tool.Wait(), 128 + sig) << tool.Err();
    EXPECT_EQ(tool.Out(), "");
  }
}

TEST_F(BriskReaderSignalTest, JsonRelayWritesOnlyJsonAndStopsCleanlyOnce) {
  auto server = sim::PlatformServer::Start();
  ASSERT_NE(server, nullptr);
  ChildProcess tool = RunReader({"--device", m_reader->SlavePath(), "--json", "relay", "--platform",
                                 "127.0.0.1:" + std::to_string(server->Port()), "--mode", "1"});
  ASSERT_TRUE(WaitFrameSeen(2));  // the network mode is set just before the relay runs
  platform::SleepMs(200);
  tool.Signal(SIGINT);
  EXPECT_EQ(tool.Wait(), 0) << tool.Err();
  EXPECT_EQ(m_reader->ReceivedCount(5), 1u) << "one disconnect notice";
  std::istringstream lines(tool.Out());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(line.size() > 1 && line.front() == '{' && line.back() == '}') << line;
  }
  EXPECT_EQ(count, 2) << tool.Out();  // the relaying event and the counters
  EXPECT_NE(tool.Err().find("relaying to"), std::string::npos);
}

TEST_F(BriskReaderSignalTest, PortThatCannotBeOpenedIsExplained) {
  ChildProcess missing = RunReader({"--device", "/dev/brisk-no-such-port", "cat1"});
  EXPECT_EQ(missing.Wait(), 2);
  EXPECT_NE(missing.Err().find("cannot open /dev/brisk-no-such-port: No such file or directory"),
            std::string::npos)
      << missing.Err();

  // A port this user may not use (the test runs it as nobody when it can).
  ASSERT_EQ(chmod(m_reader->SlavePath().c_str(), 0600), 0);
  const uid_t nobody = getuid() == 0 ? 65534 : 0;
  if (nobody == 0) GTEST_SKIP() << "needs root to run the tool as another user";
  ChildProcess denied = RunReader({"--device", m_reader->SlavePath(), "cat1"}, nobody);
  EXPECT_EQ(denied.Wait(), 2);
  EXPECT_NE(denied.Err().find("Permission denied"), std::string::npos) << denied.Err();
  EXPECT_NE(denied.Err().find("udev rules"), std::string::npos) << denied.Err();
}

}  // namespace
}  // namespace brisk::test
