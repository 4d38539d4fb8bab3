#pragma once
// Suspend and resume from logind's PrepareForSleep on the system bus, with a delay inhibitor
// lock so that the reader gets its disconnect notice before the machine sleeps.
#include <QDBusConnection>
#include <QObject>

namespace brisk::app {

class LogindSleepWatcher : public QObject {
  Q_OBJECT
 public:
  explicit LogindSleepWatcher(QObject* parent = nullptr);
  ~LogindSleepWatcher() override;

  // False when there is no system bus or no logind (logged once), or until logind has been
  // found; the program runs without.
  bool Available() const { return m_available; }
  // Asks for a delay lock unless one is held or asked for; it is held once logind answers.
  void TakeLock();
  // Closes the held lock, if any; a lock still on its way is closed when it comes.
  void ReleaseLock();
  // A lock is asked for or held (between TakeLock and ReleaseLock), logind or not.
  bool LockWanted() const { return m_wantLock; }
  // The descriptor of the held lock, -1 when none.
  int LockFd() const { return m_lockFd; }

 signals:
  void suspending();
  void resumed();

 private slots:
  void OnPrepareForSleep(bool start);

 private:
  void RequestLock();

  QDBusConnection m_bus;
  bool m_available = false;
  bool m_wantLock = false;
  bool m_lockPending = false;
  bool m_sleeping = false;
  int m_lockFd = -1;
};

// True when fd names an open descriptor of this process.
bool IsOpenDescriptor(int fd);

}  // namespace brisk::app
