// The longest stall of the window's event loop while the reader takes its time: a 10 ms timer's
// lateness during each reader command against a reader that answers after 1 s and one that
// never answers, the network test, and a suspend arriving in the middle of a test.
// Run: umockdev-wrapper build/default/bench/app/bench_app_stall   (target: no stall > 16 ms,
// one frame)
#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <string>

#include "app/Brisk7ServerDlg.h"
#include "app/core/LinkController.h"
#include "app/core/Prompt.h"
#include "platform/devices/ReaderIdentities.h"
#include "sim/reader/ReaderSim.h"
#include "tests/platform/devices/ReaderTestbed.h"
#include "tests/support/TestSupport.h"

namespace {

using brisk::app::CBrisk7ServerDlg;
using brisk::sim::Answer;

class QuietPrompt : public brisk::app::Prompt {
 public:
  void Message(QObject*, const QString&) override {}
  bool AskYesNo(QObject*, const QString&, const QString&) override { return false; }
};

// The largest lateness of a 10 ms timer while the loop runs until done() holds.
struct StallMeter {
  double Run(const std::function<void()>& start, const std::function<bool()>& done,
             int limitMs = 120000) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.elapsed();
    double worst = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const qint64 now = clock.elapsed();
      worst = std::max(worst, static_cast<double>(now - last - 10));
      last = now;
    });
    tick.start(10);
    start();
    while (!done() && clock.elapsed() < limitMs)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    // The stall of the call that started the operation counts too.
    const qint64 now = clock.elapsed();
    worst = std::max(worst, static_cast<double>(now - last - 10));
    return worst;
  }
};

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  brisk::test::TempDir config;
  brisk::test::ScopedTmpdir tmp;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  brisk::test::ReaderTestbed testbed;
  QApplication application(argc, argv);
  const auto& identity = brisk::platform::devices::kReaderIdentities[0];
  char vendor[8], product[8];
  std::snprintf(vendor, sizeof vendor, "%04x", identity.vendorId);
  std::snprintf(product, sizeof product, "%04x", identity.productId);
  testbed.AddUsbSerial("1-1", vendor, product, 0);
  auto reader = brisk::sim::ReaderSim::Attach(testbed.MasterFd(0));
  QuietPrompt prompt;
  CBrisk7ServerDlg::Options options;
  options.trayWaitMs = 0;
  options.watchDevices = false;
  options.watchSleep = false;
  brisk::app::LinkController controller(prompt, options);
  CBrisk7ServerDlg window(controller, prompt, options);
  StallMeter meter;
  const auto idle = [&] { return !controller.CommandBusy(); };
  const double startStall = meter.Run([&] { window.OnInitDialog(); }, idle);
  if (!controller.LinkUp()) {
    std::fprintf(stderr, "the reader did not link\n");
    return 1;
  }
  const auto button = [&](const char* name) {
    return window.findChild<QAbstractButton*>(QString::fromLatin1(name));
  };
  std::printf("%-34s %10s %10s\n", "operation", "1 s answer", "no answer");
  std::printf("%-34s %10.0f %10s\n", "start (answers at once)", startStall, "-");
  struct Command {
    const char* name;
    uint8_t type;
    const char* button;
  };
  const Command commands[] = {{"authorization query", 7, "authQueryButton"},
                              {"platform query", 9, "platformQueryButton"},
                              {"connection status query", 3, "connectStatusButton"},
                              {"heartbeat query", 17, "heartbeatQueryButton"}};
  for (const Command& c : commands) {
    double stalls[2];
    for (int silent = 0; silent < 2; ++silent) {
      Answer answer;
      answer.kind = silent ? Answer::Kind::Silent : Answer::Kind::Reply;
      answer.payload = {1};
      answer.delayMs = 1000;
      reader->SetAnswer(c.type, answer);
      stalls[silent] = meter.Run([&] { button(c.button)->click(); }, idle);
    }
    reader->ClearAnswer(c.type);
    std::printf("%-34s %10.0f %10.0f\n", c.name, stalls[0], stalls[1]);
  }
  // The network test: ten probes.
  Answer slow;
  slow.payload = {0, 10, 0};
  slow.delayMs = 1000;
  reader->SetAnswer(12, slow);
  const double testStall = meter.Run([&] { button("networkTestButton")->click(); }, idle);
  std::printf("%-34s %10.0f %10s\n", "network test (10 probes)", testStall, "-");
  // A suspend in the middle of a test against a reader that never answers it.
  Answer never;
  never.kind = Answer::Kind::Silent;
  reader->SetAnswer(12, never);
  button("networkTestButton")->click();
  QElapsedTimer wait;
  wait.start();
  while (wait.elapsed() < 1500) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  const double suspendStall = meter.Run([&] { controller.OnSuspend(); }, idle);
  std::printf("%-34s %10s %10.0f\n", "suspend during a network test", "-", suspendStall);
  // The window is built when it is first shown (target < 100 ms).
  CBrisk7ServerDlg later(controller, prompt, options);
  QElapsedTimer shown;
  shown.start();
  later.show();
  QCoreApplication::processEvents();
  std::printf("%-34s %10lld ms\n", "first showing of a second window", shown.elapsed());
  return 0;
}
