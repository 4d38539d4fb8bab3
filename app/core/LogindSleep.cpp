#include "app/core/LogindSleep.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include "log/Log.h"

namespace brisk::app {
namespace {
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr int kInhibitTimeoutMs = 3000;
}  // namespace

bool IsOpenDescriptor(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

// Every call to the system bus is asynchronous: a slow or stuck logind never holds up the
// window's thread, which must stay free to send the reader its notice before sleep.
LogindSleepWatcher::LogindSleepWatcher(QObject* parent)
    : QObject(parent), m_bus(QDBusConnection::systemBus()) {
  if (!m_bus.isConnected()) {
    WriteLog("no system bus (%s): suspend and resume are not watched",
             m_bus.lastError().message().toUtf8().constData());
    return;
  }
  QDBusMessage ask = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  ask << QString::fromLatin1(kLogind);
  auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    const QDBusPendingReply<bool> owned = *w;
    if (!owned.isValid() || !owned.value()) {
      WriteLog("no logind on the system bus: suspend and resume are not watched");
      return;
    }
    m_available = m_bus.connect(kLogind, kLogindPath, kManager, "PrepareForSleep", this,
                                SLOT(OnPrepareForSleep(bool)));
    if (!m_available) {
      WriteLog("PrepareForSleep cannot be watched: suspend and resume ignored");
      return;
    }
    if (m_wantLock) RequestLock();
  });
}

LogindSleepWatcher::~LogindSleepWatcher() { ReleaseLock(); }

void LogindSleepWatcher::TakeLock() {
  m_wantLock = true;
  if (m_available && m_lockFd < 0 && !m_lockPending) RequestLock();
}

void LogindSleepWatcher::RequestLock() {
  QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, "Inhibit");
  call << QStringLiteral("sleep") << QStringLiteral("BriskNetService")
       << QStringLiteral("Sends the card reader its disconnect notice") << QStringLiteral("delay");
  m_lockPending = true;
  auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kInhibitTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    m_lockPending = false;
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
    if (!reply.isValid() || !reply.value().isValid()) {
      WriteLog("sleep inhibitor lock not taken: %s", reply.error().message().toUtf8().constData());
      return;
    }
    // Released while the request was on its way: the lock is not kept.
    if (!m_wantLock || m_lockFd >= 0) return;
    // The reply's descriptor closes with it: keep a copy of our own.
    m_lockFd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (m_lockFd < 0) WriteLog("sleep inhibitor lock not kept");
  });
}

void LogindSleepWatcher::ReleaseLock() {
  m_wantLock = false;
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
