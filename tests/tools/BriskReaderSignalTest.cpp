// brisk-reader as a person uses it: Ctrl-C ends any command at once, --json output is JSON
// alone, and a port that cannot be opened is explained.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

#include "platform/Clock.h"
#include "sim/platform/PlatformServer.h"
#include "sim/reader/ReaderSim.h"

namespace brisk::test {
namespace {

// Runs brisk-reader (as another user when uid > 0) and collects its output.
class ToolRun {
 public:
  ToolRun(const std::vector<std::string>& args, uid_t uid = 0) {
    const char* dir = std::getenv("BRISK_TEST_BINARY_DIR");
    static const std::string path =
        std::string(dir ? dir : ".") + "/tools/brisk-reader/brisk-reader";
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      if (uid > 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
      std::vector<char*> argv{const_cast<char*>(path.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_fds[0] = out[0];
    m_fds[1] = err[0];
  }
  ~ToolRun() {
    if (m_pid > 0 && m_status < 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    close(m_fds[0]);
    close(m_fds[1]);
  }
  void Signal(int sig) { kill(m_pid, sig); }
  // The exit status, or -1 when it did not end within the (generous) bound.
  int Wait(int timeoutMs = 20000) {
    const int64_t end = platform::NowMs() + timeoutMs;
    while (platform::NowMs() < end) {
      Drain(10);
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        Drain(0);
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 256;
        return m_status;
      }
    }
    return -1;
  }
  std::string m_out, m_err;

 private:
  void Drain(int ms) {
    pollfd fds[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) (i == 0 ? m_out : m_err).append(buf, static_cast<size_t>(n));
    }
  }
  pid_t m_pid = -1;
  int m_fds[2] = {-1, -1};
  int m_status = -1;
};

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
    ToolRun tool({"--device", m_reader->SlavePath(), "net-test", "1000"});
    ASSERT_TRUE(WaitFrameSeen(12, before));
    tool.Signal(sig);
    // A thousand silent tests would take over an hour.
    EXPECT_EQ(tool.Wait(), 128 + sig) << tool.m_err;
    EXPECT_EQ(tool.m_out, "");
  }
}

TEST_F(BriskReaderSignalTest, JsonRelayWritesOnlyJsonAndStopsCleanlyOnce) {
  auto server = sim::PlatformServer::Start();
  ASSERT_NE(server, nullptr);
  ToolRun tool({"--device", m_reader->SlavePath(), "--json", "relay", "--platform",
                "127.0.0.1:" + std::to_string(server->Port()), "--mode", "1"});
  ASSERT_TRUE(WaitFrameSeen(2));  // the network mode is set just before the relay runs
  platform::SleepMs(200);
  tool.Signal(SIGINT);
  EXPECT_EQ(tool.Wait(), 0) << tool.m_err;
  EXPECT_EQ(m_reader->ReceivedCount(5), 1u) << "one disconnect notice";
  std::istringstream lines(tool.m_out);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(line.size() > 1 && line.front() == '{' && line.back() == '}') << line;
  }
  EXPECT_EQ(count, 2) << tool.m_out;  // the relaying event and the counters
  EXPECT_NE(tool.m_err.find("relaying to"), std::string::npos);
}

TEST_F(BriskReaderSignalTest, PortThatCannotBeOpenedIsExplained) {
  ToolRun missing({"--device", "/dev/brisk-no-such-port", "cat1"});
  EXPECT_EQ(missing.Wait(), 2);
  EXPECT_NE(missing.m_err.find("cannot open /dev/brisk-no-such-port: No such file or directory"),
            std::string::npos)
      << missing.m_err;

  // A port this user may not use (the test runs it as nobody when it can).
  ASSERT_EQ(chmod(m_reader->SlavePath().c_str(), 0600), 0);
  const uid_t nobody = getuid() == 0 ? 65534 : 0;
  if (nobody == 0) GTEST_SKIP() << "needs root to run the tool as another user";
  ToolRun denied({"--device", m_reader->SlavePath(), "cat1"}, nobody);
  EXPECT_EQ(denied.Wait(), 2);
  EXPECT_NE(denied.m_err.find("Permission denied"), std::string::npos) << denied.m_err;
  EXPECT_NE(denied.m_err.find("udev rules"), std::string::npos) << denied.m_err;
}

}  // namespace
}  // namespace brisk::test
