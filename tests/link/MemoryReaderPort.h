#pragma once
// The reader's port in memory, for tests and fuzz targets: what the reader sends is fed in,
// what the link writes is taken out; each side may be used from any thread.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "link/ReaderPort.h"
#include "platform/WakeEvent.h"

namespace brisk::link {

class MemoryReaderPort : public ReaderPort {
 public:
  void Feed(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_in.insert(m_in.end(), bytes.begin(), bytes.end());
    if (!m_in.empty()) m_ready.Signal();
  }
  // Everything written since the last call.
  std::vector<uint8_t> TakeWritten() {
    std::lock_guard<std::mutex> guard(m_lock);
    return std::exchange(m_out, {});
  }
  // True when at least count bytes wait to be taken within timeoutMs.
  bool WaitWritten(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_written.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_out.size() >= count; });
  }
  // From now on reads report the port gone and writes fail, as an unplugged reader's do.
  void Unplug() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_gone = true;
    m_ready.Signal();
  }

  int Fd() const override { return m_ready.Fd(); }
  int ReadAvailable(uint8_t* buffer, size_t count) override {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_gone) return -1;
    const size_t n = std::min(count, m_in.size());
    std::memcpy(buffer, m_in.data(), n);
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(n));
    if (m_in.empty()) m_ready.Drain();
    return static_cast<int>(n);
  }
  int Write(const uint8_t* bytes, size_t count) override {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_gone) return -1;
      m_out.insert(m_out.end(), bytes, bytes + count);
    }
    m_written.notify_all();
    return static_cast<int>(count);
  }
  bool TakeLineErrors() override { return false; }
  void PurgeInput() override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_in.clear();
    if (!m_gone) m_ready.Drain();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_written;
  std::vector<uint8_t> m_in, m_out;
  bool m_gone = false;
  platform::WakeEvent m_ready;  // signalled while input waits or the port is gone
};

}  // namespace brisk::link
