// The whole firmware upgrade of a 128 KiB package, from "download finished" to "linked again",
// with the tray program's window offscreen, the reader on the emulated USB bus and the package
// on a local HTTPS server; prints where the time goes.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/Brisk7ServerDlg.h"
#include "app/DFUpgradeDialog.h"
#include "app/Prompt.h"
#include "app/core/LinkController.h"
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "log/Log.h"
#include "sim/dfu/UmockdevPreload.h"
#include "sim/http/HttpServer.h"
#include "sim/usb/UsbReaderBus.h"

namespace {

using Clock = std::chrono::steady_clock;

class SilentPrompt : public brisk::app::Prompt {
 public:
  void Message(QObject*, const QString& text) override {
    std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
  }
  bool AskYesNo(QObject*, const QString&, const QString&) override { return true; }
};

// The first time each event was seen.
class Events {
 public:
  void Mark(const std::string& name) {
    std::lock_guard lock(m_lock);
    m_at.emplace(name, Clock::now());
  }
  bool Has(const std::string& name) {
    std::lock_guard lock(m_lock);
    return m_at.count(name) != 0;
  }
  double Ms(const std::string& from, const std::string& to) {
    std::lock_guard lock(m_lock);
    if (!m_at.count(from) || !m_at.count(to)) return -1;
    return std::chrono::duration<double, std::milli>(m_at[to] - m_at[from]).count();
  }

 private:
  std::mutex m_lock;
  std::map<std::string, Clock::time_point> m_at;
};

Events g_events;

void Sink(void*, const char* line) {
  for (const char* key :
       {"Call enter dfu callback", "OnUpgradeFileDownloadFinished", "Check DFU file success",
        "Find DFU Device success", "Select DFU Device success", "Launch Upgrade success",
        "Upgrade successful !", "Verify successful !", "could not find select com port"})
    if (std::strstr(line, key)) g_events.Mark(key);
}

std::string MakeTemp() {
  char pattern[] = "/tmp/brisk-bench-XXXXXX";
  return mkdtemp(pattern) ? pattern : "";
}

}  // namespace

int main(int argc, char** argv) {
  if (!brisk::sim::EnsureUmockdevPreload(argv, "bench_upgrade")) return 1;
  const std::string work = MakeTemp();
  setenv("TMPDIR", (work + "/tmp").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (work + "/config").c_str(), 1);
  mkdir((work + "/tmp").c_str(), 0700);
  mkdir((work + "/config").c_str(), 0700);
  mkdir((work + "/config/BriskNetService").c_str(), 0700);
  if (FILE* f = std::fopen((work + "/config/BriskNetService/setting.ini").c_str(), "w")) {
    std::fputs("[Set]\nLog=1\n", f);  // the log carries the step marks
    std::fclose(f);
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("BriskNetService"));
  QApplication::setQuitOnLastWindowClosed(false);

  // A 128 KiB image for the boot loader's identity.
  constexpr uint32_t kSize = 128 * 1024;
  std::vector<uint8_t> data(kSize);
  for (uint32_t i = 0; i < kSize; ++i) data[i] = uint8_t(i * 31 + 7);
  const std::string path = work + "/reader.dfu";
  MXUPDFILES_IMAGE image = nullptr;
  MXUPDFILES_CreateImage(&image, 0, "Internal Flash");
  ImageElement element{0x08000000, kSize, data.data()};
  MXUPDFILES_AppendImageElement(image, &element);
  MXUPDFILES_WriteDFUFile(path.c_str(), 0x0483, 0xA19B, 0x0100, &image, 1);
  MXUPDFILES_DestroyImage(&image);
  std::string package;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) package.append(buf, n);
    std::fclose(f);
  }
  auto server = brisk::sim::HttpServer::Start(true);
  if (!server || package.empty()) {
    std::fprintf(stderr, "bench_upgrade: no package server\n");
    return 1;
  }
  server->Serve("/reader.dfu", package);

  brisk::SetLogSink(&Sink, nullptr);
  brisk::sim::UsbReaderOptions options;
  options.upgradeUrl = server->BaseUrl() + "/reader.dfu";
  options.upgradeDigest = brisk::sim::ReaderUpgrade::Md5(package);
  options.onChange = [](const std::string& text, uint32_t) {
    if (text == "mode dfu") g_events.Mark("reader in DFU mode");
    if (text == "mode normal" && g_events.Has("reader in DFU mode"))
      g_events.Mark("reader back in normal mode");
  };
  brisk::sim::UsbReaderBus bus(options);

  SilentPrompt prompt;
  brisk::app::CBrisk7ServerDlg::Options windowOptions;
  windowOptions.trayWaitMs = 0;
  windowOptions.watchSleep = false;
  brisk::app::LinkController controller(prompt, windowOptions);
  brisk::app::CBrisk7ServerDlg window(controller, prompt, windowOptions);
  QObject::connect(&window, &brisk::app::CBrisk7ServerDlg::upgradeDialogShown,
                   [&](brisk::app::DFUpgradeDialog* dialog) {
                     g_events.Mark("dialog shown");
                     QObject::connect(dialog, &brisk::app::DFUpgradeDialog::sizeTextChanged,
                                      [](const QString& t) {
                                        if (!t.startsWith(QStringLiteral("0 KB")))
                                          g_events.Mark("write seen");
                                      });
                     QObject::connect(dialog, &brisk::app::DFUpgradeDialog::statusChanged,
                                      [](const QString& t) {
                                        if (t.startsWith(QStringLiteral("升级完成")))
                                          g_events.Mark("leave started");
                                      });
                     auto* watch = new QTimer(dialog);
                     QObject::connect(watch, &QTimer::timeout, [&window, &controller, dialog] {
                       if (g_events.Has("reader back in normal mode") && controller.LinkUp() &&
                           window.PortLine() == QStringLiteral("当前使用的端口：COM1")) {
                         g_events.Mark("linked again");
                         dialog->close();
                       }
                     });
                     watch->start(5);
                   });
  window.OnInitDialog();
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (!g_events.Has("linked again") && Clock::now() < deadline)
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  brisk::SetLogSink(nullptr, nullptr);
  if (!g_events.Has("linked again")) {
    std::fprintf(stderr, "bench_upgrade: the upgrade did not complete\n");
    return 1;
  }
  const std::vector<uint8_t> memory = bus.Memory();
  const bool flashed =
      memory.size() >= kSize && std::equal(data.begin(), data.end(), memory.begin());

  struct Row {
    const char* what;
    const char* from;
    const char* to;
  };
  const Row rows[] = {
      {"callback to the window's handler", "Call enter dfu callback",
       "OnUpgradeFileDownloadFinished"},
      {"command 15 and the dialog's first step timer, file check", "OnUpgradeFileDownloadFinished",
       "Check DFU file success"},
      {"  (re-enumeration into DFU mode, from the handler)", "OnUpgradeFileDownloadFinished",
       "reader in DFU mode"},
      {"step timer 3 and the device search", "Check DFU file success", "Find DFU Device success"},
      {"step timer 4, open, descriptors, memory map", "Find DFU Device success",
       "Select DFU Device success"},
      {"step timer 5 and the erase launch", "Select DFU Device success", "Launch Upgrade success"},
      {"erase (to the first write poll, 300 ms resolution)", "Launch Upgrade success",
       "write seen"},
      {"write", "write seen", "Upgrade successful !"},
      {"read-back and compare", "Upgrade successful !", "Verify successful !"},
      {"step timer 7 and the leave launch", "Verify successful !", "leave started"},
      {"leave and re-enumeration in normal mode", "leave started", "reader back in normal mode"},
      {"watchdog re-link", "reader back in normal mode", "linked again"},
  };
  std::printf("upgrade of a 128 KiB package, download finished -> linked again: %.0f ms%s\n",
              g_events.Ms("Call enter dfu callback", "linked again"),
              flashed ? "" : " (MEMORY DIFFERS)");
  for (const Row& r : rows) std::printf("  %-58s %7.0f ms\n", r.what, g_events.Ms(r.from, r.to));
  std::printf("  fixed step-timer waits inside: 5 x 500 ms, polls every 300 ms\n");
  std::string cmd = "rm -rf '" + work + "'";
  [[maybe_unused]] int rc = std::system(cmd.c_str());
  return flashed ? 0 : 1;
}
