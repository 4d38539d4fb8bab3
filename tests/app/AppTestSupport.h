#pragma once
// Shared by the window tests: a prompt that records, private D-Bus daemons, child programs
// and event-loop waits.
#include <sys/types.h>

#include <QString>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/core/Prompt.h"
#include "tests/support/TestSupport.h"

namespace brisk::test {
using app::Prompt;

// Answers every message box and question without showing anything.
class RecordingPrompt : public Prompt {
 public:
  void Message(QObject*, const QString& text) override {
    messages.push_back(text);
    if (whileShown) whileShown(text);
  }
  bool AskYesNo(QObject*, const QString& title, const QString& text) override {
    questions.push_back(title + QStringLiteral("|") + text);
    if (whileShown) whileShown(text);
    return answerYes;
  }
  // What happens while a box is open (its event loop runs): called with the box's text.
  std::function<void(const QString&)> whileShown;
  std::vector<QString> messages;
  std::vector<QString> questions;
  bool answerYes = true;
};

// Runs the Qt event loop until pred holds or a generous limit passes.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 20000);

// The environment of this process without the preloads, for helper programs that are not
// under test (a dbus-daemon, python).
std::vector<std::string> CleanEnvironment(const std::map<std::string, std::string>& extra = {});
// The same with the preloads, for the program under test (it sees the emulated bus).
std::vector<std::string> ProgramEnvironment(const std::map<std::string, std::string>& extra = {});

// Starts argv with env; -1 when it could not be started. stdoutFd, stderrFd: where its output
// and its errors go (-1: inherited).
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            int stdoutFd = -1, int stderrFd = -1);
// Waits for pid while the event loop runs; the raw wait status, or -1 on time-out (the child
// is then killed).
int WaitChild(pid_t pid, int timeoutMs = 30000);

// A dbus-daemon of its own ("session" or "system" type) in a private folder; extraPolicy:
// <policy> elements added to its configuration.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& type, const std::string& extraPolicy = "");
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;
  const std::string& Address() const { return m_address; }

 private:
  test::TempDir m_dir;  // removed once the daemon has ended
  std::string m_folder;
  std::string m_address;
  pid_t m_pid = -1;
};

// The built program, from the build folder the tests run in.
std::string ProgramPath(const std::string& relative);

}  // namespace brisk::test
