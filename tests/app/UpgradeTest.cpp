// The firmware upgrade end to end: the reader on the emulated USB bus asks for a package over
// HTTPS, the window flashes it through the upgrade dialog, and re-links the reader that comes
// back with it.
#include <gtest/gtest.h>

#include <optional>

#include <sys/stat.h>
#include <atomic>

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Brisk7ServerDlg.h"
#include "app/DFUpgradeDialog.h"
#include "app/core/LinkController.h"
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "platform/Paths.h"
#include "sim/http/HttpServer.h"
#include "sim/usb/UsbReaderBus.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TestSupport.h"

namespace brisk::test {
namespace {

using app::CBrisk7ServerDlg;
using app::DFUpgradeDialog;

constexpr uint32_t kImageSize = 128 * 1024;
const QString kFinalText =
    QStringLiteral("升级完成，请关闭此对话框。如未能成功打开端口，请重新插拔读卡器");

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((m_folders.Config() + "/BriskNetService").c_str(), 0700);
    WriteFile(m_folders.Config() + "/BriskNetService/setting.ini", "[Set]\nLog=1\n");
    m_image = Bytes(Pattern(kImageSize, 7));
    m_image.back() = 0x5A;  // the identity leaves trailing erased bytes out
  }
  void TearDown() override {
    if (m_watch) m_watch->stop();
    m_window.reset();
    m_controller.reset();
    m_bus.reset();
  }

  // A package file with one image for target 0 at the start of the flash.
  std::string Package(const std::string& path, uint16_t vendor = 0x0483,
                      uint16_t product = 0xA19B) {
    MXUPDFILES_IMAGE image = nullptr;
    EXPECT_EQ(MXUPDFILES_CreateImage(&image, 0, "Internal Flash"), MXUPDFILES_OK);
    ImageElement element{0x08000000, kImageSize, m_image.data()};
    EXPECT_EQ(MXUPDFILES_AppendImageElement(image, &element), MXUPDFILES_OK);
    EXPECT_EQ(MXUPDFILES_WriteDFUFile(path.c_str(), vendor, product, 0x0100, &image, 1),
              MXUPDFILES_OK);
    MXUPDFILES_DestroyImage(&image);
    return ReadFile(path);
  }

  void Plug(sim::UsbReaderOptions options) {
    options.memory = Old();  // the old firmware
    m_oldFirmware = sim::FirmwareCrc32(options.memory);
    m_bus = std::make_unique<sim::UsbReaderBus>(std::move(options));
  }

  // The package at url on an HTTPS server, and a reader that asks for it once linked.
  void RequestedBy(sim::UsbReaderOptions& options, const std::string& package) {
    m_server = sim::HttpServer::Start(true);
    ASSERT_TRUE(m_server);
    m_server->Serve("/fw/reader.dfu", package);
    options.upgradeUrl = m_server->BaseUrl() + "/fw/reader.dfu";
    options.upgradeDigest = sim::ReaderUpgrade::Md5(package);
  }
  // A matching package in the DFU cache, as an earlier download left it.
  void Cached() {
    std::filesystem::create_directories(platform::DfuCacheFolder());
    Package(platform::DfuCacheFolder() + "/reader_0123.dfu");
  }
  // A new start of the program: the window goes and comes again.
  void Restart(const std::function<bool(DFUpgradeDialog&)>& until) {
    m_watch.reset();
    m_window.reset();
    m_controller.reset();
    m_statuses.clear();
    m_sizes.clear();
    Open(until);
  }
  bool DialogEnded(int count) {
    return WaitFor([&] { return m_dialogs == count && !m_dialog; }, 120000);
  }
  std::vector<uint8_t> Old() { return Bytes(Pattern(96 * 1024, 3)); }
  bool StillOld() {
    const std::vector<uint8_t> memory = m_bus->Memory(), old = Old();
    return memory.size() >= old.size() && std::equal(old.begin(), old.end(), memory.begin());
  }

  // The window; every upgrade dialog it runs is followed, and closed once until() holds.
  void Open(const std::function<bool(DFUpgradeDialog&)>& until) {
    CBrisk7ServerDlg::Options options;
    options.trayWaitMs = 0;
    options.watchSleep = false;
    m_controller = std::make_unique<app::LinkController>(m_prompt, options);
    m_window = std::make_unique<CBrisk7ServerDlg>(*m_controller, m_prompt, options);
    QObject::connect(m_window.get(), &CBrisk7ServerDlg::upgradeDialogShown,
                     [this](DFUpgradeDialog* dialog) {
                       ++m_dialogs;
                       m_dialog = dialog;
                       QObject::connect(dialog, &DFUpgradeDialog::statusChanged,
                                        [this](const QString& t) { m_statuses.push_back(t); });
                       QObject::connect(dialog, &DFUpgradeDialog::sizeTextChanged,
                                        [this](const QString& t) { m_sizes.push_back(t); });
                     });
    m_watch = std::make_unique<QTimer>();
    QObject::connect(m_watch.get(), &QTimer::timeout, [this, until] {
      if (!m_dialog || !until(*m_dialog)) return;
      const auto start = std::chrono::steady_clock::now();
      m_dialog->close();
      m_closeTime = std::chrono::steady_clock::now() - start;
    });
    m_watch->start(50);
    m_window->OnInitDialog();
    ASSERT_TRUE(WaitFor([&] { return !m_window->Controller().CommandBusy(); }));
  }

  // The dialog reached its final text, the reader came back and the window re-linked it.
  bool Relinked(DFUpgradeDialog& dialog, int normalStarts = 2) {
    return dialog.StatusText() == kFinalText && m_bus->NormalStarts() == normalStarts &&
           m_window->Controller().LinkUp() &&
           m_window->PortLine() == QStringLiteral("当前使用的端口：COM1");
  }

  // The package's image is in the reader's flash, the rest is erased.
  void ExpectFlashed() {
    const std::vector<uint8_t> memory = m_bus->Memory();
    ASSERT_GE(memory.size(), kImageSize);
    EXPECT_TRUE(std::equal(m_image.begin(), m_image.end(), memory.begin()));
    EXPECT_EQ(m_bus->FirmwareIdentity(), sim::FirmwareCrc32(m_image));
    EXPECT_NE(m_bus->FirmwareIdentity(), m_oldFirmware);
  }

  ScopedFolders m_folders;
  LogCapture m_log;
  RecordingPrompt m_prompt;
  std::vector<uint8_t> m_image;
  uint32_t m_oldFirmware = 0;
  std::unique_ptr<sim::HttpServer> m_server;
  std::unique_ptr<sim::UsbReaderBus> m_bus;
  std::unique_ptr<app::LinkController> m_controller;
  std::unique_ptr<CBrisk7ServerDlg> m_window;
  std::unique_ptr<QTimer> m_watch;
  QPointer<DFUpgradeDialog> m_dialog;
  std::chrono::steady_clock::duration m_closeTime{};
  int m_dialogs = 0;
  std::vector<QString> m_statuses;
  std::vector<QString> m_sizes;
};

TEST(UpgradeDialog, HasItsTextsNoButtonsAndSearchesUntilClosed) {
  RecordingPrompt prompt;
  DFUpgradeDialog dialog(prompt);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("DFU升级"));
  EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("warningText"))->text(),
            QStringLiteral("在程序升级成功或失败前，请勿关闭本对话框！"));
  EXPECT_TRUE(dialog.findChildren<QAbstractButton*>().isEmpty());
  dialog.SetHasDFUDevice(1);
  dialog.StartUpgrade("");
  dialog.show();
  EXPECT_EQ(dialog.StatusText(), QStringLiteral("开始升级读卡器，请等待升级完成"));
  EXPECT_TRUE(dialog.TimerPending(dfu::TIMER_CHECK_FILE));
  ASSERT_TRUE(WaitFor([&] { return dialog.TimerPending(dfu::TIMER_FIND_DEVICE); }));
  EXPECT_EQ(dialog.StatusText(), QStringLiteral("正在查找DFU设备"));
  // No device: the search goes on, the status keeps its text.
  WaitFor([] { return false; }, 1200);
  EXPECT_TRUE(dialog.TimerPending(dfu::TIMER_FIND_DEVICE));
  EXPECT_EQ(dialog.StatusText(), QStringLiteral("正在查找DFU设备"));
  dialog.close();
  for (int id = dfu::TIMER_CHECK_FILE; id <= dfu::TIMER_FINISH; ++id)
    EXPECT_FALSE(dialog.TimerPending(id)) << id;
}

TEST(UpgradeDialog, AFileThatIsNoPackageStopsTheSequenceAtTheCheck) {
  TempDir dir;
  WriteFile(dir.Path() + "/bad.dfu", "not a package");
  RecordingPrompt prompt;
  DFUpgradeDialog dialog(prompt);
  dialog.SetHasDFUDevice(1);
  dialog.StartUpgrade(dir.Path() + "/bad.dfu");
  dialog.show();
  ASSERT_TRUE(WaitFor([&] { return dialog.StatusText() == QStringLiteral("升级文件校验失败"); }));
  for (int id = dfu::TIMER_CHECK_FILE; id <= dfu::TIMER_FINISH; ++id)
    EXPECT_FALSE(dialog.TimerPending(id)) << id;
}

// Without a window, as brisknetd runs it: the same sequence runs by itself, its state is
// published step by step, and the reader comes back flashed and linked.
TEST_F(UpgradeTest, WithoutAWindowTheRequestedUpgradeRunsByItselfThroughItsStates) {
  TempDir staging;
  const std::string package = Package(staging.Path() + "/reader.dfu");
  sim::UsbReaderOptions options;
  RequestedBy(options, package);
  Plug(std::move(options));
  app::AppOptions appOptions;
  appOptions.trayWaitMs = 0;
  appOptions.watchSleep = false;
  m_controller = std::make_unique<app::LinkController>(m_prompt, appOptions);
  std::vector<QString> states{m_controller->State().upgradeState};
  std::optional<bool> ok;
  QObject::connect(m_controller.get(), &app::LinkController::stateChanged, [&] {
    if (states.back() != m_controller->State().upgradeState)
      states.push_back(m_controller->State().upgradeState);
  });
  QObject::connect(m_controller.get(), &app::LinkController::upgradeFinished,
                   [&](bool done, const QString&) { ok = done; });
  m_controller->OnInitDialog();
  ASSERT_TRUE(WaitFor([&] { return ok.has_value(); }, 120000));
  EXPECT_TRUE(*ok);
  ExpectFlashed();
  EXPECT_EQ(states, (std::vector<QString>{"idle", "downloading", "entering-dfu", "flashing",
                                          "verifying", "leaving", "done"}));
  EXPECT_TRUE(WaitFor([&] { return m_bus->NormalStarts() == 2 && m_controller->LinkUp(); }, 60000));
  EXPECT_TRUE(m_prompt.questions.empty());
}

TEST_F(UpgradeTest, TheReaderAsksForAPackageAndReturnsWithItFlashedAndRelinked) {
  TempDir staging;
  const std::string package = Package(staging.Path() + "/reader.dfu");
  auto server = sim::HttpServer::Start(true);
  ASSERT_TRUE(server);
  server->Serve("/fw/reader.dfu", package);
  sim::UsbReaderOptions options;
  options.upgradeUrl = server->BaseUrl() + "/fw/reader.dfu";
  options.upgradeDigest = sim::ReaderUpgrade::Md5(package);
  std::atomic<int> downloadEnd{-9};  // set on the reader's thread
  options.onUpgradeAnswer = [&downloadEnd](int state) { downloadEnd = state; };
  Plug(std::move(options));
  EXPECT_EQ(m_bus->FirmwareIdentity(), m_oldFirmware);

  Open([this](DFUpgradeDialog& d) { return Relinked(d); });
  ASSERT_TRUE(m_window->Controller().LinkUp());
  ASSERT_TRUE(WaitFor([&] { return m_dialogs == 1 && !m_dialog; }, 120000))
      << "dialogs " << m_dialogs << ", last status "
      << (m_statuses.empty() ? "" : m_statuses.back().toStdString());

  // The reader's last poll saw the download running or ready: it was told to enter DFU mode
  // before it asked again.
  EXPECT_TRUE(downloadEnd == 0 || downloadEnd == 1) << downloadEnd;
  EXPECT_EQ(server->RequestCount("/fw/reader.dfu"), 1u);
  const std::vector<QString> expected = {
      QStringLiteral("开始升级读卡器，请等待升级完成"),
      QStringLiteral("升级文件校验成功，正在查找DFU设备"),
      QStringLiteral("找到DFU设备，正在打开"),
      QStringLiteral("DFU设备打开成功，开始升级"),
      QStringLiteral("正在升级，请保持读卡器连接"),
      QStringLiteral("升级成功"),
      QStringLiteral("正在校验升级，请稍后"),
      QStringLiteral("校验成功"),
      kFinalText,
  };
  EXPECT_EQ(m_statuses, expected);
  // The byte count: nothing at the launch, then size x percent / 100, the whole at the end.
  ASSERT_FALSE(m_sizes.empty());
  EXPECT_EQ(m_sizes.front(), QStringLiteral("0 KB(0 Bytes) of 128 KB(131072 Bytes)"));
  EXPECT_EQ(m_sizes.back(), QStringLiteral("128 KB(131072 Bytes) of 128 KB(131072 Bytes)"));
  static const QRegularExpression form(
      QStringLiteral("^(\\d+) KB\\((\\d+) Bytes\\) of 128 KB\\(131072 Bytes\\)$"));
  for (const QString& s : m_sizes) {
    const auto m = form.match(s);
    ASSERT_TRUE(m.hasMatch()) << s.toStdString();
    int percent = 0;
    while (percent < 100 && 131072 * percent / 100 != m.captured(2).toInt()) ++percent;
    EXPECT_EQ(131072 * percent / 100, m.captured(2).toInt()) << s.toStdString();
    EXPECT_EQ(128 * percent / 100, m.captured(1).toInt()) << s.toStdString();
  }
  EXPECT_TRUE(m_prompt.messages.empty());

  ExpectFlashed();
  EXPECT_EQ(m_bus->Mode(), "mode normal");
  EXPECT_TRUE(m_window->Controller().LinkUp());
  EXPECT_EQ(m_window->PortLine(), QStringLiteral("当前使用的端口：COM1"));

  // The log, in order.
  // The callback hands over the verified package in the temporary folder; a copy went to the
  // cache.
  const std::string temporary = m_folders.Tmp() + "/";
  ASSERT_EQ(List(platform::DfuCacheFolder()).size(), 1u);
  const std::string text = m_log.Text();
  size_t at = 0;
  for (const std::string& line :
       {"OnUpgradeFileDownloadFinished " + temporary, "StartUpgrade path: " + temporary,
        std::string("Check DFU file success, m_HasDFUDevice = 1"),
        std::string("Find DFU Device success"), std::string("Select DFU Device success"),
        std::string("Launch Upgrade success"), std::string("Upgrade successful !"),
        std::string("Verify successful !")}) {
    const size_t found = text.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << text;
    at = found + line.size();
  }
  // The watchdog saw the port go while the dialog ran.
  EXPECT_TRUE(m_log.Has("could not find select com port"));
}

TEST_F(UpgradeTest, AReaderWaitingInDfuModeAtStartIsOfferedTheCachedPackageAndFlashed) {
  Cached();
  sim::UsbReaderOptions options;
  options.startInDfu = true;
  Plug(std::move(options));
  Open([this](DFUpgradeDialog& d) { return Relinked(d, 1); });
  EXPECT_FALSE(m_window->Controller().LinkUp());
  EXPECT_TRUE(m_window->Controller().TimerActive(app::TIMER_DFU_CHECK));
  EXPECT_EQ(m_window->Controller().TimerInterval(app::TIMER_DFU_CHECK), 2000);
  ASSERT_TRUE(DialogEnded(1)) << (m_statuses.empty() ? "" : m_statuses.back().toStdString());
  EXPECT_EQ(m_prompt.questions,
            std::vector<QString>{QStringLiteral("提示|检查到有设备需要升级，是否升级?")});
  EXPECT_FALSE(m_window->Controller().TimerActive(app::TIMER_DFU_CHECK));
  ASSERT_GE(m_statuses.size(), 5u);
  const std::vector<QString> first(m_statuses.begin(), m_statuses.begin() + 5);
  EXPECT_EQ(first,
            (std::vector<QString>{
                QStringLiteral("开始升级读卡器，请等待升级完成"), QStringLiteral("正在查找DFU设备"),
                QStringLiteral("找到DFU设备，正在打开"), QStringLiteral("正在查找匹配的升级包"),
                QStringLiteral("找到匹配的升级包,开始升级")}));
  EXPECT_EQ(m_statuses.back(), kFinalText);
  // The empty path: the dialog chose the package itself.
  bool emptyPath = false;
  for (std::string line : m_log.Lines()) {
    while (!line.empty() && line.back() == '\n') line.pop_back();
    const std::string tail = "StartUpgrade path: ";
    emptyPath |= line.size() >= tail.size() &&
                 line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
  }
  EXPECT_TRUE(emptyPath);
  ExpectFlashed();
}

TEST_F(UpgradeTest, NoToTheStartUpQuestionLeavesTheWindowShownAndTheReaderAlone) {
  Cached();
  m_prompt.answerYes = false;
  // A package ready while the question is open finds the upgrade already asked about.
  m_prompt.whileShown = [this](const QString&) {
    m_window->Controller().OnUpgradeFileDownloadFinished(m_folders.Tmp() + "/ready.dfu");
  };
  sim::UsbReaderOptions options;
  options.startInDfu = true;
  Plug(std::move(options));
  Open([](DFUpgradeDialog&) { return true; });
  ASSERT_TRUE(WaitFor([&] { return m_prompt.questions.size() == 1; }));
  WaitFor([] { return false; }, 1500);  // time for anything that should not happen
  EXPECT_TRUE(m_window->isVisible());
  EXPECT_EQ(m_dialogs, 0);
  EXPECT_EQ(m_bus->Mode(), "mode dfu");
  EXPECT_TRUE(StillOld());
  EXPECT_FALSE(m_log.Has("StartUpgrade"));
  EXPECT_TRUE(m_log.Has("left in the cache"));
  EXPECT_TRUE(m_prompt.messages.empty());  // no enter-DFU request went to the reader
}

// The package's identity is compared before the reader is told to restart in its boot loader:
// a wrong package never leaves it there with the link down.
TEST_F(UpgradeTest, APackageForAnotherProductNeverSendsTheReaderIntoDfuMode) {
  TempDir staging;
  sim::UsbReaderOptions options;
  RequestedBy(options, Package(staging.Path() + "/other.dfu", 0x0483, 0xDF11));
  Plug(std::move(options));
  Open([](DFUpgradeDialog&) { return true; });
  ASSERT_TRUE(WaitFor([&] { return !m_prompt.messages.empty(); }));
  EXPECT_EQ(m_prompt.messages, std::vector<QString>{QStringLiteral("升级文件与当前设备不匹配")});
  EXPECT_EQ(m_dialogs, 0);
  EXPECT_TRUE(m_log.Has("OnUpgradeFileDownloadFinished"));
  EXPECT_EQ(m_bus->Mode(), "mode normal");
  EXPECT_TRUE(StillOld());
}

TEST_F(UpgradeTest, ADownloadThatEndsWhileTheServiceIsOffOpensNoDialog) {
  TempDir staging;
  const std::string package = Package(staging.Path() + "/reader.dfu");
  sim::UsbReaderOptions options;
  RequestedBy(options, package);
  m_server->ServeHeld("/fw/reader.dfu", package, 1000);
  Plug(std::move(options));
  Open([](DFUpgradeDialog&) { return true; });
  ASSERT_TRUE(WaitFor([&] { return m_server->RequestCount("/fw/reader.dfu") == 1; }));
  m_window->Controller().OnSwitchOff();
  m_server->Release();
  ASSERT_TRUE(WaitFor([&] { return !m_prompt.messages.empty(); }));
  EXPECT_EQ(m_prompt.messages,
            std::vector<QString>{QStringLiteral("Notify Device Enter DFU Mode failed")});
  EXPECT_EQ(m_dialogs, 0);
  EXPECT_EQ(m_bus->Mode(), "mode normal");
}

TEST_F(UpgradeTest, AnUpgradeCutByAnUnplugIsOfferedAgainAtTheNextStartAndCompleted) {
  TempDir staging;
  sim::UsbReaderOptions options;
  RequestedBy(options, Package(staging.Path() + "/reader.dfu"));
  options.dfu.unplugAtBlock = 30;
  Plug(std::move(options));
  // The dialog names the failure and what to do instead of showing the write as running.
  const QString failed = QStringLiteral("升级失败（读卡器连接已断开），请重新插拔读卡器后重试升级");
  Open([&](DFUpgradeDialog& d) { return d.StatusText() == failed; });
  ASSERT_TRUE(DialogEnded(1));
  EXPECT_EQ(m_statuses.back(), failed);
  ASSERT_FALSE(m_sizes.empty());
  EXPECT_EQ(m_sizes.back(),
            QStringLiteral("write failed at download block 30 at 0x0800E000: the device left the "
                           "bus (0x12345007)"));
  EXPECT_TRUE(m_log.Has("upgrade failed: write failed at download block 30"));
  EXPECT_EQ(m_bus->Mode(), "unplugged");
  EXPECT_FALSE(m_log.Has("Upgrade successful !"));
  ASSERT_TRUE(m_bus->Replug());
  ASSERT_TRUE(WaitFor([&] { return m_bus->Mode() == "mode dfu"; }));
  Restart([this](DFUpgradeDialog& d) { return Relinked(d, 2); });
  ASSERT_TRUE(DialogEnded(2)) << (m_statuses.empty() ? "" : m_statuses.back().toStdString());
  EXPECT_EQ(m_prompt.questions.size(), 1u);
  EXPECT_EQ(m_statuses.back(), kFinalText);
  ExpectFlashed();
}

TEST_F(UpgradeTest, ClosingTheDialogDuringTheWriteStopsItAndLeavesTheReaderInDfuMode) {
  TempDir staging;
  sim::UsbReaderOptions options;
  RequestedBy(options, Package(staging.Path() + "/reader.dfu"));
  // Each block keeps the device busy 1.5 s, which a stop waits out before it settles it.
  options.dfu.writePollMs = 1500;
  Plug(std::move(options));
  Open([](DFUpgradeDialog& d) {
    return d.ProgressText().contains(QStringLiteral("Download Phase")) && d.Progress() > 0 &&
           d.Progress() < 100;
  });
  ASSERT_TRUE(DialogEnded(1));
  // The close returned without waiting for the device: the stop ends in the background.
  EXPECT_LT(m_closeTime, std::chrono::milliseconds(750));
  EXPECT_FALSE(m_log.Has("Upgrade successful !"));
  WaitFor([] { return false; }, 2000);  // a stopped operation stays stopped
  EXPECT_EQ(m_bus->Mode(), "mode dfu");
  EXPECT_FALSE(m_log.Has("Upgrade successful !"));
}

}  // namespace
}  // namespace brisk::test
