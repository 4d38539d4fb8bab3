#include "app/Brisk7ServerApp.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QEvent>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/AboutDialog.h"
#include "app/Brisk7ServerDlg.h"
#include "app/Prompt.h"
#include "app/core/DBusControl.h"
#include "app/core/LinkController.h"
#include "log/Log.h"

namespace brisk::app {
namespace {

constexpr const char* kAlreadyRunning =
    QT_TRANSLATE_NOOP("brisk::app::CBrisk7ServerApp", "程序已启动，请在托盘处打开");
constexpr int kShowCallTimeoutMs = 3000;

int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
}

}  // namespace

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
        "Usage: BriskNetService [--version | --help]\n"
        "\n"
        "The tray service of the USB identity-card reader: it links the reader's serial port\n"
        "to its platform server, and its window (from the tray icon) switches the service,\n"
        "the port and the network mode and reads and changes the reader's settings.\n"
        "One copy runs per session; starting it again shows the running copy's window.\n"
        "Other programs control it over D-Bus: %s at %s (see brisk-ctl).\n",
        kBusName, kObjectPath);
    return true;
  }
  // Anything else is Qt's own (-platform, -style, the -session of a restored X11 session) or
  // left for the program to ignore.
  return false;
}

CBrisk7ServerApp::CBrisk7ServerApp(Prompt& prompt, Options options)
    : m_prompt(prompt), m_options(options) {}

CBrisk7ServerApp::~CBrisk7ServerApp() {
  if (m_control) QDBusConnection::sessionBus().unregisterObject(kObjectPath);
  qApp->removeEventFilter(this);
  m_window.reset();
  m_controller.reset();
  if (g_signalPipe[0] >= 0) {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
  }
}

bool CBrisk7ServerApp::TakeSessionName() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    const auto reply =
        bus.interface()->registerService(kBusName, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
      return true;
    // Only a name with an owner means another copy; a refusal (a policy, an error reply)
    // leaves this one running, kept single by the lock file.
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceNotRegistered) {
      WriteLog("bus name %s not taken (%s): one copy kept by a lock file", kBusName,
               reply.error().message().toUtf8().constData());
      return TakeLockFile();
    }
    // Another copy holds the name: show its window, with the focus this start was given.
    QDBusMessage show =
        QDBusMessage::createMethodCall(kBusName, kObjectPath, kInterfaceName, "Activate");
    show << qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
    QDBusMessage answer = bus.call(show, QDBus::Block, kShowCallTimeoutMs);
    // A copy started before an upgrade of the package knows only Show.
    if (answer.type() == QDBusMessage::ErrorMessage &&
        answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod"))
      answer =
          bus.call(QDBusMessage::createMethodCall(kBusName, kObjectPath, kInterfaceName, "Show"),
                   QDBus::Block, kShowCallTimeoutMs);
    if (answer.type() != QDBusMessage::ReplyMessage) {
      WriteLog("the running copy did not answer Show: %s",
               answer.errorMessage().toUtf8().constData());
      m_prompt.Message(nullptr, tr(kAlreadyRunning));
    }
    return false;
  }
  WriteLog("no session bus (%s): one copy kept by a lock file",
           bus.lastError().message().toUtf8().constData());
  return TakeLockFile();
}

bool CBrisk7ServerApp::TakeLockFile() {
  const auto result =
      platform::SingleInstanceLock::Acquire(platform::SingleInstanceLockPath(), &m_lock);
  if (result == platform::SingleInstanceLock::Result::HeldByOther) {
    m_prompt.Message(nullptr, tr(kAlreadyRunning));
    return false;
  }
  // A lock that cannot be taken at all does not keep the program from running.
  if (result == platform::SingleInstanceLock::Result::Failed)
    WriteLog("single-instance lock file not usable: running anyway");
  return true;
}

bool CBrisk7ServerApp::InitInstance() {
  if (!TakeSessionName()) return false;
  m_controller = std::make_unique<LinkController>(m_prompt, m_options);
  m_window = std::make_unique<CBrisk7ServerDlg>(*m_controller, m_prompt, m_options);
  connect(
      m_controller.get(), &LinkController::quitRequested, this,
      [this](int code) {
        m_quitting = true;
        QCoreApplication::exit(code);
      },
      Qt::QueuedConnection);
  if (QDBusConnection::sessionBus().isConnected()) {
    m_control = new DBusControl(*m_controller);
    m_control->Register();
  }
  CatchTerminationSignals();
  qApp->installEventFilter(this);
  m_window->OnInitDialog();
  return true;
}

bool CBrisk7ServerApp::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Quit && watched == qApp && !m_quitting && m_controller) {
    WriteLog("quit requested from outside");
    m_controller->OnTerminate();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void CBrisk7ServerApp::CatchTerminationSignals() {
  if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    WriteLog("termination signals not caught: %s", std::strerror(errno));
    return;
  }
  m_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
  connect(m_signalNotifier, &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    // Every signal takes the exit path; a second one finds it on its way.
    m_controller->OnTerminate();
  });
  struct sigaction action = {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace brisk::app
