// The real window with the reader on the emulated USB bus: start-up, re-linking on device
// changes, the watchdog, service control, the exit question and the configuration panel.
#include <gtest/gtest.h>

#include <umockdev.h>

#include <QApplication>
#include <QCheckBox>
#include <QGlyphRun>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTextLayout>
#include <QToolButton>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/AboutDialog.h"
#include "app/Brisk7ServerDlg.h"
#include "app/core/LinkController.h"
#include "link/Brisk7Service.h"
#include "sim/platform/PlatformServer.h"
#include "sim/reader/ReaderSim.h"
#include "tests/app/AppTestSupport.h"
#include "tests/platform/devices/ReaderTestbed.h"
#include "tests/support/TestSupport.h"

namespace brisk::test {
namespace {

using app::CBrisk7ServerDlg;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings("[Set]\nLog=1\n"); }
  void TearDown() override {
    m_window.reset();
    m_controller.reset();
    m_reader.reset();
  }

  void Settings(const std::string& text) {
    // Not through a shell: under ThreadSanitizer its runtime is preloaded into every child.
    std::filesystem::create_directories(m_config.Path() + "/BriskNetService");
    std::ofstream(SettingFile()) << text;
  }
  std::string SettingFile() const { return m_config.Path() + "/BriskNetService/setting.ini"; }

  // A reader at COM<acm + 1>. umockdev cannot add a removed device's name again: a replug
  // comes back under another name.
  void PlugReader(const std::function<void(sim::ReaderSim::State&)>& edit = {},
                  const std::string& usbName = "1-1", int acm = 0) {
    m_usbPath = m_tb.AddUsbSerial(usbName, "0425", "8159", acm);
    m_reader = sim::ReaderSim::Attach(m_tb.MasterFd(acm));
    if (edit) m_reader->EditReaderState(edit);
  }

  void Open(bool watchDevices = false) {
    CBrisk7ServerDlg::Options options;
    options.trayWaitMs = 0;
    options.watchDevices = watchDevices;
    options.watchSleep = false;
    m_controller = std::make_unique<app::LinkController>(m_prompt, options);
    m_window = std::make_unique<CBrisk7ServerDlg>(*m_controller, m_prompt, options);
    m_window->OnInitDialog();
    Settle();
  }

  // Until the reader commands asked for so far have had their results applied.
  void Settle() {
    ASSERT_TRUE(WaitFor([&] { return !m_window->Controller().CommandBusy(); }));
  }
  // A D-Bus ServiceControl request, answered once it has had its turn.
  int Serve(int operation, int argument) {
    std::optional<int> result;
    m_window->Controller().OnServiceControl(operation, argument, [&result](int r) { result = r; });
    EXPECT_TRUE(WaitFor([&] { return result.has_value(); }));
    return result.value_or(-99);
  }

  // Controls by their object names, as a person finds them by their labels.
  template <typename T = QWidget>
  T* Get(const char* name) {
    return m_window->findChild<T*>(QString::fromLatin1(name));
  }
  QString Text(const char* name) { return Get<QLabel>(name)->text(); }
  void Click(const char* name) {
    Get<QAbstractButton>(name)->click();
    Settle();
  }
  bool LogHas(const char* text) {
    return ReadFile(m_tmp.LogPath()).find(text) != std::string::npos;
  }
  size_t Frames(uint8_t type) { return m_reader->ReceivedCount(type); }

  // The environment is set before the testbed starts its threads, which read it.
  TempDir m_config;
  ScopedTmpdir m_tmp;
  bool m_configSet = setenv("XDG_CONFIG_HOME", m_config.Path().c_str(), 1) == 0;
  ReaderTestbed m_tb;
  RecordingPrompt m_prompt;
  std::string m_usbPath;
  std::unique_ptr<sim::ReaderSim> m_reader;
  std::atomic<int> m_probes{0};
  std::unique_ptr<app::LinkController> m_controller;
  std::unique_ptr<CBrisk7ServerDlg> m_window;
};

TEST_F(WindowTest, AutoStartOffLeavesTheServiceOffAndTheWindowCollapsed) {
  Settings("[SETTING]\nAutoStart=0\n");
  PlugReader();
  Open();
  EXPECT_FALSE(m_window->Controller().ServiceEnabled());
  EXPECT_TRUE(Get("startButton")->isEnabled());
  EXPECT_FALSE(Get("stopButton")->isEnabled());
  EXPECT_FALSE(Get("switchNetModeButton")->isEnabled());
  EXPECT_EQ(m_window->PortLine(), QStringLiteral("当前服务未启动"));
  EXPECT_FALSE(m_window->Controller().TimerActive(app::TIMER_PORT_WATCH));
  EXPECT_EQ(m_reader->Received().size(), 0u);
  // Offscreen there is no tray: the window shows and offers the tray's four commands.
  EXPECT_TRUE(m_window->isVisible());
  const QList<QAction*> commands = m_window->CommandMenu()->actions();
  ASSERT_EQ(commands.size(), 4);
  EXPECT_EQ(commands[0]->text(), QStringLiteral("设置"));
  EXPECT_EQ(commands[3]->text(), QStringLiteral("退出"));
  EXPECT_TRUE(commands[1]->isEnabled());
  EXPECT_FALSE(commands[2]->isEnabled());
  EXPECT_FALSE(m_window->IsExpanded());
  // Collapsed: the window ends where the right half begins.
  EXPECT_EQ(m_window->width(), m_window->findChild<QWidget*>("rightHalf")->x());
}

TEST_F(WindowTest, AutoStartOnLinksTheReaderAndAsksItsCat1ModuleAndMode) {
  PlugReader([](sim::ReaderSim::State& s) {
    s.cat1Model = 0x21;
    s.port = sim::PlatformServer::RefusingPort();  // not reachable from the PC
  });
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  EXPECT_EQ(m_window->PortLine(), QStringLiteral("当前使用的端口：COM1"));
  EXPECT_EQ(Text("cat1PresentText"), QStringLiteral("有"));
  EXPECT_EQ(Text("cat1ModelText"), QStringLiteral("0x21"));
  EXPECT_TRUE(Get("netModeCat1Radio")->isEnabled());
  EXPECT_TRUE(Get("switchNetModeButton")->isEnabled());
  EXPECT_FALSE(Get("startButton")->isEnabled());
  // Automatic mode with the platform unreachable: Cat1.
  EXPECT_EQ(m_reader->ReaderState().netMode, 2);
  EXPECT_EQ(m_window->TrayToolTip(), QStringLiteral("读卡服务(Cat1模式)"));
  EXPECT_EQ(m_window->Controller().TimerInterval(app::TIMER_STATUS), 1000);
  EXPECT_EQ(m_window->Controller().TimerInterval(app::TIMER_NET_CHECK), 30000);
  EXPECT_EQ(m_window->Controller().TimerInterval(app::TIMER_PORT_WATCH), 10000);
  EXPECT_TRUE(WaitFor([&] { return Text("comStateText") == QStringLiteral("已打开"); }));
}

TEST_F(WindowTest, ACat1AnswerOfZeroDisablesTheCat1Radio) {
  PlugReader([](sim::ReaderSim::State& s) { s.cat1Result = 0; });
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  EXPECT_EQ(Text("cat1PresentText"), QStringLiteral("无"));
  EXPECT_FALSE(Get("netModeCat1Radio")->isEnabled());
}

TEST_F(WindowTest, NoReaderThenPlugLinksAndUnplugStopsAndReplugRelinks) {
  Open(/*watchDevices=*/true);
  EXPECT_EQ(m_window->PortLine(), QStringLiteral("设备未连接"));
  EXPECT_FALSE(m_window->Controller().LinkUp());
  // A device change brings the watchdog forward.
  m_window->Controller().OnDeviceChange("DBT_DEVNODES_CHANGED");
  EXPECT_EQ(m_window->Controller().TimerInterval(app::TIMER_PORT_WATCH), 500);

  PlugReader();
  ASSERT_TRUE(WaitFor([&] { return m_window->Controller().LinkUp(); }));
  EXPECT_TRUE(LogHas("DBT_DEVICEARRIVAL"));

  m_reader->Unplug();
  m_tb.Remove(m_usbPath);
  ASSERT_TRUE(WaitFor([&] { return !m_window->Controller().LinkUp(); }));
  EXPECT_TRUE(WaitFor([&] {
    return m_window->PortLine() == QStringLiteral("设备连接已断开") ||
           m_window->PortLine() == QStringLiteral("设备未连接");
  }));
  EXPECT_TRUE(LogHas("DBT_DEVICEREMOVECOMPLETE"));

  m_reader.reset();
  PlugReader({}, "1-2", 1);
  EXPECT_TRUE(WaitFor([&] { return m_window->Controller().LinkUp(); }));
  EXPECT_EQ(m_window->PortLine(), QStringLiteral("当前使用的端口：COM2"));
}

TEST_F(WindowTest, TheWatchdogRestartsARelayThatEndedByItself) {
  PlugReader();
  Open(/*watchDevices=*/true);
  ASSERT_TRUE(m_window->Controller().LinkUp());
  // The reader's port vanishes without a remove event: the relay loop gives up on its own
  // (a stray byte no longer does).
  m_reader->Unplug();
  ASSERT_TRUE(WaitFor([&] { return !m_window->Controller().Service().IsRelayRunning(); }));
  m_reader.reset();
  PlugReader({}, "1-2", 1);
  umockdev_testbed_uevent(m_tb.Raw(), m_usbPath.c_str(), "change");
  ASSERT_TRUE(WaitFor([&] { return Frames(1) > 0 && m_window->Controller().LinkUp(); }));
  EXPECT_TRUE(m_window->Controller().Service().IsRelayRunning());
  EXPECT_TRUE(LogHas("DBT_DEVNODES_CHANGED"));
}

TEST_F(WindowTest, ServiceControlAnswersPerOperation) {
  PlugReader([](sim::ReaderSim::State& s) { s.connectStatus = 0x85; });
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  const size_t modesSent = Frames(2);
  EXPECT_EQ(Serve(2, 3), -1);
  EXPECT_EQ(Frames(2), modesSent);
  EXPECT_EQ(Serve(3, 0), static_cast<int>(static_cast<int8_t>(0x85)));
  EXPECT_EQ(Serve(2, 1), 1);
  EXPECT_EQ(m_window->Controller().State().trayMode, 1);
  EXPECT_TRUE(Get<QRadioButton>("netModeUsbRadio")->isChecked());
  EXPECT_EQ(Serve(7, 0), 0);
  EXPECT_EQ(Serve(1, 0), 1);
  EXPECT_FALSE(m_window->Controller().ServiceEnabled());
  EXPECT_TRUE(m_reader->WaitFrame(5, 5000));  // the disconnect notice
  EXPECT_EQ(Serve(3, 0), -1);
  EXPECT_EQ(Serve(0, 0), 1);
  EXPECT_TRUE(m_window->Controller().Service().IsRelayRunning());
}

// The failure box at start comes once the link's state is complete: a stop while it is open
// leaves nothing marked up.
TEST_F(WindowTest, AStopWhileTheStartsModeFailureIsShownLeavesTheLinkDown) {
  PlugReader();
  m_reader->SetAnswer(2, sim::Answer{sim::Answer::Kind::Reply, 0, {1}, 0});
  m_prompt.whileShown = [this](const QString& text) {
    if (text == QStringLiteral("设置网络模式失败")) m_window->Controller().OnSwitchOff();
  };
  Open();
  ASSERT_EQ(m_prompt.messages, std::vector<QString>{QStringLiteral("设置网络模式失败")});
  EXPECT_FALSE(m_window->Controller().LinkUp());
  EXPECT_FALSE(m_window->Controller().TimerActive(app::TIMER_STATUS));
  EXPECT_FALSE(m_window->Controller().TimerActive(app::TIMER_NET_CHECK));
  EXPECT_EQ(m_window->PortLine(), QStringLiteral("当前服务未启动"));
}

// A D-Bus start whose reopen fails does not leave the old port shown and the link up.
TEST_F(WindowTest, AFailedStartOverTheBusWhileRunningShowsThePortFailure) {
  PlugReader();
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  m_reader->Unplug();
  m_tb.Remove(m_usbPath);
  EXPECT_EQ(Serve(0, 0), 0);
  EXPECT_EQ(m_window->PortLine(), QStringLiteral("COM端口打开失败"));
  EXPECT_FALSE(m_window->Controller().LinkUp());
  EXPECT_FALSE(m_window->Controller().TimerActive(app::TIMER_STATUS));
}

TEST_F(WindowTest, ExitOverMobileDataAsksAndYesSendsNoNotice) {
  PlugReader([](sim::ReaderSim::State& s) { s.connectType = 2; });
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  QSignalSpy quit(m_controller.get(), &app::LinkController::quitRequested);
  m_prompt.answerYes = true;
  m_window->Controller().OnExitCommand();
  Settle();
  ASSERT_EQ(m_prompt.questions.size(), 1u);
  EXPECT_EQ(m_prompt.questions[0],
            QStringLiteral("提示|当前使用移动数据连接，是否在退出后保持读卡功能?"));
  EXPECT_TRUE(WaitFor([&] { return quit.count() == 1; }));
  EXPECT_EQ(quit.at(0).at(0).toInt(), 0);
  EXPECT_EQ(Frames(5), 0u);
  EXPECT_FALSE(m_window->Controller().Service().IsComOpen());
}

TEST_F(WindowTest, ExitWhileStoppedAsksNothing) {
  Settings("[SETTING]\nAutoStart=0\n");
  Open();
  QSignalSpy quit(m_controller.get(), &app::LinkController::quitRequested);
  m_window->Controller().OnExitCommand();
  EXPECT_TRUE(m_prompt.questions.empty());
  EXPECT_TRUE(WaitFor([&] { return quit.count() == 1; }));
}

TEST_F(WindowTest, NetworkModeSwitchTextsTrayFileAndRollback) {
  Settings("[CONNECT]\nTYPE=1\n");
  PlugReader([](sim::ReaderSim::State& s) { s.port = sim::PlatformServer::RefusingPort(); });
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  EXPECT_EQ(m_window->TrayToolTip(), QStringLiteral("读卡服务(USB模式)"));

  // The mode in use: nothing sent, nothing shown.
  const size_t modesSent = Frames(2);
  Click("switchNetModeButton");
  EXPECT_EQ(Frames(2), modesSent);
  EXPECT_TRUE(m_prompt.messages.empty());

  // Automatic, platform unreachable from the PC: Cat1, and the file keeps the choice 0.
  Click("netModeAutoRadio");
  Click("switchNetModeButton");
  ASSERT_EQ(m_prompt.messages.size(), 1u);
  EXPECT_EQ(m_prompt.messages.back(), QStringLiteral("使用Cat1"));
  EXPECT_EQ(m_window->TrayToolTip(), QStringLiteral("读卡服务(Cat1模式)"));
  EXPECT_NE(ReadFile(SettingFile()).find("TYPE=0"), std::string::npos);
  EXPECT_EQ(m_window->Controller().TimerInterval(app::TIMER_NET_CHECK), 30000);

  // The reader refuses: the radios go back to the stored choice.
  m_reader->SetAnswer(2, sim::Answer{sim::Answer::Kind::Reply, 0, {1}, 0});
  Click("netModeUsbRadio");
  Click("switchNetModeButton");
  EXPECT_EQ(m_prompt.messages.back(), QStringLiteral("设置使用本机网络失败"));
  EXPECT_TRUE(Get<QRadioButton>("netModeAutoRadio")->isChecked());
  EXPECT_EQ(m_window->TrayToolTip(), QStringLiteral("读卡服务(Cat1模式)"));
  EXPECT_NE(ReadFile(SettingFile()).find("TYPE=0"), std::string::npos);
}

TEST_F(WindowTest, NetworkTestAveragesTheSuccesses) {
  PlugReader();
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  // The count outlives the test body: the reader's thread may still look at it in TearDown,
  // when the controller tells the reader it goes.
  m_reader->SetFrameHook([this](sim::ReaderSim& r, const sim::Frame& f) {
    if (f.type != 12) return false;
    const int n = m_probes++;
    if (n < 3)
      r.SendFrame(12, {0, static_cast<uint8_t>(10 * (n + 1)), 0});
    else
      r.SendFrame(12, {1, 0, 0});
    return true;
  });
  Click("networkTestButton");
  EXPECT_EQ(Text("networkTestResultText"),
            QStringLiteral("当前平均延时为20毫秒，最大30毫秒，成功3次，失败7次"));
  m_reader->SetFrameHook([](sim::ReaderSim& r, const sim::Frame& f) {
    if (f.type != 12) return false;
    r.SendFrame(12, {1, 0, 0});
    return true;
  });
  Click("networkTestButton");
  EXPECT_EQ(Text("networkTestResultText"), QStringLiteral("测试读卡器网络质量失败"));
}

// A window that goes while a probe waits for a reader that never answers ends the command at
// once: no result reaches it, no thread stays behind, no further probe is sent.
TEST_F(WindowTest, AWindowThatGoesDuringACommandEndsIt) {
  PlugReader();
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  m_reader->SetAnswer(12, sim::Answer{sim::Answer::Kind::Silent, 0, {}, 0});
  Get<QAbstractButton>("networkTestButton")->click();
  ASSERT_TRUE(m_reader->WaitFrame(12, 5000));
  EXPECT_FALSE(Get("networkTestButton")->isEnabled());  // one command at a time
  EXPECT_TRUE(QApplication::overrideCursor());
  m_window.reset();
  EXPECT_FALSE(QApplication::overrideCursor());
  WaitFor([] { return false; }, 300);
  EXPECT_EQ(Frames(12), 1u);
}

TEST_F(WindowTest, HeartbeatSpinStopsAtItsBoundsAndAnOutOfRangeValueSendsNothing) {
  PlugReader();
  Open();
  auto* usb = Get<QLineEdit>("usbHeartbeatEdit");
  auto* cat1 = Get<QLineEdit>("cat1HeartbeatEdit");
  EXPECT_EQ(usb->text(), QStringLiteral("600"));
  m_window->findChild<QToolButton*>("usbHeartbeatSpinUp")->click();
  EXPECT_EQ(usb->text(), QStringLiteral("600"));
  m_window->findChild<QToolButton*>("usbHeartbeatSpinDown")->click();
  EXPECT_EQ(usb->text(), QStringLiteral("599"));
  cat1->setText(QStringLiteral("60"));
  m_window->findChild<QToolButton*>("cat1HeartbeatSpinDown")->click();
  EXPECT_EQ(cat1->text(), QStringLiteral("60"));
  m_window->findChild<QToolButton*>("cat1HeartbeatSpinUp")->click();
  EXPECT_EQ(cat1->text(), QStringLiteral("61"));

  cat1->setText(QStringLiteral("59"));
  Click("heartbeatChangeButton");
  EXPECT_EQ(Frames(16), 0u);
  ASSERT_EQ(m_prompt.messages.size(), 1u);

  cat1->setText(QStringLiteral("120"));
  Click("heartbeatChangeButton");
  EXPECT_EQ(m_prompt.messages.back(), QStringLiteral("设置心跳间隔成功"));
  EXPECT_EQ(m_reader->ReaderState().cat1Heartbeat, 120);
  EXPECT_NE(ReadFile(SettingFile()).find("Cat1=120"), std::string::npos);
}

TEST_F(WindowTest, PlatformChangeRefusesAPortOrAddressItCannotSend) {
  PlugReader();
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  auto* port = Get<QLineEdit>("platformPortEdit");
  auto* address = Get<QLineEdit>("platformAddressEdit");
  EXPECT_EQ(address->text(), QStringLiteral("127.0.0.1"));
  for (const char* bad : {"70000", "0", "abc", "", "-5"}) {
    port->setText(QString::fromLatin1(bad));
    Click("platformChangeButton");
    EXPECT_EQ(m_prompt.messages.back(), QStringLiteral("端口号必须是1到65535之间的数字")) << bad;
  }
  port->setText(QStringLiteral("8080"));
  address->setText(QString(251, QLatin1Char('a')));
  Click("platformChangeButton");
  EXPECT_EQ(m_prompt.messages.back(), QStringLiteral("服务器地址不能超过250个字符"));
  EXPECT_EQ(Frames(8), 0u);

  address->setText(QStringLiteral("platform.example"));
  Click("platformChangeButton");
  EXPECT_EQ(m_prompt.messages.back(), QStringLiteral("修改平台信息成功"));
  EXPECT_EQ(m_reader->ReaderState().port, 8080);
  EXPECT_EQ(m_reader->ReaderState().host, "platform.example");
}

TEST_F(WindowTest, PanelQueriesFillTheirFields) {
  PlugReader([](sim::ReaderSim::State& s) {
    s.connectStatus = 0x85;
    s.connectType = 2;
    s.licence[0] = 0xAB;
  });
  Open();
  ASSERT_TRUE(m_window->Controller().LinkUp());
  Click("authQueryButton");
  EXPECT_EQ(Get<QLineEdit>("macEdit")->text(), QStringLiteral("A1:B2:C3:D4:E5:F6"));
  EXPECT_EQ(Get<QLineEdit>("iccidEdit")->text(), QStringLiteral("89860012345678901234"));
  Click("connectStatusButton");
  EXPECT_EQ(Text("statusCodeText"), QStringLiteral("0x85"));
  EXPECT_EQ(Text("connectTypeText"), QStringLiteral("0x2"));
  m_reader->SetAnswer(3, sim::Answer{sim::Answer::Kind::Reply, 0, {1}, 0});
  Click("connectStatusButton");
  EXPECT_EQ(m_prompt.messages.back(), QStringLiteral("查询连接状态失败"));
}

TEST_F(WindowTest, OnlyTheBottomLeftCornerDoubleClickExpandsAndCollapseHalves) {
  Open();
  const int half = m_window->width();
  const auto doubleClick = [&](QPoint p) {
    QMouseEvent event(QEvent::MouseButtonDblClick, p, m_window->mapToGlobal(p), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_window.get(), &event);
  };
  doubleClick(QPoint(20, m_window->height() - 5));
  doubleClick(QPoint(5, m_window->height() - 20));
  EXPECT_FALSE(m_window->IsExpanded());
  doubleClick(QPoint(5, m_window->height() - 5));
  EXPECT_TRUE(m_window->IsExpanded());
  EXPECT_EQ(m_window->width(), 2 * half);
  Click("collapseButton");
  EXPECT_FALSE(m_window->IsExpanded());
  EXPECT_EQ(m_window->width(), half);
}

// Needs a CJK font (fonts-wqy-microhei): without one every Chinese glyph is the empty box.
TEST_F(WindowTest, NoChineseTextRendersAsMissingGlyphs) {
  Open();
  std::vector<std::pair<QString, QFont>> texts = {{m_window->windowTitle(), m_window->font()}};
  for (QLabel* w : m_window->findChildren<QLabel*>()) texts.emplace_back(w->text(), w->font());
  for (QAbstractButton* w : m_window->findChildren<QAbstractButton*>())
    texts.emplace_back(w->text(), w->font());
  for (QGroupBox* w : m_window->findChildren<QGroupBox*>())
    texts.emplace_back(w->title(), w->font());
  for (QAction* a : m_window->CommandMenu()->actions())
    texts.emplace_back(a->text(), m_window->CommandMenu()->font());
  int checked = 0;
  for (const auto& [text, font] : texts) {
    if (text.toLatin1() == text.toUtf8()) continue;  // nothing beyond ASCII
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    for (const QGlyphRun& run : layout.glyphRuns())
      for (quint32 glyph : run.glyphIndexes()) EXPECT_NE(glyph, 0u) << text.toStdString();
    ++checked;
  }
  EXPECT_GT(checked, 40);
}

TEST(AboutBox, ShowsTheBuildVersion) {
  app::CAboutDialog about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("关于"));
  EXPECT_EQ(about.findChild<QLabel*>("versionText")->text(), QStringLiteral("1.0.1.2"));
}

}  // namespace
}  // namespace brisk::test
