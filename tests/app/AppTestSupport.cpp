#include "tests/app/AppTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace brisk::test {

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!deadline.hasExpired()) {
    if (pred()) return true;
    QTest::qWait(10);
  }
  return pred();
}

namespace {
std::vector<std::string> Environment(const std::map<std::string, std::string>& extra,
                                     bool preloads) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if ((!preloads && name == "LD_PRELOAD") || extra.count(name)) continue;
    env.push_back(entry);
  }
  for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
  return env;
}
}  // namespace

std::vector<std::string> CleanEnvironment(const std::map<std::string, std::string>& extra) {
  return Environment(extra, false);
}

std::vector<std::string> ProgramEnvironment(const std::map<std::string, std::string>& extra) {
  return Environment(extra, true);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int stdoutFd,
            int stderrFd) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // A helper never outlives a test process that was killed.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  if (stdoutFd >= 0) dup2(stdoutFd, 1);
  if (stderrFd >= 0) dup2(stderrFd, 2);
  execvpe(args[0], args.data(), envp.data());
  _exit(127);
}

int WaitChild(pid_t pid, int timeoutMs) {
  int status = 0;
  const bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
  if (ended) return status;
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

PrivateBus::PrivateBus(const std::string& type, const std::string& extraPolicy) {
  m_folder = m_dir.Path();
  const std::string config = m_folder + "/bus.conf";
  std::ofstream(config) << "<busconfig><type>" << type << "</type><listen>unix:path=" << m_folder
                        << "/socket</listen><auth>EXTERNAL</auth>"
                        << "<policy context=\"default\"><allow user=\"*\"/>"
                        << "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                        << "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>" << extraPolicy
                        << "</busconfig>\n";
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  m_pid = Spawn({"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"},
                CleanEnvironment(), out[1]);
  close(out[1]);
  std::string line;
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  m_address = line;
}

PrivateBus::~PrivateBus() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
  }
}

std::string ProgramPath(const std::string& relative) {
  const char* dir = std::getenv("BRISK_TEST_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/" + relative;
}

}  // namespace brisk::test
