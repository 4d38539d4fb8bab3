// brisknetd: the card reader's service without a window. The same link controller, timers,
// D-Bus control, sleep handling and upgrades as the tray program; what the tray program shows
// in a box goes to standard error (the journal) and out as the bus signal Notice.
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/core/DBusControl.h"
#include "app/core/LinkController.h"
#include "app/core/NoticePrompt.h"
#include "app/core/SessionProgram.h"
#include "log/Journal.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("brisknetd %s\n", BRISK_PRODUCT_VERSION);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::printf(
        "Usage: brisknetd [--version | --help]\n"
        "\n"
        "The card reader's service without a window: it links the reader's serial port to its\n"
        "platform server, and runs the reader's firmware upgrades, as the tray program does.\n"
        "Its messages go to standard error (the journal under systemd) and out as the D-Bus\n"
        "signal Notice. One copy runs per session; it is controlled over D-Bus: %s at %s\n"
        "(see brisk-ctl).\n",
        brisk::app::kBusName, brisk::app::kObjectPath);
    return 0;
  }
  QCoreApplication application(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("brisknetd"));
  QCoreApplication::setApplicationVersion(QStringLiteral(BRISK_PRODUCT_VERSION));
  std::unique_ptr<brisk::platform::SingleInstanceLock> lock;
  const brisk::app::SessionName name = brisk::app::TakeSessionName(&lock);
  if (name == brisk::app::SessionName::HeldByOther ||
      name == brisk::app::SessionName::LockHeldByOther) {
    // Exit status 0: a service manager that restarts on failure does not start it again.
    brisk::WriteStderr(brisk::LogPriority::Warning,
                       "brisknetd: another copy runs in this session already; this one ends");
    return 0;
  }
  brisk::app::NoticePrompt prompt;
  brisk::app::SessionProgram program(prompt, {});
  program.Build();
  if (program.Control()) program.Control()->SetWindowless();
  program.CatchSignals();
  program.Controller()->OnInitDialog();
  return QCoreApplication::exec();
}
