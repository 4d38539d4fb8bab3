#pragma once
// The one seam between the link and the reader: the serial port in the product, a port in
// memory in tests and fuzzing. The relay cannot tell them apart.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/WakeEvent.h"

namespace brisk::link {

class ReaderPort {
 public:
  virtual ~ReaderPort() = default;
  // A descriptor that poll() reports readable (or failed) when input waits.
  virtual int Fd() const = 0;
  // What waits, without waiting: bytes read, 0 when nothing waits after all, -1 when the port
  // is gone.
  virtual int ReadAvailable(uint8_t* buffer, size_t count) = 0;
  // Bytes written, or -1 when the write failed.
  virtual int Write(const uint8_t* bytes, size_t count) = 0;
  // True when line errors (framing, parity, overrun, break) were seen since the last call.
  virtual bool TakeLineErrors() = 0;
  virtual void PurgeInput() = 0;
};

// The reader's serial port at path, or nullptr when it cannot be opened and configured.
std::unique_ptr<ReaderPort> OpenSerialReaderPort(const std::string& path, int baud);

// A port in memory: what the reader sends is fed in, what the link writes is taken out; each
// side may be used from any thread.
class MemoryReaderPort : public ReaderPort {
 public:
  void Feed(const std::vector<uint8_t>& bytes);
  // Everything written since the last call.
  std::vector<uint8_t> TakeWritten();
  // True when at least count bytes wait to be taken within timeoutMs.
  bool WaitWritten(size_t count, int timeoutMs);
  // From now on reads report the port gone and writes fail, as an unplugged reader's do.
  void Unplug();

  int Fd() const override { return m_ready.Fd(); }
  int ReadAvailable(uint8_t* buffer, size_t count) override;
  int Write(const uint8_t* bytes, size_t count) override;
  bool TakeLineErrors() override { return false; }
  void PurgeInput() override;

 private:
  std::mutex m_lock;
  std::condition_variable m_writtenChanged;
  std::vector<uint8_t> m_in, m_out;
  bool m_gone = false;
  platform::WakeEvent m_ready;  // signalled while input waits or the port is gone
};

}  // namespace brisk::link
