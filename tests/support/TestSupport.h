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
    path_ = made ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) {
      const std::string cmd = "rm -rf '" + path_ + "'";
      [[maybe_unused]] int rc = std::system(cmd.c_str());
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Points TMPDIR (and so the log and the packages) at a private folder for one test.
class ScopedTmpdir {
 public:
  ScopedTmpdir() {
    const char* old = std::getenv("TMPDIR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TMPDIR", dir_.path().c_str(), 1);
  }
  ~ScopedTmpdir() {
    if (had_)
      setenv("TMPDIR", old_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  const std::string& path() const { return dir_.path(); }
  std::string LogFolder() const {
    return dir_.path() + "/BriskNetService-" + std::to_string(getuid());
  }
  std::string LogPath() const { return LogFolder() + "/brisk7.log"; }

 private:
  TempDir dir_;
  bool had_ = false;
  std::string old_;
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
