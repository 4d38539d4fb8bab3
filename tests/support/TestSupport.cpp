#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "log/Log.h"

extern char** environ;

namespace brisk::test {

TempDir::TempDir() {
  const char* base = std::getenv("BRISK_TEST_SCRATCH");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/brisk-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  m_path = pattern;
}

TempDir::~TempDir() {
  // A test may have taken the write bit away; removal must still succeed.
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(m_path, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(m_path, ignored);
}

EnvGuard::~EnvGuard() {
  for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
    if (it->second)
      setenv(it->first.c_str(), it->second->c_str(), 1);
    else
      unsetenv(it->first.c_str());
  }
}

void EnvGuard::Remember(const std::string& name) {
  const char* old = std::getenv(name.c_str());
  m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
}

void EnvGuard::Set(const std::string& name, const std::string& value) {
  Remember(name);
  setenv(name.c_str(), value.c_str(), 1);
}

void EnvGuard::Unset(const std::string& name) {
  Remember(name);
  unsetenv(name.c_str());
}

ScopedTmpdir::ScopedTmpdir() { m_env.Set("TMPDIR", m_dir.Path()); }

std::string ScopedTmpdir::LogFolder() const {
  return m_dir.Path() + "/BriskNetService-" + std::to_string(getuid());
}

ScopedFolders::ScopedFolders() : m_tmp(m_dir.Path() + "/tmp"), m_config(m_dir.Path() + "/config") {
  mkdir(m_tmp.c_str(), 0700);
  mkdir(m_config.c_str(), 0700);
  m_env.Set("TMPDIR", m_tmp);
  m_env.Set("XDG_CONFIG_HOME", m_config);
}

bool Eventually(const std::function<bool()>& pred, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

int ListenLoopback(int backlog, uint16_t& port, int receiveBuffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> List(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

LogCapture::LogCapture() { SetLogSink(&LogCapture::Append, this); }
LogCapture::~LogCapture() { SetLogSink(nullptr, nullptr); }

void LogCapture::Append(void* context, const char* line) {
  auto* self = static_cast<LogCapture*>(context);
  std::lock_guard<std::mutex> guard(self->m_mutex);
  self->m_lines.emplace_back(line);
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_lines;
}

std::string LogCapture::Text() const {
  std::string text;
  for (const std::string& line : Lines()) text += line + "\n";
  return text;
}

bool LogCapture::Has(const std::string& text) const { return Count(text) > 0; }

size_t LogCapture::Count(const std::string& text) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  size_t n = 0;
  for (const std::string& line : m_lines)
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

bool LogCapture::WaitFor(const std::string& text, int timeoutMs) const {
  return Eventually([&] { return Has(text); }, timeoutMs);
}

std::string ToolOutput(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) envp.push_back(*e);
  envp.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  if (rc == 0) waitpid(pid, &status, 0);
  return rc == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : std::string();
}

ProgramResult RunProgram(std::vector<std::string> args, const ProgramRun& how) {
  TempDir temporary;
  const std::string folder = how.folder.empty() ? temporary.Path() : how.folder;
  const std::string outPath = folder + "/stdout", errPath = folder + "/stderr";
  std::vector<std::string> env;
  if (!how.envReplaces)
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string& x : how.env) replaced = replaced || x.rfind(name, 0) == 0;
      if (!replaced) env.push_back(entry);
    }
  env.insert(env.end(), how.env.begin(), how.env.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (!how.folder.empty() && chdir(how.folder.c_str()) != 0) _exit(126);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ProgramResult r;
  int status = 0;
  bool killed = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(how.timeoutSeconds);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      killed = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!killed && WIFEXITED(status)) r.code = WEXITSTATUS(status);
  r.out = ReadFile(outPath);
  r.err = ReadFile(errPath);
  return r;
}

}  // namespace brisk::test
