#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace brisk::platform {

// COM<n> stands for <folder>/ttyACM<n-1>; the folder is /dev unless a test points it elsewhere.
std::string SerialDevicePath(int port);
// The decimal number after a port name's first three characters, read as atoi does ("COM12"
// gives 12); 0 when there is none or it has more than eight digits (no such port).
int PortNameToNumber(const std::string& name);
// "COM<n>".
std::string PortNumberToName(int port);
// Why a device cannot be opened as a serial port, in words for a person ("Permission denied",
// "in use by another program", ...); *error gets the system's error number (0 when none).
std::string DescribeOpenFailure(const std::string& path, int* error);
void SetSerialDeviceFolder(const std::string& folder);

// Read and write deadlines, in the shape of the reader link's port time-outs.
struct SerialTimeouts {
  int readIntervalMs = 1000;  // longest silence between two bytes of one read
  int readPerByteMs = 2;
  int readConstantMs = 1000;
  int writePerByteMs = 2;
  int writeConstantMs = 1000;
};

// An exclusively opened serial port in raw 8N1 mode.
class SerialPort {
 public:
  // nullptr when the device cannot be opened, is held by another opener, or cannot be configured.
  static std::unique_ptr<SerialPort> Open(const std::string& path, int baud,
                                          const SerialTimeouts& timeouts = {});
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Bytes read (0 when the deadline passed with nothing), or -1 when the device failed or vanished.
  // maxWaitMs >= 0 shortens the read's deadline.
  int Read(uint8_t* buffer, size_t count, int maxWaitMs = -1);
  // One read of what is waiting, without waiting, once poll reported input: bytes read, 0 when
  // nothing waits after all, -1 when the device failed or vanished (a hung-up terminal reads
  // as end of file).
  int ReadAvailable(uint8_t* buffer, size_t count);
  // Bytes written, or -1 when the write failed or did not finish in time.
  int Write(const uint8_t* buffer, size_t count);

  // Bytes waiting in the input queue; 1 when the driver cannot tell but input is ready; -1 on
  // failure.
  int QueueSize();
  // True when the driver counted framing, parity, overrun or break errors since the last call.
  bool TakeLineErrors();
  // Throws away everything waiting in the input queue.
  void PurgeInput();

  int Fd() const { return m_fd; }
  const std::string& Path() const { return m_path; }

 private:
  SerialPort(int fd, std::string path, const SerialTimeouts& timeouts);
  int m_fd;
  std::string m_path;
  SerialTimeouts m_timeouts;
  uint64_t m_errorCount = 0;
  bool m_countsErrors = true;  // false once the driver said it keeps no error counters
};

}  // namespace brisk::platform
