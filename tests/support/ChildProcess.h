#pragma once
// A program running beside the test, its standard output and error collected as they come.
#include <sys/types.h>

#include <string>
#include <vector>

namespace brisk::test {

class ChildProcess {
 public:
  // args[0] is the program's path. With uid > 0 the child drops to that user (and group).
  explicit ChildProcess(std::vector<std::string> args, uid_t uid = 0);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int sig);
  // The exit status; 256 when a signal ended it; -1 when it did not end within the bound.
  int Wait(int timeoutMs = 20000);
  // Whether text has appeared on standard output within the bound.
  bool WaitOutput(const std::string& text, int timeoutMs = 10000);
  const std::string& Out() const { return m_out; }
  const std::string& Err() const { return m_err; }

 private:
  void Drain(int ms);
  pid_t m_pid = -1;
  int m_fds[2] = {-1, -1};
  int m_status = -1;
  std::string m_out, m_err;
};

}  // namespace brisk::test
