#pragma once
// Small helpers shared by the tests: private temporary folders, log reading, waiting.
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace testing_support {

// A fresh folder under the system temporary folder, removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/brisk-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    m_path = made ? made : "";
  }
  ~TempDir() {
    if (!m_path.empty()) {
      const std::string cmd = "rm -rf '" + m_path + "'";
      [[maybe_unused]] int rc = std::system(cmd.c_str());
    }
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// Points TMPDIR (and so the log and the packages) at a private folder for one test.
class ScopedTmpdir {
 public:
  ScopedTmpdir() {
    const char* old = std::getenv("TMPDIR");
    m_had = old != nullptr;
    if (m_had) m_old = old;
    setenv("TMPDIR", m_dir.path().c_str(), 1);
  }
  ~ScopedTmpdir() {
    if (m_had)
      setenv("TMPDIR", m_old.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  const std::string& path() const { return m_dir.path(); }
  std::string LogFolder() const {
    return m_dir.path() + "/BriskNetService-" + std::to_string(getuid());
  }
  std::string LogPath() const { return LogFolder() + "/brisk7.log"; }

 private:
  TempDir m_dir;
  bool m_had = false;
  std::string m_old;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Polls pred until it holds or timeoutMs passes; the bound is generous, never a measurement.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

}  // namespace testing_support
