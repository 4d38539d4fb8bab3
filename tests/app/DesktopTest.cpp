// The program on the desktops it meets: a StatusNotifierItem host (a watcher stand-in on the
// test's bus, the program under Xvfb), a tray that comes late, Wayland (weston, headless), no
// tray at all, and its two languages at twice the scale with a larger font (this binary runs
// with QT_SCALE_FACTOR=2).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "app/AboutDialog.h"
#include "app/Brisk7ServerDlg.h"
#include "app/DFUpgradeDialog.h"
#include "app/Translations.h"
#include "app/core/LinkController.h"
#include "sim/reader/ReaderSim.h"
#include "tests/app/AppTestSupport.h"
#include "tests/platform/devices/ReaderTestbed.h"
#include "tests/support/TestSupport.h"

namespace brisk::test {
namespace {

using app::CBrisk7ServerDlg;

// A process of the test's own, ended with it.
class Child {
 public:
  Child() = default;
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
        int stdoutFd = -1)
      : m_pid(Spawn(argv, env, stdoutFd)) {}
  Child(Child&& other) noexcept : m_pid(std::exchange(other.m_pid, -1)) {}
  Child& operator=(Child&& other) noexcept {
    std::swap(m_pid, other.m_pid);
    return *this;
  }
  ~Child() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      WaitChild(m_pid, 5000);
    }
  }

 private:
  pid_t m_pid = -1;
};

bool HasChinese(const QString& text) {
  for (QChar c : text)
    if (c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF) return true;
  return false;
}

// The texts a person reads in a window: labels, buttons, group titles, the title.
QStringList Texts(QWidget* window) {
  QStringList texts = {window->windowTitle()};
  for (auto* w : window->findChildren<QLabel*>()) texts << w->text();
  for (auto* w : window->findChildren<QAbstractButton*>()) texts << w->text();
  for (auto* w : window->findChildren<QGroupBox*>()) texts << w->title();
  return texts;
}

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_config.Path() + "/BriskNetService");
    std::ofstream(m_config.Path() + "/BriskNetService/setting.ini") << "[Set]\nLog=1\n";
  }

  std::unique_ptr<CBrisk7ServerDlg> OpenWindow() {
    CBrisk7ServerDlg::Options options;
    options.trayWaitMs = 0;
    options.watchDevices = false;
    options.watchSleep = false;
    // Each window's controller lives to the end of the test, after the window.
    m_controllers.push_back(std::make_unique<app::LinkController>(m_prompt, options));
    auto window = std::make_unique<CBrisk7ServerDlg>(*m_controllers.back(), m_prompt, options);
    window->OnInitDialog();
    EXPECT_TRUE(WaitFor([&] { return !window->Controller().CommandBusy(); }));
    return window;
  }

  // Every label and button has room for its text: its size is at least what it asks for, and
  // it lies inside the window.
  static void ExpectNothingClipped(QWidget* window) {
    window->show();
    QApplication::processEvents();
    const QRect inside = window->rect();
    for (QWidget* w : window->findChildren<QWidget*>()) {
      if (!w->isVisibleTo(window)) continue;
      if (!qobject_cast<QLabel*>(w) && !qobject_cast<QAbstractButton*>(w)) continue;
      auto* label = qobject_cast<QLabel*>(w);
      const QSize wanted = label && label->wordWrap() ? w->minimumSizeHint() : w->sizeHint();
      const QString what = w->objectName() + " \"" + Texts(w).join(QString()) + "\"";
      EXPECT_GE(w->width(), wanted.width()) << what.toStdString();
      EXPECT_GE(w->height(), wanted.height()) << what.toStdString();
      const QRect at(w->mapTo(window, QPoint(0, 0)), w->size());
      EXPECT_TRUE(inside.contains(at)) << what.toStdString();
    }
  }

  // The program in a child process on a display of the test's own; the reader (when plugged)
  // is seen through the emulated bus that the child inherits.
  Child SpawnProgram(const std::map<std::string, std::string>& display) {
    return Child({ProgramPath("app/BriskNetService")}, ProgramEnvironment(display));
  }

  // The SNI watcher stand-in, once it has its name.
  Child StartWatcher(bool withHost = true) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    std::vector<std::string> args = {"/usr/bin/python3",
                                     std::string(BRISK_TEST_SOURCE_DIR) + "/sni-watcher.py"};
    if (!withHost) args.push_back("--no-host");
    Child watcher(args, CleanEnvironment(), out[1]);
    close(out[1]);
    EXPECT_EQ(ReadLine(out[0], 10000), "ready");
    close(out[0]);
    return watcher;
  }

  static std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    char c = 0;
    pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) == 1 && read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // A gdbus call on the test's bus; its printed answer, empty when it failed.
  static std::string Gdbus(const std::string& dest, const std::string& path,
                           const std::string& method, std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {"gdbus", "call", "--session", "-d",  dest,
                                     "-o",    path,   "-m",        method};
    if (!args.empty()) argv.push_back("--");
    argv.insert(argv.end(), args.begin(), args.end());
    return ToolOutput(argv);
  }

  // The item the watcher has been given, once there is one.
  std::string WaitForItem(int timeoutMs = 20000) {
    std::string item;
    const std::regex name(R"('([^']+)')");
    WaitFor(
        [&] {
          const std::string items =
              Gdbus("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                    "org.freedesktop.DBus.Properties.Get",
                    {"org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"});
          std::smatch m;
          if (std::regex_search(items, m, name)) item = m[1];
          return !item.empty();
        },
        timeoutMs);
    return item;
  }

  std::string ItemProperty(const std::string& item, const std::string& property) {
    return Gdbus(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
                 {"org.kde.StatusNotifierItem", property});
  }

  // xdotool's ids of the visible windows of that title on the display.
  static std::string VisibleWindows(const std::string& display, const std::string& title) {
    ProgramRun how;
    how.env = CleanEnvironment({{"DISPLAY", display}});
    how.envReplaces = true;
    return RunProgram({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}, how).out;
  }

  // An X server of the test's own; its display name.
  std::string StartXvfb() {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    m_display =
        Child({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"},
              CleanEnvironment(), out[1]);
    close(out[1]);
    const std::string number = ReadLine(out[0], 10000);
    close(out[0]);
    return number.empty() ? std::string() : ":" + number;
  }

  TempDir m_config;
  ScopedTmpdir m_tmp;
  bool m_configSet = setenv("XDG_CONFIG_HOME", m_config.Path().c_str(), 1) == 0;
  RecordingPrompt m_prompt;
  std::vector<std::unique_ptr<app::LinkController>> m_controllers;
  Child m_display;
};

TEST_F(DesktopTest, ChineseIsTheDefaultAndQtsOwnButtonsReadChinese) {
  app::InstallTranslations(*qApp, QLocale(QLocale::German, QLocale::Germany));
  QMessageBox box;
  box.setStandardButtons(QMessageBox::Ok | QMessageBox::Yes | QMessageBox::No |
                         QMessageBox::Cancel);
  EXPECT_TRUE(box.button(QMessageBox::Ok)->text().contains(QStringLiteral("确定")));
  EXPECT_TRUE(box.button(QMessageBox::Yes)->text().contains(QStringLiteral("是")));
  EXPECT_TRUE(box.button(QMessageBox::No)->text().contains(QStringLiteral("否")));
  EXPECT_TRUE(box.button(QMessageBox::Cancel)->text().contains(QStringLiteral("取消")));
  const auto window = OpenWindow();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("读卡器设置"));
}

TEST_F(DesktopTest, AnEnglishLocaleGivesAnEnglishWindowTrayMenuAndButtons) {
  app::InstallTranslations(*qApp, QLocale(QLocale::English, QLocale::UnitedStates));
  QMessageBox box;
  box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(box.button(QMessageBox::Yes)->text().remove('&'), QStringLiteral("Yes"));
  const auto window = OpenWindow();
  window->ExpandPanel();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Card reader settings"));
  QStringList titles;
  for (auto* group : window->findChildren<QGroupBox*>()) titles << group->title();
  for (const char* title : {"Service", "Status", "Start-up", "Network mode", "Network quality test",
                            "Authorization", "Configuration", "Server heartbeat"})
    EXPECT_TRUE(titles.contains(QString::fromLatin1(title))) << title;
  for (const QString& text : Texts(window.get()))
    EXPECT_FALSE(HasChinese(text)) << text.toStdString();
  QStringList commands;
  for (QAction* action : window->CommandMenu()->actions()) commands << action->text();
  EXPECT_EQ(commands, (QStringList{"Settings", "Start", "Stop", "Exit"}));
  EXPECT_EQ(window->TrayToolTip(), QStringLiteral("Card reader service"));
  // The upgrade engine's own status lines too.
  app::DFUpgradeDialog upgrade(m_prompt);
  upgrade.SetStatus(dfu::Status::SearchingDevice);
  EXPECT_EQ(upgrade.StatusText(), QStringLiteral("Looking for the DFU device"));
  for (const QString& text : Texts(&upgrade)) EXPECT_FALSE(HasChinese(text)) << text.toStdString();
}

TEST_F(DesktopTest, AtTwiceTheScaleWithALargerFontNothingIsClippedInEitherLanguage) {
  ASSERT_EQ(qgetenv("QT_SCALE_FACTOR"), "2");
  QFont font = QApplication::font();
  font.setPointSizeF(font.pointSizeF() * 1.5);
  QApplication::setFont(font);
  for (const QLocale& locale : {QLocale(QLocale::Chinese, QLocale::China),
                                QLocale(QLocale::English, QLocale::UnitedStates)}) {
    SCOPED_TRACE(locale.name().toStdString());
    app::InstallTranslations(*qApp, locale);
    const auto window = OpenWindow();
    const int collapsed = window->width();
    window->ExpandPanel();
    EXPECT_EQ(window->width(), 2 * collapsed);
    ExpectNothingClipped(window.get());
    app::CAboutDialog about(window.get());
    ExpectNothingClipped(&about);
    app::DFUpgradeDialog upgrade(m_prompt);
    ExpectNothingClipped(&upgrade);
  }
}

TEST_F(DesktopTest, WithoutATrayClosingMinimizesAndShowingRestoresRaisesAndActivates) {
  const auto window = OpenWindow();  // offscreen: no tray, the window is shown at once
  ASSERT_TRUE(window->isVisible());
  window->close();
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->isMinimized());
  window->OnShowWindow();
  EXPECT_FALSE(window->isMinimized());
  EXPECT_TRUE(WaitFor([&] { return QApplication::activeWindow() == window.get(); }));
  // The window's own menu keeps the tray's commands.
  EXPECT_EQ(window->CommandMenu()->actions().size(), 4);
}

TEST_F(DesktopTest, AStatusNotifierHostGetsTheItemWithItsMenuStatesAndActivation) {
  ReaderTestbed tb;
  tb.AddUsbSerial("1-1", "0425", "8159", 0);
  auto reader = sim::ReaderSim::Attach(tb.MasterFd(0));
  reader->EditReaderState([](sim::ReaderSim::State& s) { s.connectType = 2; });
  Child watcher = StartWatcher();
  const std::string display = StartXvfb();
  ASSERT_FALSE(display.empty());
  Child program = SpawnProgram({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}});
  const std::string item = WaitForItem();
  ASSERT_FALSE(item.empty());
  // The icon goes by its theme name too, and follows the network mode.
  EXPECT_TRUE(WaitFor([&] {
    return ItemProperty(item, "IconName").find("'brisk-netservice-cat1'") != std::string::npos;
  })) << ItemProperty(item, "IconName");
  EXPECT_EQ(Gdbus("net.brisk.NetService", "/net/brisk/NetService",
                  "net.brisk.NetService1.ServiceControl", {"2", "1"}),
            "(1,)\n");
  EXPECT_TRUE(WaitFor([&] {
    return ItemProperty(item, "IconName").find("'brisk-netservice-usb'") != std::string::npos;
  }));
  EXPECT_NE(ItemProperty(item, "IconPixmap").find("64, 64"), std::string::npos);

  // The menu: its four entries, 启动 disabled while the service runs.
  const std::string layout =
      Gdbus(item, "/MenuBar", "com.canonical.dbusmenu.GetLayout", {"0", "-1", "[]"});
  const std::regex entry(R"(\((\d+), \{([^}]*)\}, (?:@av )?\[\]\))");
  std::vector<std::pair<std::string, bool>> entries;
  std::map<std::string, std::string> ids;
  for (auto it = std::sregex_iterator(layout.begin(), layout.end(), entry);
       it != std::sregex_iterator(); ++it) {
    const std::string props = (*it)[2];
    std::smatch label;
    if (!std::regex_search(props, label, std::regex(R"('label': <'([^']*)'>)"))) continue;
    entries.emplace_back(label[1], props.find("'enabled': <false>") == std::string::npos);
    ids[label[1]] = (*it)[1];
  }
  EXPECT_EQ(entries, (std::vector<std::pair<std::string, bool>>{
                         {"设置", true}, {"启动", false}, {"停止", true}, {"退出", true}}))
      << layout;

  // A click on the item shows the window; 退出 asks the exit question (mobile data in use).
  EXPECT_TRUE(VisibleWindows(display, "读卡器设置").empty());
  Gdbus(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem.Activate", {"0", "0"});
  EXPECT_TRUE(WaitFor([&] { return !VisibleWindows(display, "读卡器设置").empty(); }));
  Gdbus(item, "/MenuBar", "com.canonical.dbusmenu.Event", {ids["退出"], "clicked", "<0>", "0"});
  EXPECT_TRUE(WaitFor([&] { return !VisibleWindows(display, "提示").empty(); }));
}

TEST_F(DesktopTest, AHostThatComesAfterTheProgramIsTakenUp) {
  const std::string display = StartXvfb();
  ASSERT_FALSE(display.empty());
  Child program = SpawnProgram({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}});
  // Qt has looked for a host and found none by the time the panel starts.
  ASSERT_TRUE(WaitFor([&] {
    return !Gdbus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                  "org.freedesktop.DBus.GetNameOwner", {"net.brisk.NetService"})
                .empty();
  }));
  QTest::qWait(1000);
  Child watcher = StartWatcher();
  EXPECT_FALSE(WaitForItem().empty());
}

// A watcher that is slow to answer would stall the window at every look, so it is asked when
// it says something has changed, not polled.
TEST_F(DesktopTest, AWatcherWithoutAHostIsAskedOnItsSignalsNotPolled) {
  const std::string display = StartXvfb();
  ASSERT_FALSE(display.empty());
  Child watcher = StartWatcher(false);
  Child program = SpawnProgram({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}});
  const auto questions = [] {
    const std::string answer = Gdbus("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                     "org.freedesktop.DBus.Properties.Get",
                                     {"org.kde.StatusNotifierWatcher", "HostQuestions"});
    return answer.empty() ? -1 : std::atoi(answer.c_str() + answer.find("<") + 1);
  };
  ASSERT_TRUE(WaitFor([&] { return questions() > 0; }));
  // Asked at start and once more when the watch begins; meanwhile the X11 tray is looked for
  // each second.
  QTest::qWait(4000);
  EXPECT_LE(questions(), 2);
  Gdbus("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
        "org.kde.StatusNotifierWatcher.RegisterStatusNotifierHost", {"panel"});
  EXPECT_FALSE(WaitForItem().empty());
}

TEST_F(DesktopTest, UnderWestonItShowsItsWindowWhenAsked) {
  TempDir runtime;
  chmod(runtime.Path().c_str(), 0700);
  Child weston({"weston", "--backend=headless-backend.so", "--use-pixman", "--socket=brisk-test",
                "--idle-time=0", "--debug"},
               CleanEnvironment({{"XDG_RUNTIME_DIR", runtime.Path()}}));
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(runtime.Path() + "/brisk-test"); }));
  Child watcher = StartWatcher();
  Child program = SpawnProgram({{"QT_QPA_PLATFORM", "wayland"},
                                {"WAYLAND_DISPLAY", "brisk-test"},
                                {"XDG_RUNTIME_DIR", runtime.Path()}});
  ASSERT_FALSE(WaitForItem().empty());
  EXPECT_NE(Gdbus("net.brisk.NetService", "/net/brisk/NetService", "net.brisk.NetService1.Activate",
                  {"'a-token'"}),
            "");
  // The compositor's own scene lists the window once it is mapped.
  ProgramRun how;
  how.env =
      CleanEnvironment({{"XDG_RUNTIME_DIR", runtime.Path()}, {"WAYLAND_DISPLAY", "brisk-test"}});
  how.envReplaces = true;
  how.timeoutSeconds = 5;
  EXPECT_TRUE(WaitFor([&] {
    return RunProgram({"weston-debug", "scene-graph"}, how)
               .out.find("top-level window '读卡器设置'") != std::string::npos;
  }));
}

}  // namespace
}  // namespace brisk::test
