#pragma once
// Shared pieces of the downloader and transfer tests.
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/Md5.h"
#include "download/UpgradeDownloader.h"

namespace brisk::test {

inline std::string Md5Text(const std::string& data, bool upper = true) {
  download::Md5Context context;
  download::Md5Init(&context);
  download::Md5Update(&context, data.data(), static_cast<uint32_t>(data.size()));
  download::Md5Final(&context);
  char text[33];
  download::HexEncode(text, context.digest, 16);
  std::string out(text, 32);
  if (upper)
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The tests talk to 127.0.0.1 only; a proxy from the environment must not get in between.
inline void ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
                           "all_proxy", "no_proxy", "NO_PROXY"})
    unsetenv(name);
}

// Records every call of the enter-DFU callback.
struct CallbackLog {
  std::mutex mutex;
  std::vector<std::string> paths;
  std::vector<std::thread::id> threads;
  void Record(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex);
    paths.push_back(path);
    threads.push_back(std::this_thread::get_id());
  }
  download::EnterDfuCallback Callback() {
    return [this](const std::string& path) { Record(path); };
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(mutex);
    return paths.size();
  }
  // State 0 is reported before the copy and the call; both follow on the worker.
  bool WaitForCalls(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(60000);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Count() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
};

}  // namespace brisk::test
