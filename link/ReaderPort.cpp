#include "link/ReaderPort.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/SerialPort.h"

namespace brisk::link {

namespace {

class SerialReaderPort : public ReaderPort {
 public:
  explicit SerialReaderPort(std::unique_ptr<platform::SerialPort> port) : m_port(std::move(port)) {}
  int Fd() const override { return m_port->Fd(); }
  int ReadAvailable(uint8_t* buffer, size_t count) override {
    return m_port->ReadAvailable(buffer, count);
  }
  int Write(const uint8_t* bytes, size_t count) override { return m_port->Write(bytes, count); }
  bool TakeLineErrors() override { return m_port->TakeLineErrors(); }
  void PurgeInput() override { m_port->PurgeInput(); }

 private:
  std::unique_ptr<platform::SerialPort> m_port;
};

}  // namespace

std::unique_ptr<ReaderPort> OpenSerialReaderPort(const std::string& path, int baud) {
  auto port = platform::SerialPort::Open(path, baud);
  if (!port) return nullptr;
  return std::make_unique<SerialReaderPort>(std::move(port));
}

void MemoryReaderPort::Feed(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_in.insert(m_in.end(), bytes.begin(), bytes.end());
  if (!m_in.empty()) m_ready.Signal();
}

std::vector<uint8_t> MemoryReaderPort::TakeWritten() {
  std::lock_guard<std::mutex> guard(m_lock);
  return std::exchange(m_out, {});
}

bool MemoryReaderPort::WaitWritten(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_writtenChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return m_out.size() >= count; });
}

void MemoryReaderPort::Unplug() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_gone = true;
  m_ready.Signal();
}

int MemoryReaderPort::ReadAvailable(uint8_t* buffer, size_t count) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_gone) return -1;
  const size_t n = std::min(count, m_in.size());
  std::memcpy(buffer, m_in.data(), n);
  m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(n));
  if (m_in.empty()) m_ready.Drain();
  return static_cast<int>(n);
}

int MemoryReaderPort::Write(const uint8_t* bytes, size_t count) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_gone) return -1;
    m_out.insert(m_out.end(), bytes, bytes + count);
  }
  m_writtenChanged.notify_all();
  return static_cast<int>(count);
}

void MemoryReaderPort::PurgeInput() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_in.clear();
  if (!m_gone) m_ready.Drain();
}

}  // namespace brisk::link
