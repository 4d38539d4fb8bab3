// The link controller without any window: each request applies only to the state it was asked
// in, stops go ahead, and nothing starts after the exit. The reader is the simulator on an
// emulated USB serial port.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QCoreApplication>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/core/LinkController.h"
#include "app/core/LogindSleep.h"
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "link/Brisk7Service.h"
#include "sim/reader/ReaderSim.h"
#include "tests/app/AppTestSupport.h"
#include "tests/platform/devices/ReaderTestbed.h"
#include "tests/support/TestSupport.h"

namespace brisk::test {
namespace {

using app::LinkController;
using sim::Answer;

// Command codes the tests script.
constexpr uint8_t kCat1 = 1, kSetMode = 2, kStatus = 3, kNotice = 5, kAuth = 7, kTest = 12,
                  kDfu = 15;

class LinkControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings("[Set]\nLog=1\n"); }
  void TearDown() override {
    m_c.reset();
    m_reader.reset();
  }
  void Settings(const std::string& text) {
    std::filesystem::create_directories(Folder());
    std::ofstream(Folder() + "/setting.ini") << text;
  }
  std::string Folder() const { return m_config.Path() + "/BriskNetService"; }
  void PlugReader(const std::function<void(sim::ReaderSim::State&)>& edit = {}) {
    m_tb.AddUsbSerial("1-1", "0425", "8159", 0);
    m_reader = sim::ReaderSim::Attach(m_tb.MasterFd(0));
    if (edit) m_reader->EditReaderState(edit);
  }
  void Open(bool watchSleep = false) {
    LinkController::Options options;
    options.trayWaitMs = 0;
    options.watchDevices = false;
    options.watchSleep = watchSleep;
    m_c = std::make_unique<LinkController>(m_prompt, options);
    m_c->OnInitDialog();
    Settle();
  }
  void Settle() {
    ASSERT_TRUE(WaitFor([&] { return !m_c->CommandBusy(); }));
  }
  // The reader answers code after delayMs (result byte 0 unless given), or never.
  void Slow(uint8_t code, int delayMs, std::vector<uint8_t> payload = {0}) {
    Answer a;
    a.payload = std::move(payload);
    a.delayMs = delayMs;
    m_reader->SetAnswer(code, a);
  }
  void Silent(uint8_t code) {
    Answer a;
    a.kind = Answer::Kind::Silent;
    m_reader->SetAnswer(code, a);
  }
  // A ServiceControl request; its answer once given.
  std::optional<int>* Ask(int operation, int argument = 0) {
    auto* result = &m_answers.emplace_back();
    m_c->OnServiceControl(operation, argument, [result](int r) { *result = r; });
    return result;
  }
  int Serve(int operation, int argument = 0) {
    std::optional<int>* result = Ask(operation, argument);
    EXPECT_TRUE(WaitFor([&] { return result->has_value(); }));
    return result->value_or(-99);
  }
  bool LogHas(const std::string& text) {
    return ReadFile(m_tmp.LogPath()).find(text) != std::string::npos;
  }
  std::string Stored() { return ReadFile(Folder() + "/setting.ini"); }

  TempDir m_config;
  ScopedTmpdir m_tmp;
  bool m_configSet = setenv("XDG_CONFIG_HOME", m_config.Path().c_str(), 1) == 0;
  ReaderTestbed m_tb;
  RecordingPrompt m_prompt;
  std::deque<std::optional<int>> m_answers;
  std::unique_ptr<sim::ReaderSim> m_reader;
  std::unique_ptr<LinkController> m_c;
};

// The stored mode and the tray are the reader's acknowledged mode, whatever was chosen or sent
// while the answer was awaited.
TEST_F(LinkControllerTest, ANetworkModeAnswerAppliesToTheModeThatWasSent) {
  Settings("[Set]\nLog=1\n[CONNECT]\nTYPE=1\n");
  PlugReader();
  Open();
  ASSERT_TRUE(m_c->LinkUp());

  // The radios change during the wait (a heartbeat arrow reads them back).
  Slow(kSetMode, 400);
  m_c->OnSwitchNetMode(2);
  m_c->SetNetModeChoice(0);
  Settle();
  EXPECT_EQ(m_c->Settings().m_savedNetMode, 2);
  EXPECT_NE(Stored().find("TYPE=2"), std::string::npos);
  EXPECT_EQ(m_c->State().trayMode, 2);
  EXPECT_EQ(m_prompt.messages.back(), QStringLiteral("切换到使用Cat1"));

  // A refusal does not roll back a choice made meanwhile.
  Slow(kSetMode, 400, {1});
  m_c->OnSwitchNetMode(1);
  m_c->SetNetModeChoice(0);
  Settle();
  EXPECT_EQ(m_c->NetModeChoice(), 0);
  EXPECT_EQ(m_c->Settings().m_savedNetMode, 2);

  // A D-Bus mode sent during the wait has the last word; nothing of the earlier one is stored.
  Slow(kSetMode, 400);
  m_c->OnSwitchNetMode(1);
  EXPECT_EQ(Serve(2, 2), 1);
  Settle();
  EXPECT_EQ(m_c->Settings().m_savedNetMode, 2);
  EXPECT_NE(Stored().find("TYPE=2"), std::string::npos);
  EXPECT_EQ(m_c->State().trayMode, 2);
  EXPECT_TRUE(LogHas("network mode switch: a later mode has the last word"));

  // A switch overtaken by a stop restarts no server check.
  const size_t messages = m_prompt.messages.size();
  m_c->OnSwitchNetMode(1);
  m_c->OnSwitchOff();
  Settle();
  EXPECT_FALSE(m_c->TimerActive(app::TIMER_NET_CHECK));
  EXPECT_EQ(m_prompt.messages.size(), messages);
  EXPECT_EQ(m_c->Settings().m_savedNetMode, 2);
}

// A stop, sleep or exit goes ahead of the commands waiting and cuts short the one in flight;
// what they would have answered is dropped, a D-Bus caller is answered at once.
TEST_F(LinkControllerTest, AStopGoesAheadOfQueuedCommandsAndDropsTheirResults) {
  PlugReader();
  Open();
  const size_t modes = m_reader->ReceivedCount(kSetMode);

  // [stop, start] waiting (a watchdog restart), then a sleep: the start never runs. The
  // stop's notice is answered late, so that the start still waits when the sleep comes.
  const size_t cat1Queries = m_reader->ReceivedCount(kCat1);
  Slow(kNotice, 1000);
  m_c->StopService(1);
  m_c->StartService();
  m_c->OnSuspend();
  Settle();
  m_reader->ClearAnswer(kNotice);
  EXPECT_EQ(m_reader->ReceivedCount(kCat1), cat1Queries);
  EXPECT_EQ(m_reader->ReceivedCount(kNotice), 1u);
  EXPECT_FALSE(m_c->LinkUp());
  EXPECT_TRUE(m_c->ServiceEnabled());
  m_c->OnResume();

  // A start in flight whose Cat1 answer never comes is cut short by a stop: no mode is sent.
  Silent(kCat1);
  m_c->OnSwitchOn();
  ASSERT_TRUE(WaitFor([&] { return m_reader->ReceivedCount(kCat1) > cat1Queries; }));
  m_c->OnSwitchOff();
  Settle();
  EXPECT_EQ(m_reader->ReceivedCount(kSetMode), modes);
  EXPECT_EQ(m_reader->ReceivedCount(kNotice), 2u);
  EXPECT_FALSE(m_c->LinkUp());
  m_reader->ClearAnswer(kCat1);

  // Queued D-Bus requests are answered with their failure values, a query's late answer shows
  // nothing.
  m_c->OnSwitchOn();
  Settle();
  ASSERT_TRUE(m_c->LinkUp());
  Silent(kAuth);
  m_c->OnQueryAuth();
  std::optional<int>* mode = Ask(2, 1);
  std::optional<int>* status = Ask(3);
  std::optional<int>* start = Ask(0);
  ASSERT_TRUE(m_reader->WaitFrame(kAuth, 5000));
  m_c->OnSwitchOff();
  EXPECT_EQ(*mode, 0);
  EXPECT_EQ(*status, -1);
  EXPECT_EQ(*start, 0);
  Settle();
  EXPECT_TRUE(m_prompt.messages.empty());
  EXPECT_TRUE(LogHas("authorization query: result of an earlier request dropped"));
  EXPECT_TRUE(LogHas("control request 2 dropped: a stop went ahead"));
}

// The sleep lock is held while the switch is on, however quickly off and on follow each other.
TEST_F(LinkControllerTest, OffThenOnBeforeTheStopIsThroughKeepsTheSleepLock) {
  PlugReader();
  Open(/*watchSleep=*/true);
  app::LogindSleepWatcher* sleep = m_c->SleepWatcher();
  ASSERT_NE(sleep, nullptr);
  EXPECT_TRUE(sleep->LockWanted());
  Slow(kNotice, 300);
  m_c->OnSwitchOff();
  m_c->OnSwitchOn();
  Settle();
  EXPECT_TRUE(sleep->LockWanted());
  EXPECT_TRUE(m_c->LinkUp());

  EXPECT_EQ(Serve(1), 1);
  EXPECT_FALSE(sleep->LockWanted());
  std::optional<int>* stop = Ask(1);
  m_c->SetServiceEnabled(true);
  Settle();
  EXPECT_EQ(*stop, 1);
  EXPECT_TRUE(m_c->ServiceEnabled());
  EXPECT_TRUE(sleep->LockWanted());
}

// After the exit nothing new starts and nothing more reaches the reader; the notice goes out
// once, however the exit was asked for, and even when it never was.
TEST_F(LinkControllerTest, AfterTheExitNothingStartsAndTheNoticeGoesOutOnce) {
  PlugReader([](sim::ReaderSim::State& s) { s.connectType = 2; });
  Open();
  bool quit = false;
  QObject::connect(m_c.get(), &LinkController::quitRequested, [&quit] { quit = true; });
  // A start waiting behind the exit never runs; the query in flight is cut short.
  Slow(kStatus, 1000);
  m_c->OnQueryConnectStatus();
  m_c->StartService();
  ASSERT_TRUE(m_reader->WaitFrame(kStatus, 5000));
  m_c->OnExitCommand();
  m_c->OnExitCommand();
  m_c->OnTerminate();
  m_c->OnTerminate();
  ASSERT_TRUE(WaitFor([&] { return quit; }));
  EXPECT_TRUE(m_prompt.questions.empty());  // the stop went ahead of the exit's status query
  EXPECT_TRUE(m_prompt.messages.empty());
  EXPECT_EQ(m_reader->ReceivedCount(kStatus), 1u);
  EXPECT_FALSE(m_c->TimerActive(app::TIMER_PORT_WATCH));
  const size_t frames = m_reader->Received().size();
  EXPECT_EQ(m_reader->ReceivedCount(kNotice), 1u);

  EXPECT_EQ(Serve(0), 0);
  EXPECT_EQ(Serve(3), -1);
  m_c->OnDeviceChange("DBT_DEVICEARRIVAL");
  m_c->OnResume();
  m_c->OnSwitchOn();
  m_c->SetServiceEnabled(true);
  m_c->CheckPendingDfuDevice();
  Settle();
  for (int id = app::TIMER_STATUS; id <= app::TIMER_DFU_CHECK; ++id)
    EXPECT_FALSE(m_c->TimerActive(id)) << id;
  EXPECT_EQ(m_reader->Received().size(), frames);
  EXPECT_FALSE(m_c->LinkUp());
}

TEST_F(LinkControllerTest, ExitAsksOnceAndAQuitFromOutsideStillSendsTheNotice) {
  PlugReader([](sim::ReaderSim::State& s) { s.connectType = 2; });
  Open();
  m_prompt.answerYes = false;
  m_prompt.whileShown = [&](const QString&) { m_c->OnExitCommand(); };
  m_c->OnExitCommand();
  m_c->OnExitCommand();
  Settle();
  EXPECT_EQ(m_prompt.questions.size(), 1u);
  EXPECT_EQ(m_reader->ReceivedCount(kNotice), 1u);

  // A controller that ends without its exit path (the event loop quit under it).
  m_c.reset();
  Open();
  ASSERT_TRUE(m_c->LinkUp());
  m_c.reset();
  EXPECT_EQ(m_reader->ReceivedCount(kNotice), 2u);
}

// A D-Bus start leaves a link that says it is up; the switch itself is SetServiceEnabled's.
TEST_F(LinkControllerTest, ADBusStartIsALinkUpAndTheSwitchIsItsOwnRequest) {
  PlugReader();
  Open();
  EXPECT_EQ(Serve(1), 1);
  EXPECT_EQ(m_c->State().portLine, QStringLiteral("当前服务未启动"));
  EXPECT_EQ(Serve(0), 1);
  EXPECT_TRUE(m_c->LinkUp());
  EXPECT_FALSE(m_c->ServiceEnabled());
  EXPECT_EQ(m_c->State().portLine, QStringLiteral("当前使用的端口：COM1"));
  EXPECT_TRUE(m_c->TimerActive(app::TIMER_STATUS));
  EXPECT_FALSE(m_c->TimerActive(app::TIMER_PORT_WATCH));

  bool done = false;
  m_c->SetServiceEnabled(false, [&done] { done = true; });
  ASSERT_TRUE(WaitFor([&] { return done; }));
  EXPECT_FALSE(m_c->LinkUp());
  EXPECT_EQ(m_reader->ReceivedCount(kNotice), 2u);
  done = false;
  m_c->SetServiceEnabled(true, [&done] { done = true; });
  ASSERT_TRUE(WaitFor([&] { return done; }));
  EXPECT_TRUE(m_c->ServiceEnabled());
  EXPECT_TRUE(m_c->LinkUp());
  EXPECT_EQ(m_c->TimerInterval(app::TIMER_PORT_WATCH), 10000);
}

// A package ready while a stop cuts the reader's answer short: no failure is shown, the device
// check looks for the reader in DFU mode instead.
TEST_F(LinkControllerTest, AStopDuringTheEnterDfuRequestLooksForTheDeviceInstead) {
  PlugReader();
  Open();
  const std::string package = m_config.Path() + "/reader.dfu";
  MXUPDFILES_IMAGE image = nullptr;
  ASSERT_EQ(MXUPDFILES_CreateImage(&image, 0, "Internal Flash"), MXUPDFILES_OK);
  std::vector<uint8_t> bytes(64, 0x5A);
  ImageElement element{0x08000000, static_cast<uint32_t>(bytes.size()), bytes.data()};
  ASSERT_EQ(MXUPDFILES_AppendImageElement(image, &element), MXUPDFILES_OK);
  ASSERT_EQ(MXUPDFILES_WriteDFUFile(package.c_str(), 0x0483, 0xA19B, 0x0100, &image, 1),
            MXUPDFILES_OK);
  MXUPDFILES_DestroyImage(&image);
  int dialogs = 0;
  m_c->SetUpgradeRunner([&dialogs](app::UpgradeRun&) { ++dialogs; });
  Silent(kDfu);
  m_c->OnUpgradeFileDownloadFinished(package);
  ASSERT_TRUE(m_reader->WaitFrame(kDfu, 5000));
  m_c->OnSwitchOff();
  Settle();
  EXPECT_TRUE(m_prompt.messages.empty());
  EXPECT_TRUE(m_c->TimerActive(app::TIMER_DFU_CHECK));
  EXPECT_EQ(dialogs, 0);
}

TEST_F(LinkControllerTest, ARefusedSettingWriteShowsTheFilesValueAndSaysWhyOnce) {
  PlugReader();
  std::filesystem::remove_all(Folder());
  std::ofstream(Folder()) << "not a folder";  // nothing can be written below it
  Open();
  std::vector<bool> shown;
  QObject::connect(m_c.get(), &LinkController::startupChecksShown,
                   [&shown](bool, bool autoStart, bool) { shown.push_back(autoStart); });
  m_c->OnToggleAutoStartService();
  EXPECT_EQ(shown, std::vector<bool>{true});
  EXPECT_EQ(m_c->Settings().m_autoStartService, 1);
  // Once, with the system's reason.
  ASSERT_EQ(m_prompt.messages.size(), 1u);
  EXPECT_TRUE(m_prompt.messages[0].startsWith(QStringLiteral("设置未能保存：")));
  EXPECT_GT(m_prompt.messages[0].size(), 8);
}

// The file's heartbeats are taken as read; the reader is handed only what it can keep.
TEST_F(LinkControllerTest, HeartbeatsOutsideTheirRangeReachTheReaderAs600) {
  Settings("[Set]\nLog=1\n[HeartBeat]\nUsb=-5\nCat1=99999999\n");
  Open();
  EXPECT_EQ(m_c->Settings().m_usbHeartbeat, -5);
  EXPECT_EQ(m_c->Service().Link().UsbHeartbeatInterval(), 600u);
  EXPECT_EQ(m_c->Service().Link().Cat1HeartbeatInterval(), 600u);
  EXPECT_TRUE(LogHas("heart beat interval out of range: -5, using 600"));
  EXPECT_TRUE(LogHas("heart beat interval out of range: 99999999, using 600"));
  m_c.reset();
  Settings("[Set]\nLog=1\n[HeartBeat]\nUsb=60\nCat1=600\n");
  Open();
  EXPECT_EQ(m_c->Service().Link().UsbHeartbeatInterval(), 60u);
  EXPECT_EQ(m_c->Service().Link().Cat1HeartbeatInterval(), 600u);
}

}  // namespace
}  // namespace brisk::test
