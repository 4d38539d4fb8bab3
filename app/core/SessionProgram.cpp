#include "app/core/SessionProgram.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "app/core/DBusControl.h"
#include "app/core/LinkController.h"
#include "log/Log.h"

namespace brisk::app {
namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
}

SessionName TakeLockFile(std::unique_ptr<platform::SingleInstanceLock>* lock) {
  const auto result =
      platform::SingleInstanceLock::Acquire(platform::SingleInstanceLockPath(), lock);
  if (result == platform::SingleInstanceLock::Result::HeldByOther)
    return SessionName::LockHeldByOther;
  // A lock that cannot be taken at all does not keep the program from running.
  if (result == platform::SingleInstanceLock::Result::Failed)
    WriteLog("single-instance lock file not usable: running anyway");
  return SessionName::LockTaken;
}

}  // namespace

SessionName TakeSessionName(std::unique_ptr<platform::SingleInstanceLock>* lock) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    WriteLog("no session bus (%s): one copy kept by a lock file",
             bus.lastError().message().toUtf8().constData());
    return TakeLockFile(lock);
  }
  const auto reply =
      bus.interface()->registerService(kBusName, QDBusConnectionInterface::DontQueueService,
                                       QDBusConnectionInterface::DontAllowReplacement);
  if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
    return SessionName::Taken;
  // Only a name with an owner means another copy; a refusal (a policy, an error reply) leaves
  // this one running, kept single by the lock file.
  if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceNotRegistered) {
    WriteLog("bus name %s not taken (%s): one copy kept by a lock file", kBusName,
             reply.error().message().toUtf8().constData());
    return TakeLockFile(lock);
  }
  return SessionName::HeldByOther;
}

void CatchTerminationSignals(QObject* owner, std::function<void()> onSignal) {
  if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    WriteLog("termination signals not caught: %s", std::strerror(errno));
    return;
  }
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [onSignal = std::move(onSignal)] {
    char bytes[16];
    while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    onSignal();
  });
  struct sigaction action = {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void ReleaseTerminationSignals() {
  if (g_signalPipe[0] < 0) return;
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
}

SessionProgram::SessionProgram(Prompt& prompt, AppOptions options)
    : m_prompt(prompt), m_options(options) {}

SessionProgram::~SessionProgram() {
  if (m_control) QDBusConnection::sessionBus().unregisterObject(kObjectPath);
  m_controller.reset();
  if (m_signals) ReleaseTerminationSignals();
}

void SessionProgram::Build() {
  m_controller = std::make_unique<LinkController>(m_prompt, m_options);
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
}

void SessionProgram::CatchSignals() {
  m_signals = true;
  // Every signal takes the exit path; a second one finds it on its way.
  CatchTerminationSignals(this, [this] { m_controller->OnTerminate(); });
}

}  // namespace brisk::app
