// The settings file and the start-at-logon entry, on real files in a temporary home.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/Settings.h"
#include "log/Log.h"
#include "platform/Autostart.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

namespace brisk::app {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

int CountEntries(const std::string& dir) {
  const std::string cmd = "ls -A '" + dir + "' | wc -l";
  FILE* p = popen(cmd.c_str(), "r");
  int n = -1;
  if (p) {
    if (fscanf(p, "%d", &n) != 1) n = -1;
    pclose(p);
  }
  return n;
}

// Runs body in a child process (so limits and identities stay there); its exit status.
template <typename F>
int InChild(F body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_home = m_dir.Path();
    m_env.Set("HOME", m_home);
    m_env.Set("XDG_CONFIG_HOME", m_home + "/config");
    // The seat's folders, none of the machine's own: the first has the last word.
    m_env.Set("XDG_CONFIG_DIRS", m_home + "/seat1:relative:" + m_home + "/seat2");
    m_path = SettingPath();
    m_folder = platform::ConfigFolder();
  }
  void WriteFile(const std::string& text) {
    ASSERT_TRUE(platform::MakeFolders(m_folder, 0700));
    WriteAll(m_path, text);
  }
  test::TempDir m_dir;  // removed after the tests that take its write bits away, too
  test::EnvGuard m_env;
  std::string m_home, m_path, m_folder;
};

}  // namespace

TEST_F(SettingsTest, NoFileGivesTheDefaultsAndCreatesNothing) {
  EXPECT_EQ(m_path, m_home + "/config/BriskNetService/setting.ini");
  BriskSettings s;
  s.m_portNumber = 9;
  s.m_autoStartService = 0;
  s.m_usbHeartbeat = 1;
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_portNumber, 0);
  EXPECT_EQ(s.m_savedNetMode, 0);
  EXPECT_EQ(s.m_netModeChoice, 0);
  EXPECT_EQ(s.m_autoStartService, 1);
  EXPECT_EQ(s.m_logSwitch, 0);
  EXPECT_EQ(LogSwitch(), 0);
  EXPECT_EQ(s.m_usbHeartbeat, 600);
  EXPECT_EQ(s.m_cat1Heartbeat, 600);
  EXPECT_FALSE(Exists(m_folder));
  EXPECT_FALSE(Exists(m_home + "/config"));
}

TEST_F(SettingsTest, PortWrittenAsPORTIsReadBackAsPortInANewFolder) {
  ASSERT_TRUE(SavePortNumber(m_path, 5));
  EXPECT_EQ(ReadAll(m_path), "[COM]\nPORT=5\n");
  BriskSettings s;
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_portNumber, 5);

  ASSERT_TRUE(SavePortNumber(m_path, 12));
  EXPECT_EQ(ReadAll(m_path), "[COM]\nPORT=12\n");
}

TEST_F(SettingsTest, EveryWriterStoresItsKeysAndLoadingReadsThemAll) {
  ASSERT_TRUE(SaveNetMode(m_path, 2));
  ASSERT_TRUE(SaveAutoStartService(m_path, false));
  ASSERT_TRUE(SaveLogSwitch(m_path, true));
  ASSERT_TRUE(SaveHeartbeats(m_path, 120, 300));
  EXPECT_EQ(ReadAll(m_path),
            "[CONNECT]\nTYPE=2\n\n[SETTING]\nAutoStart=0\n\n[Set]\nLog=1\n\n"
            "[HeartBeat]\nUsb=120\nCat1=300\n");
  BriskSettings s;
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_savedNetMode, 2);
  EXPECT_EQ(s.m_netModeChoice, 2);
  EXPECT_EQ(s.m_autoStartService, 0);
  EXPECT_EQ(s.m_logSwitch, 1);
  EXPECT_EQ(LogSwitch(), 1);
  EXPECT_EQ(s.m_usbHeartbeat, 120);
  EXPECT_EQ(s.m_cat1Heartbeat, 300);
  SetLogSwitch(0);
}

TEST_F(SettingsTest, HandWrittenValuesAreLoadedUnchangedByTheIntegerRule) {
  WriteFile(
      "; written by hand\r\n"
      "[ heartbeat ]\r\n"
      "usb = 5\r\n"
      "CAT1=99999\r\n"
      "[connect]\r\n"
      "type=7\r\n"
      "[setting]\r\n"
      "autostart=yes\r\n"
      "[COM]\r\n"
      "port=12abc\r\n"
      "port=3\r\n"
      "[COM]\r\n"
      "PORT=4\r\n");
  BriskSettings s;
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_usbHeartbeat, 5);
  EXPECT_EQ(s.m_cat1Heartbeat, 99999);
  EXPECT_EQ(s.m_savedNetMode, 7);
  EXPECT_EQ(s.m_netModeChoice, 7);
  EXPECT_EQ(s.m_autoStartService, 0);  // not a number: 0, not the default
  EXPECT_EQ(s.m_portNumber, 12);       // leading digits, first key of the first section

  EXPECT_EQ(platform::IniValueToInt(std::string("-42"), 1), -42);
  EXPECT_EQ(platform::IniValueToInt(std::string(""), 1), 0);
  EXPECT_EQ(platform::IniValueToInt(std::string("\"30\""), 1),
            0);  // Get strips quotes, this does not
  EXPECT_EQ(platform::IniValueToInt(std::string("99999999999999999999"), 1), 2147483647);
  EXPECT_EQ(platform::IniValueToInt(std::string("-99999999999999999999"), 1), -2147483647 - 1);
  EXPECT_EQ(platform::IniValueToInt(std::nullopt, 600), 600);
}

TEST_F(SettingsTest, WritesKeepEveryOtherLineAndTheFilesLineEndings) {
  const std::string before =
      "; comment\r\n"
      "stray line without equals\r\n"
      "[Other]\r\n"
      "name = value ; kept\r\n"
      "\r\n"
      "[HeartBeat]\r\n"
      "Usb=600\r\n"
      "; after usb\r\n"
      "\r\n"
      "[last]\r\n"
      "x=1";  // no line end at the end
  WriteFile(before);
  ASSERT_TRUE(SaveHeartbeats(m_path, 60, 61));
  ASSERT_TRUE(SavePortNumber(m_path, 2));
  EXPECT_EQ(ReadAll(m_path),
            "; comment\r\n"
            "stray line without equals\r\n"
            "[Other]\r\n"
            "name = value ; kept\r\n"
            "\r\n"
            "[HeartBeat]\r\n"
            "Usb=60\r\n"
            "; after usb\r\n"
            "Cat1=61\r\n"
            "\r\n"
            "[last]\r\n"
            "x=1\r\n"
            "\r\n"
            "[COM]\r\n"
            "PORT=2\r\n");
}

TEST_F(SettingsTest, ABinaryFileIsReadAsFarAsItGoesAndKeptByteForByte) {
  std::string garbage("\x00\xff\xfe[COM\x00]\nPORT=\x80\x81\n", 18);
  garbage += std::string("\xEF\xBB\xBF", 3);  // a stray mark mid-file is just bytes
  garbage += "\n[HeartBeat]\nUsb=77\xC3\n";
  for (int i = 0; i < 256; ++i) garbage += static_cast<char>(i);
  WriteFile(garbage);
  EXPECT_EQ(platform::IniDocument::Parse(garbage).Problems().at(0), "line 1 holds a NUL byte");
  BriskSettings s;
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_portNumber, 0);
  EXPECT_EQ(s.m_usbHeartbeat, 77);
  EXPECT_EQ(s.m_cat1Heartbeat, 600);

  ASSERT_TRUE(SaveAutoStartService(m_path, true));
  const std::string after = ReadAll(m_path);
  ASSERT_GE(after.size(), garbage.size());
  EXPECT_EQ(after.substr(0, garbage.size()), garbage);
  // The last line gets its line end, then a blank line parts the new section.
  EXPECT_EQ(after.substr(garbage.size()), "\n\n[SETTING]\nAutoStart=1\n");
}

TEST_F(SettingsTest, ALeadingByteOrderMarkDoesNotHideTheFirstSection) {
  WriteFile("\xEF\xBB\xBF[COM]\nport=8\n");
  BriskSettings s;
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_portNumber, 8);
  ASSERT_TRUE(SavePortNumber(m_path, 9));
  EXPECT_EQ(ReadAll(m_path), "\xEF\xBB\xBF[COM]\nport=9\n");
}

TEST_F(SettingsTest, ValuesThatWouldBreakTheLineAreRefused) {
  WriteFile("[COM]\nport=1\n");
  std::string error;
  EXPECT_FALSE(
      platform::WriteIniString(m_path, "COM", "PORT", "2\n[SETTING]\nAutoStart=0", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(platform::WriteIniString(m_path, "C]OM", "PORT", "2", &error));
  EXPECT_FALSE(platform::WriteIniString(m_path, "COM", "PO=RT", "2", &error));
  EXPECT_EQ(ReadAll(m_path), "[COM]\nport=1\n");
}

TEST_F(SettingsTest, AFailedWriteInAReadOnlyFolderLeavesTheOldFileWhole) {
  WriteFile("[COM]\nPORT=3\n");
  chmod(m_path.c_str(), 0644);
  // The folder must be reachable by the unprivileged writer below.
  for (const std::string& d : {m_home, m_home + "/config"}) chmod(d.c_str(), 0755);
  ASSERT_EQ(chmod(m_folder.c_str(), 0555), 0);
  const int rc = InChild([this] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 3;
    return SavePortNumber(m_path, 7) ? 1 : 0;
  });
  if (rc == 3) GTEST_SKIP() << "cannot drop root privileges here, so no folder is read-only";
  EXPECT_EQ(rc, 0) << "the write must fail";
  EXPECT_EQ(ReadAll(m_path), "[COM]\nPORT=3\n");
  EXPECT_EQ(CountEntries(m_folder), 1);
}

TEST_F(SettingsTest, ADiskFullDuringTheWriteLeavesTheOldFileWholeAndNoTemporaryFile) {
  std::string old = "[Other]\n";
  for (int i = 0; i < 200; ++i) old += "key" + std::to_string(i) + "=some value that takes room\n";
  old += "[COM]\nPORT=3\n";
  WriteFile(old);
  const int rc = InChild([this, &old] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = old.size() / 2;  // the new file cannot be written whole
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    return SavePortNumber(m_path, 7) ? 1 : 0;
  });
  if (rc == 3) GTEST_SKIP() << "cannot limit the file size here";
  EXPECT_EQ(rc, 0) << "the write must fail";
  EXPECT_EQ(ReadAll(m_path), old);
  EXPECT_EQ(CountEntries(m_folder), 1);
}

TEST_F(SettingsTest, AnOversizedFileIsNeitherParsedNorReplacedAndSaidOnceOnStandardError) {
  std::string big = "[COM]\nPORT=4\n";
  big += std::string(platform::kMaxIniFileSize, ';');
  WriteFile(big);
  BriskSettings s;
  testing::internal::CaptureStderr();
  LoadSettings(m_path, s);
  LoadSettings(m_path, s);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said,
            "BriskNetService: settings file not read, every setting is at its default and the "
            "file is left as it is: " +
                m_path + " is larger than 1048576 bytes\n");
  EXPECT_EQ(s.m_portNumber, 0);
  EXPECT_FALSE(SavePortNumber(m_path, 5));
  EXPECT_EQ(ReadAll(m_path).size(), big.size());
}

TEST_F(SettingsTest, AWriteThroughASymbolicLinkKeepsTheLinkAndTheMode) {
  ASSERT_TRUE(platform::MakeFolders(m_folder, 0700));
  const std::string real = m_home + "/dotfiles-setting.ini";
  WriteAll(real, "[COM]\nPORT=1\n");
  chmod(real.c_str(), 0640);
  ASSERT_EQ(symlink(real.c_str(), m_path.c_str()), 0);
  ASSERT_TRUE(SavePortNumber(m_path, 6));
  struct stat st {};
  ASSERT_EQ(lstat(m_path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadAll(real), "[COM]\nPORT=6\n");
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(SettingsTest, TogglesFollowTheFileNotARememberedState) {
  BriskSettings s;
  LoadSettings(m_path, s);
  EXPECT_EQ(ToggleAutoStartService(m_path, s), 0);  // default 1 turned over
  EXPECT_EQ(s.m_autoStartService, 0);
  EXPECT_EQ(ReadAll(m_path), "[SETTING]\nAutoStart=0\n");
  // Someone edits the file; the field still says 0.
  WriteAll(m_path, "[SETTING]\nAutoStart=5\n");
  EXPECT_EQ(ToggleAutoStartService(m_path, s), 0);
  EXPECT_EQ(ReadAll(m_path), "[SETTING]\nAutoStart=0\n");
  EXPECT_EQ(ToggleAutoStartService(m_path, s), 1);
  EXPECT_EQ(ReadAll(m_path), "[SETTING]\nAutoStart=1\n");

  SetLogSwitch(0);
  EXPECT_EQ(ToggleLogSwitch(m_path, s), 1);
  EXPECT_EQ(LogSwitch(), 1);
  EXPECT_EQ(ToggleLogSwitch(m_path, s), 0);
  EXPECT_EQ(ReadAll(m_path), "[SETTING]\nAutoStart=1\n\n[Set]\nLog=0\n");
}

TEST_F(SettingsTest, AutoRunFollowsTheEntrysPresence) {
  const std::string entry = platform::AutostartEntryPath();
  EXPECT_EQ(entry, m_home + "/config/autostart/BriskNetService.desktop");
  AutoRunResult r = ReadAutoRun(entry);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.checked, false);

  r = ToggleAutoRun(entry, "/opt/brisk/bin/BriskNetService");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.checked, true);
  const std::string text = ReadAll(entry);
  EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
  EXPECT_NE(text.find("\nName=BriskNetService\n"), std::string::npos);
  EXPECT_NE(text.find("\nExec=\"/opt/brisk/bin/BriskNetService\" --autostart\n"),
            std::string::npos);
  EXPECT_EQ(ReadAutoRun(entry).checked, true);

  // An entry someone else wrote still counts, and a click removes it.
  WriteAll(entry, "not a desktop entry at all");
  r = ToggleAutoRun(entry, "/opt/brisk/bin/BriskNetService");
  EXPECT_EQ(r.checked, false);
  EXPECT_FALSE(Exists(entry));
  EXPECT_EQ(ReadAutoRun(entry).checked, false);
}

TEST_F(SettingsTest, AutoRunWithoutAHomeOrWithAFailedChangeReportsIt) {
  EXPECT_EQ(ReadAutoRun("").result, 0);
  EXPECT_EQ(ReadAutoRun("").checked, false);
  EXPECT_EQ(ToggleAutoRun("", "/usr/bin/x").result, 0);

  const std::string entry = platform::AutostartEntryPath();
  // A program path an Exec line cannot hold: nothing written, the box left as it is.
  AutoRunResult r = ToggleAutoRun(entry, "/opt/new\nline/BriskNetService");
  EXPECT_EQ(r.result, 1);
  EXPECT_FALSE(r.checked.has_value());
  EXPECT_FALSE(Exists(entry));
  // Present but not removable (a non-empty folder in its place): the box left as it is.
  ASSERT_TRUE(platform::MakeFolders(entry + "/inside", 0700));
  EXPECT_EQ(ReadAutoRun(entry).checked, true);
  r = ToggleAutoRun(entry, "/usr/bin/x");
  EXPECT_EQ(r.result, 1);
  EXPECT_FALSE(r.checked.has_value());
}

TEST_F(SettingsTest, SeatDefaultsFillWhatThePersonsFileLacksAndAreNeverWritten) {
  EXPECT_EQ(platform::SeatSettingPaths(),
            (std::vector<std::string>{m_home + "/seat1/BriskNetService/setting.ini",
                                      m_home + "/seat2/BriskNetService/setting.ini"}));
  const std::string seat1 = m_home + "/seat1/BriskNetService/setting.ini";
  const std::string seat2 = m_home + "/seat2/BriskNetService/setting.ini";
  ASSERT_TRUE(platform::MakeFolders(m_home + "/seat1/BriskNetService", 0700));
  ASSERT_TRUE(platform::MakeFolders(m_home + "/seat2/BriskNetService", 0700));
  const std::string seatText =
      "[SETTING]\nAutoStart=0\n[Set]\nVerifyCertificates=1\n[HeartBeat]\nUsb=120\n";
  WriteAll(seat1, seatText);
  WriteAll(seat2, "[HeartBeat]\nUsb=300\nCat1=240\n[COM]\nPORT=4\n[CONNECT]\nTYPE=2\n");

  // No file of the person's own: every key the seats give, the rest at the built-in defaults.
  BriskSettings s;
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_autoStartService, 0);
  EXPECT_EQ(s.m_verifyCertificates, 1);
  EXPECT_EQ(s.m_usbHeartbeat, 120);  // the first folder's
  EXPECT_EQ(s.m_cat1Heartbeat, 240);
  EXPECT_EQ(s.m_portNumber, 4);
  EXPECT_EQ(s.m_netModeChoice, 2);
  EXPECT_EQ(s.m_logSwitch, 0);

  // The person's file wins key by key.
  WriteFile("[SETTING]\nAutoStart=1\n[Set]\nVerifyCertificates=0\n[HeartBeat]\nCat1=90\n");
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_autoStartService, 1);
  EXPECT_EQ(s.m_verifyCertificates, 0);
  EXPECT_EQ(s.m_usbHeartbeat, 120);
  EXPECT_EQ(s.m_cat1Heartbeat, 90);

  // The check box starts from the seat's value and writes the person's file only.
  WriteFile("");
  EXPECT_EQ(ToggleAutoStartService(m_path, s), 1);
  EXPECT_EQ(ReadAll(m_path), "[SETTING]\nAutoStart=1\n");
  EXPECT_EQ(ToggleAutoStartService(m_path, s), 0);
  EXPECT_EQ(ReadAll(seat1), seatText);

  // Seat files that are gone, or cannot be read, leave the built-in defaults.
  std::remove(seat1.c_str());
  std::remove(seat2.c_str());
  std::remove(m_path.c_str());
  LoadSettings(m_path, s);
  EXPECT_EQ(s.m_autoStartService, 1);
  EXPECT_EQ(s.m_verifyCertificates, 0);
  EXPECT_EQ(s.m_usbHeartbeat, 600);
}

TEST(AutostartEntry, ExecQuotesAndEscapesTheProgramPath) {
  const std::string text = platform::AutostartEntryText("/home/a b/100%/say \"hi\"/$x`y`\\z");
  EXPECT_NE(
      text.find(
          "\nExec=\"/home/a b/100%%/say \\\\\"hi\\\\\"/\\\\$x\\\\`y\\\\`\\\\\\\\z\" --autostart\n"),
      std::string::npos)
      << text;
  EXPECT_TRUE(platform::AutostartEntryText("relative/path").empty());
  EXPECT_TRUE(platform::AutostartEntryText("").empty());
  EXPECT_EQ(platform::ProgramPath().front(), '/');
}

}  // namespace brisk::app
