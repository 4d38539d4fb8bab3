#pragma once
// What the tests share: private folders, environment changes that undo themselves, waiting for a
// condition, files, and the log watched in memory.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brisk::test {

// A fresh folder under $BRISK_TEST_SCRATCH (or /tmp), removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// Sets and unsets environment variables and puts back what was there when it ends.
class EnvGuard {
 public:
  EnvGuard() = default;
  ~EnvGuard();
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;
  void Set(const std::string& name, const std::string& value);
  void Unset(const std::string& name);

 private:
  void Remember(const std::string& name);
  std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// Points TMPDIR (and so the log and the packages) at a private folder for one test.
class ScopedTmpdir {
 public:
  ScopedTmpdir();
  const std::string& Path() const { return m_dir.Path(); }
  std::string LogFolder() const;
  std::string LogPath() const { return LogFolder() + "/brisk7.log"; }

 private:
  TempDir m_dir;
  EnvGuard m_env;
};

// Per-test TMPDIR and XDG_CONFIG_HOME, removed afterwards.
class ScopedFolders {
 public:
  ScopedFolders();
  const std::string& Root() const { return m_dir.Path(); }
  const std::string& Tmp() const { return m_tmp; }
  const std::string& Config() const { return m_config; }

 private:
  TempDir m_dir;
  EnvGuard m_env;
  std::string m_tmp, m_config;
};

// Polls pred until it holds or timeoutMs passes; the bound is generous, never a measurement.
bool Eventually(const std::function<bool()>& pred, int timeoutMs = 5000);

// A TCP socket listening on an ephemeral port of 127.0.0.1, its port in port; a receive buffer
// of receiveBuffer bytes when above 0 (set before the listen, so accepted sockets inherit it).
int ListenLoopback(int backlog, uint16_t& port, int receiveBuffer = 0);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// Names in a folder, without "." and "..".
std::vector<std::string> List(const std::string& folder);
// Deterministic bytes of the given size.
std::string Pattern(size_t size, unsigned seed = 1);

// Every log line written while it lives, in order, kept in memory. One at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const;
  std::string Text() const;  // the lines joined by '\n'
  bool Has(const std::string& text) const;
  bool WaitFor(const std::string& text, int timeoutMs = 5000) const;
  size_t Count(const std::string& text) const;

 private:
  static void Append(void* context, const char* line);
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

// A program run to its end, its output kept in files.
struct ProgramResult {
  int code = -1;  // -1: killed at the bound or by a signal
  std::string out, err;
};
struct ProgramRun {
  std::vector<std::string> env;  // NAME=value put on top of this process's environment
  bool envReplaces = false;      // env is the whole environment instead
  std::string folder;        // the working folder and where the output goes; empty: a temporary one
  int timeoutSeconds = 120;  // then it is killed
};
// args[0] is a path or a name looked up in PATH.
ProgramResult RunProgram(std::vector<std::string> args, const ProgramRun& how = {});

// A tool's standard output (empty when it failed), run without the preloads a test may run
// under: a sanitizer's runtime preloaded into the tool would bring it down.
std::string ToolOutput(std::vector<std::string> args);

}  // namespace brisk::test
