#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

namespace brisk {

using test::ReadFile;
using test::ScopedTmpdir;

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogSwitch(1); }
  void TearDown() override { SetLogSwitch(0); }
  std::string Log() const { return ReadFile(tmp.LogPath()); }
  // The message part of each line, without the time stamp.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    std::stringstream ss(Log());
    std::string line;
    static const std::regex stamp(R"(^ ?\d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}:\d{1,3} )");
    while (std::getline(ss, line)) out.push_back(std::regex_replace(line, stamp, ""));
    return out;
  }
  ScopedTmpdir tmp;
};

TEST_F(LogTest, SwitchOffTouchesNothing) {
  SetLogSwitch(0);
  WriteLog("hello %d", 1);
  WriteLogHex("x: ", "\x01\x02", 2);
  struct stat st {};
  EXPECT_NE(stat(tmp.LogPath().c_str(), &st), 0);
  EXPECT_NE(stat(tmp.LogFolder().c_str(), &st), 0) << "not even the folder is made while off";
}

TEST_F(LogTest, LineFormatHasUnpaddedTimeAndMessage) {
  WriteLog("value %d and %s", 42, "text");
  const std::string log = Log();
  EXPECT_TRUE(std::regex_match(
      log,
      std::regex(R"(\d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}:\d{1,3} value 42 and text\n)")))
      << log;
  // No zero padding: a field never starts with 0 unless it is 0 itself.
  EXPECT_FALSE(std::regex_search(log, std::regex(R"([-: ]0\d)"))) << log;
}

TEST_F(LogTest, AnAttachedSinkSeesEachLineAsTheFileHoldsIt) {
  {
    test::LogCapture capture;
    WriteLog("first %d", 1);
    WriteLogHex("hex: ", "\x01\xff", 2);
    EXPECT_EQ(capture.Text(), Log());
  }
  WriteLog("after the sink is gone");  // must not reach a destroyed sink
  EXPECT_NE(Log().find("after the sink is gone"), std::string::npos);
}

TEST_F(LogTest, FolderIsPrivate) {
  WriteLog("x");
  struct stat st {};
  ASSERT_EQ(stat(tmp.LogFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(LogTest, LongMessageIsCutAt1023) {
  const std::string longText(3000, 'a');
  WriteLog("%s", longText.c_str());
  const auto lines = Messages();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(1023, 'a'));
}

TEST_F(LogTest, PercentInArgumentIsKept) {
  WriteLog("%s", "100% done %d %s");
  EXPECT_EQ(Messages().at(0), "100% done %d %s");
}

TEST_F(LogTest, HexForms) {
  std::vector<uint8_t> bytes(25);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
  WriteLogHex("p: ", bytes.data(), 0);
  WriteLogHex("p: ", bytes.data(), 20);
  WriteLogHex("p: ", bytes.data(), 21);
  const uint8_t head[] = {0x55, 0xAA, 0x04, 0x00};
  WriteLogHex("write com: ", head, 4);
  const auto lines = Messages();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "p: ");
  EXPECT_EQ(lines[1], "p: a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3 ");
  EXPECT_EQ(lines[2], "p: a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3  +1");
  EXPECT_EQ(lines[3], "write com: 55 aa 04 00 ");
}

TEST_F(LogTest, ExactLimitIsNotRotatedLargerIs) {
  WriteLog("first");
  const std::string path = tmp.LogPath();
  const std::string backup = tmp.LogFolder() + "/brisk7-1.log";
  ASSERT_EQ(truncate(path.c_str(), kLogRotateSize), 0);
  WriteLog("appended");
  struct stat st {};
  EXPECT_NE(stat(backup.c_str(), &st), 0) << "a file of exactly the limit is not rotated";
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_GT(st.st_size, kLogRotateSize);

  // An old backup is replaced by the full log; the new line starts a fresh file.
  {
    FILE* f = std::fopen(backup.c_str(), "w");
    std::fputs("old backup", f);
    std::fclose(f);
  }
  const off_t fullSize = st.st_size;
  WriteLog("fresh");
  EXPECT_EQ(Messages(), std::vector<std::string>{"fresh"});
  ASSERT_EQ(stat(backup.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, fullSize);
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        WriteLog("thread %d line %d %s", t, i, "payload-payload-payload");
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = Messages();
  ASSERT_EQ(lines.size(), 800u);
  const std::regex whole(R"(thread \d line \d+ payload-payload-payload)");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, whole)) << line;
}

TEST_F(LogTest, FolderPlantedByAnotherUserIsRefused) {
  // Root can plant a folder owned by someone else, as another user could in a shared /tmp.
  if (getuid() != 0) GTEST_SKIP() << "needs root to plant a folder for another user";
  ASSERT_EQ(mkdir(tmp.LogFolder().c_str(), 0777), 0);
  ASSERT_EQ(chown(tmp.LogFolder().c_str(), 65534, 65534), 0);
  EXPECT_EQ(platform::TempFolder(), "");
  WriteLog("must not land");
  struct stat st {};
  EXPECT_NE(stat(tmp.LogPath().c_str(), &st), 0);
}

TEST_F(LogTest, SymbolicLinkAsFolderIsRefused) {
  const std::string elsewhere = tmp.Path() + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), tmp.LogFolder().c_str()), 0);
  EXPECT_EQ(platform::TempFolder(), "");
  WriteLog("must not land");
  struct stat st {};
  EXPECT_NE(stat((elsewhere + "/brisk7.log").c_str(), &st), 0);
}

TEST_F(LogTest, LooseModeOnOwnFolderIsTightened) {
  ASSERT_EQ(mkdir(tmp.LogFolder().c_str(), 0777), 0);
  chmod(tmp.LogFolder().c_str(), 0777);
  WriteLog("x");
  struct stat st {};
  ASSERT_EQ(stat(tmp.LogFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(Messages().size(), 1u);
}

}  // namespace

}  // namespace brisk
