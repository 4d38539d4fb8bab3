#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

namespace brisk::test {

ChildProcess::ChildProcess(std::vector<std::string> args, uid_t uid) {
  int out[2], err[2];
  if (args.empty() || pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  m_pid = fork();
  if (m_pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (uid > 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  m_fds[0] = out[0];
  m_fds[1] = err[0];
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && m_status < 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  for (int fd : m_fds)
    if (fd >= 0) close(fd);
}

void ChildProcess::Signal(int sig) {
  if (m_pid > 0 && m_status < 0) kill(m_pid, sig);
}

int ChildProcess::Wait(int timeoutMs) {
  if (m_status >= 0 || m_pid <= 0) return m_status;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    Drain(10);
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      Drain(0);
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 256;
      return m_status;
    }
  }
  return -1;
}

bool ChildProcess::WaitOutput(const std::string& text, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (m_out.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) return false;
    Drain(5);
  }
  return true;
}

// Reads what has come on either pipe, waiting at most ms for something to come.
void ChildProcess::Drain(int ms) {
  pollfd fds[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
  if (poll(fds, 2, ms) <= 0) return;
  char buf[4096];
  for (int i = 0; i < 2; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
    const ssize_t n = read(fds[i].fd, buf, sizeof buf);
    if (n > 0) (i == 0 ? m_out : m_err).append(buf, static_cast<size_t>(n));
  }
}

}  // namespace brisk::test
