#pragma once
// The application object: the command line, one copy per session, the main window, and the
// exit on SIGTERM/SIGINT.
#include <QObject>
#include <memory>

#include "app/core/AppOptions.h"
#include "app/core/SessionProgram.h"
#include "platform/SingleInstanceLock.h"

namespace brisk::app {

class CBrisk7ServerDlg;
class DBusControl;
class LinkController;
class Prompt;

// --version, --help and --headless (brisknetd runs in this process's place), before any window
// system is touched. True when the program is to end now with *exitCode; false when it is to
// run.
bool HandleCommandLine(int argc, char** argv, int* exitCode);
// --autostart: the session's autostart started this copy, not a person.
bool StartedByAutostart(int argc, char** argv);

class CBrisk7ServerApp : public QObject {
  Q_OBJECT
 public:
  using Options = AppOptions;
  CBrisk7ServerApp(Prompt& prompt, Options options);
  ~CBrisk7ServerApp() override;

  // False when this copy is to end at once: another copy runs (it has been shown, or the
  // person told so). True with the window created and initialised.
  bool InitInstance();

  CBrisk7ServerDlg* Window() { return m_window.get(); }
  LinkController* Controller();

 protected:
  // A quit from outside (the session's end) takes the exit path first.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool TakeName();
  // Another copy runs: the person who started this one is told, the autostart only logged.
  void AlreadyRunning();

  Prompt& m_prompt;
  Options m_options;
  std::unique_ptr<platform::SingleInstanceLock> m_lock;
  SessionProgram m_program;
  // Goes before the controller it shows.
  std::unique_ptr<CBrisk7ServerDlg> m_window;
};

}  // namespace brisk::app
