#include "app/LogindSleep.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>

#include "log/Log.h"

namespace brisk::app {
namespace {
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
}  // namespace

bool IsOpenDescriptor(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

LogindSleepWatcher::LogindSleepWatcher(QObject* parent)
    : QObject(parent), m_bus(QDBusConnection::systemBus()) {
  if (!m_bus.isConnected()) {
    WriteLog("no system bus (%s): suspend and resume are not watched",
             m_bus.lastError().message().toUtf8().constData());
    return;
  }
  if (!m_bus.interface() || !m_bus.interface()->isServiceRegistered(kLogind).value()) {
    WriteLog("no logind on the system bus: suspend and resume are not watched");
    return;
  }
  m_available = m_bus.connect(kLogind, kLogindPath, kManager, "PrepareForSleep", this,
                              SLOT(OnPrepareForSleep(bool)));
  if (!m_available) WriteLog("PrepareForSleep cannot be watched: suspend and resume ignored");
}

LogindSleepWatcher::~LogindSleepWatcher() { ReleaseLock(); }

bool LogindSleepWatcher::TakeLock() {
  if (!m_available) return false;
  if (m_lockFd >= 0) return true;
  QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, "Inhibit");
  call << QStringLiteral("sleep") << QStringLiteral("BriskNetService")
       << QStringLiteral("Sends the card reader its disconnect notice") << QStringLiteral("delay");
  const QDBusReply<QDBusUnixFileDescriptor> reply = m_bus.call(call, QDBus::Block, 3000);
  if (!reply.isValid() || !reply.value().isValid()) {
    WriteLog("sleep inhibitor lock not taken: %s", reply.error().message().toUtf8().constData());
    return false;
  }
  // The reply's descriptor closes with it: keep a copy of our own.
  m_lockFd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
  if (m_lockFd < 0) WriteLog("sleep inhibitor lock not kept");
  return m_lockFd >= 0;
}

void LogindSleepWatcher::ReleaseLock() {
  if (m_lockFd < 0) return;
  close(m_lockFd);
  m_lockFd = -1;
}

void LogindSleepWatcher::OnPrepareForSleep(bool start) {
  // Some logind builds announce each transition twice.
  if (start == m_sleeping) return;
  m_sleeping = start;
  if (start)
    emit suspending();
  else
    emit resumed();
}

}  // namespace brisk::app
