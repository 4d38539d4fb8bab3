#pragma once
// The one seam between the link and the reader: the serial port in the product, a port in
// memory in tests and fuzzing (tests/link/MemoryReaderPort.h). The relay cannot tell them apart.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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

}  // namespace brisk::link
