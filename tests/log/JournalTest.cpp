#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>

#include "log/Journal.h"
#include "log/Log.h"
#include "tests/support/TestSupport.h"

namespace brisk {

using test::ReadFile;

namespace {

// Standard error goes into a file for the test; JOURNAL_STREAM names that file, another file or
// nothing. What the process wrote there is read back afterwards.
class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = m_tmp.Path() + "/stderr";
    const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::fflush(stderr);
    m_saved = ::dup(STDERR_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    SetLogSwitch(1);
  }
  void TearDown() override {
    SetLogSwitch(0);
    ::dup2(m_saved, STDERR_FILENO);
    ::close(m_saved);
    m_env.Unset("JOURNAL_STREAM");
    DetectJournalStream();
  }
  static std::string StreamOf(int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
  void Stream(const std::string& value) {
    m_env.Set("JOURNAL_STREAM", value);
    DetectJournalStream();
  }
  std::string Err() const { return ReadFile(m_path); }

  test::ScopedTmpdir m_tmp;
  test::EnvGuard m_env;
  std::string m_path;
  int m_saved = -1;
};

}  // namespace

TEST_F(JournalTest, LogLinesCarryTheirPriorityAndTheFileStillGetsThem) {
  Stream(StreamOf(STDERR_FILENO));
  ASSERT_TRUE(StderrIsJournal());
  WriteLog("open connection %s", "https://127.0.0.1/x");
  WriteLogAt(LogPriority::Error, "write com failed: %d", 5);
  WriteLogAt(LogPriority::Warning, "retry %s", "later");
  WriteLogHex("write com: ", "\x55\xaa\x04\x00", 4);
  WriteLog("forged\n<3>line");
  EXPECT_EQ(Err(),
            "<6>open connection https://127.0.0.1/x\n"
            "<3>write com failed: 5\n"
            "<4>retry later\n"
            "<6>write com: 55 aa 04 00 \n"
            "<6>forged\\x0A<3>line\n");
  const std::string file = ReadFile(m_tmp.LogPath());
  EXPECT_NE(file.find(" open connection https://127.0.0.1/x\n"), std::string::npos);
  EXPECT_NE(file.find(" write com: 55 aa 04 00 \n"), std::string::npos);
  EXPECT_EQ(file.find("<6>"), std::string::npos) << "the file keeps its own form";
}

TEST_F(JournalTest, TheSwitchHoldsForTheJournalButNoticesAlwaysGoOut) {
  Stream(StreamOf(STDERR_FILENO));
  SetLogSwitch(0);
  WriteLog("hidden %d", 1);
  WriteLogHex("read com:", "\x01", 1);
  WriteNotice("The reader is not answering.\r\nCheck its cable.");
  EXPECT_EQ(Err(), "<4>The reader is not answering.\n<4>Check its cable.\n");
  struct stat st {};
  EXPECT_NE(::stat(m_tmp.LogPath().c_str(), &st), 0) << "the switch is off: no file";

  SetLogSwitch(1);
  WriteNotice("again\x1b[2J");
  EXPECT_EQ(Err(),
            "<4>The reader is not answering.\n<4>Check its cable.\n"
            "<4>again\\x1B[2J\n")
      << "once, escaped, not twice";
  EXPECT_NE(ReadFile(m_tmp.LogPath()).find(" again\\x1B[2J\n"), std::string::npos);
}

TEST_F(JournalTest, AStreamNamingAnotherFileOrNothingUsableLeavesStderrPlain) {
  const int other = ::open((m_tmp.Path() + "/other").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(other, 0);
  const std::string own = StreamOf(STDERR_FILENO);
  for (const std::string& value :
       {StreamOf(other), std::string(), std::string("x:y"), own + "0", own + ":1", ":" + own}) {
    Stream(value);
    EXPECT_FALSE(StderrIsJournal()) << value;
  }
  ::close(other);
  WriteLog("only in the file");
  WriteNotice("said plainly");
  EXPECT_EQ(Err(), "said plainly\n");
}

TEST(JournalLinesTest, EveryLineGetsThePrefix) {
  EXPECT_EQ(JournalLines(LogPriority::Info, ""), "<6>\n");
  EXPECT_EQ(JournalLines(LogPriority::Error, "a\n"), "<3>a\n");
  EXPECT_EQ(JournalLines(LogPriority::Warning, "a\n\nb"), "<4>a\n<4>\n<4>b\n");
}

}  // namespace brisk
