#include "app/Brisk7ServerApp.h"

#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QEvent>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/AboutDialog.h"
#include "app/Brisk7ServerDlg.h"
#include "app/Prompt.h"
#include "app/core/DBusControl.h"
#include "app/core/LinkController.h"
#include "app/core/SessionProgram.h"
#include "log/Log.h"
#include "platform/Autostart.h"

namespace brisk::app {
namespace {

constexpr const char* kAlreadyRunning =
    QT_TRANSLATE_NOOP("brisk::app::CBrisk7ServerApp", "程序已启动，请在托盘处打开");
constexpr int kShowCallTimeoutMs = 3000;

bool Executable(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// brisknetd beside this program (a build folder, /usr/bin), else on the PATH, else /usr/bin.
std::string HeadlessProgramPath() {
  const std::string self = platform::ProgramPath();
  const size_t slash = self.rfind('/');
  if (slash != std::string::npos && Executable(self.substr(0, slash + 1) + "brisknetd"))
    return self.substr(0, slash + 1) + "brisknetd";
  const char* path = getenv("PATH");
  std::string rest = path ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string folder = rest.substr(0, colon);
    if (!folder.empty() && Executable(folder + "/brisknetd")) return folder + "/brisknetd";
    if (colon == std::string::npos) break;
    rest.erase(0, colon + 1);
  }
  return "/usr/bin/brisknetd";
}

}  // namespace

bool StartedByAutostart(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--autostart") == 0) return true;
  return false;
}

bool HandleCommandLine(int argc, char** argv, int* exitCode) {
  *exitCode = 0;
  if (argc != 2) return false;
  const char* arg = argv[1];
  if (std::strcmp(arg, "--version") == 0) {
    std::printf("BriskNetService %s\n", ProductVersion());
    return true;
  }
  if (std::strcmp(arg, "--help") == 0) {
    std::printf(
        "Usage: BriskNetService [--version | --help | --headless | --autostart]\n"
        "\n"
        "The tray service of the USB identity-card reader: it links the reader's serial port\n"
        "to its platform server, and its window (from the tray icon) switches the service,\n"
        "the port and the network mode and reads and changes the reader's settings.\n"
        "One copy runs per session; starting it again shows the running copy's window.\n"
        "Other programs control it over D-Bus: %s at %s (see brisk-ctl).\n"
        "\n"
        "  --headless   run brisknetd in its place: the same service without a window\n"
        "  --autostart  as the session's autostart starts it: a copy already running is only\n"
        "               logged, not shown in a box\n",
        kBusName, kObjectPath);
    return true;
  }
  if (std::strcmp(arg, "--headless") == 0) {
    // The same process goes on as brisknetd: a service manager keeps the pid it started.
    const std::string program = HeadlessProgramPath();
    char name[] = "brisknetd";
    char* args[] = {name, nullptr};
    execv(program.c_str(), args);
    std::fprintf(stderr, "BriskNetService: cannot run %s: %s\n", program.c_str(),
                 std::strerror(errno));
    *exitCode = 1;
    return true;
  }
  // Anything else is Qt's own (-platform, -style, the -session of a restored X11 session),
  // --autostart, or left for the program to ignore.
  return false;
}

CBrisk7ServerApp::CBrisk7ServerApp(Prompt& prompt, Options options)
    : m_prompt(prompt), m_options(options), m_program(prompt, options) {}

CBrisk7ServerApp::~CBrisk7ServerApp() {
  qApp->removeEventFilter(this);
  m_window.reset();
}

LinkController* CBrisk7ServerApp::Controller() { return m_program.Controller(); }

bool CBrisk7ServerApp::TakeName() {
  switch (TakeSessionName(&m_lock)) {
    case SessionName::Taken:
    case SessionName::LockTaken:
      return true;
    case SessionName::LockHeldByOther:
      AlreadyRunning();
      return false;
    case SessionName::HeldByOther:
      break;
  }
  // Another copy holds the name: show its window, with the focus this start was given.
  QDBusConnection bus = QDBusConnection::sessionBus();
  QDBusMessage show =
      QDBusMessage::createMethodCall(kBusName, kObjectPath, kInterfaceName, "Activate");
  show << qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
  QDBusMessage answer = bus.call(show, QDBus::Block, kShowCallTimeoutMs);
  // A copy started before an upgrade of the package knows only Show.
  if (answer.type() == QDBusMessage::ErrorMessage &&
      answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod"))
    answer = bus.call(QDBusMessage::createMethodCall(kBusName, kObjectPath, kInterfaceName, "Show"),
                      QDBus::Block, kShowCallTimeoutMs);
  if (answer.type() != QDBusMessage::ReplyMessage) {
    WriteLog("the running copy did not answer Show: %s",
             answer.errorMessage().toUtf8().constData());
    AlreadyRunning();
  }
  return false;
}

void CBrisk7ServerApp::AlreadyRunning() {
  // At the session's start nobody asked for this copy: a box would only puzzle the person.
  if (m_options.autostarted) {
    WriteLog("another copy runs already: this one, started by the session, ends");
    return;
  }
  m_prompt.Message(nullptr, tr(kAlreadyRunning));
}

bool CBrisk7ServerApp::InitInstance() {
  if (!TakeName()) return false;
  m_program.Build();
  m_window = std::make_unique<CBrisk7ServerDlg>(*Controller(), m_prompt, m_options);
  m_program.CatchSignals();
  qApp->installEventFilter(this);
  m_window->OnInitDialog();
  return true;
}

bool CBrisk7ServerApp::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Quit && watched == qApp && !m_program.Quitting() && Controller()) {
    WriteLog("quit requested from outside");
    Controller()->OnTerminate();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace brisk::app
