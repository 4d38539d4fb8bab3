#pragma once
// What the tray program and brisknetd share around the controller: one copy per session by the
// bus name (or a lock file where the bus refuses it), D-Bus control, and the exit path on
// SIGTERM and SIGINT.
#include <QObject>
#include <functional>
#include <memory>

#include "app/core/AppOptions.h"
#include "platform/SingleInstanceLock.h"

namespace brisk::app {

class DBusControl;
class LinkController;
class Prompt;

// The session's bus name: taken, held by another copy, or not to be had (no bus, a policy):
// then the lock file keeps one copy.
enum class SessionName { Taken, HeldByOther, LockTaken, LockHeldByOther };
SessionName TakeSessionName(std::unique_ptr<platform::SingleInstanceLock>* lock);

// Every SIGTERM and SIGINT calls onSignal on owner's thread, from its event loop.
void CatchTerminationSignals(QObject* owner, std::function<void()> onSignal);
void ReleaseTerminationSignals();

// The controller with its D-Bus control object and the exit path; quits the event loop once the
// exit path has ended. A view builds itself over Controller().
class SessionProgram : public QObject {
  Q_OBJECT
 public:
  SessionProgram(Prompt& prompt, AppOptions options);
  ~SessionProgram() override;
  // After the name was taken: builds the controller and registers the control object.
  void Build();
  // Starts catching the termination signals, which end the program through the exit path.
  void CatchSignals();
  LinkController* Controller() { return m_controller.get(); }
  DBusControl* Control() { return m_control; }
  bool Quitting() const { return m_quitting; }

 private:
  Prompt& m_prompt;
  AppOptions m_options;
  std::unique_ptr<LinkController> m_controller;
  DBusControl* m_control = nullptr;
  bool m_quitting = false;
  bool m_signals = false;
};

}  // namespace brisk::app
