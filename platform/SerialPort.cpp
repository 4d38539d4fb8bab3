#include "platform/SerialPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/Clock.h"

namespace brisk::platform {

namespace {

std::mutex g_folderLock;
std::string g_folder = "/dev";

speed_t BaudConstant(int baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return 0;
  }
}

// Drivers that do not implement an ioctl (a pty, an emulated node) answer one of these.
bool NotSupported(int err) { return err == ENOTTY || err == EINVAL || err == ENOSYS; }

// Waits until fd is ready for events or the deadline passes: 1 ready, 0 timed out, -1 gone.
int WaitReady(int fd, short events, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) return 0;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) return 0;
    if (p.revents & events) return 1;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return -1;
  }
}

}  // namespace

std::string SerialDevicePath(int port) {
  std::lock_guard<std::mutex> guard(g_folderLock);
  return g_folder + "/ttyACM" + std::to_string(port - 1);
}

int PortNameToNumber(const std::string& name) {
  if (name.size() <= 3) return 0;
  size_t i = 3;
  while (i < name.size() && std::isspace(static_cast<unsigned char>(name[i]))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == '-' || name[i] == '+')) negative = name[i++] == '-';
  long value = 0;
  for (int digits = 0; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    if (++digits > 8) return 0;
    value = value * 10 + (name[i] - '0');
  }
  return static_cast<int>(negative ? -value : value);
}

std::string PortNumberToName(int port) { return "COM" + std::to_string(port); }

std::string DescribeOpenFailure(const std::string& path, int* error) {
  *error = 0;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return std::strerror(*error);
  }
  std::string why = "it cannot be set up as a serial port";
  termios tio{};
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno;
    why = "in use by another program";
  } else if (tcgetattr(fd, &tio) != 0) {
    *error = errno;
    why = std::string("not a serial port (") + std::strerror(*error) + ")";
  }
  ::close(fd);
  return why;
}

void SetSerialDeviceFolder(const std::string& folder) {
  std::lock_guard<std::mutex> guard(g_folderLock);
  g_folder = folder;
}

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& path, int baud,
                                             const SerialTimeouts& timeouts) {
  const speed_t speed = BaudConstant(baud);
  if (speed == 0) return nullptr;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  auto fail = [fd]() -> std::unique_ptr<SerialPort> {
    ::close(fd);
    return nullptr;
  };
  // Not shared: a second opener in any process fails as on a busy port.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail();
  if (ioctl(fd, TIOCEXCL) != 0 && !NotSupported(errno)) return fail();

  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return fail();
  // Raw 8N1 at the given speed; flow control and the rest stay as the driver reported them.
  tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return fail();
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return fail();
  return std::unique_ptr<SerialPort>(new SerialPort(fd, path, timeouts));
}

SerialPort::SerialPort(int fd, std::string path, const SerialTimeouts& timeouts)
    : m_fd(fd), m_path(std::move(path)), m_timeouts(timeouts) {
  TakeLineErrors();  // start counting from now
}

SerialPort::~SerialPort() {
  if (m_fd >= 0) {
    ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
  }
}

int SerialPort::Read(uint8_t* buffer, size_t count, int maxWaitMs) {
  const int64_t start = NowMs();
  int64_t total = start + m_timeouts.readConstantMs +
                  static_cast<int64_t>(m_timeouts.readPerByteMs) * static_cast<int64_t>(count);
  if (maxWaitMs >= 0 && start + maxWaitMs < total) total = start + maxWaitMs;
  size_t got = 0;
  int64_t lastByte = 0;
  while (got < count) {
    int64_t deadline = total;
    if (got > 0 && lastByte + m_timeouts.readIntervalMs < deadline)
      deadline = lastByte + m_timeouts.readIntervalMs;
    const int ready = WaitReady(m_fd, POLLIN, deadline);
    if (ready < 0) {
      // The device hung up; hand over what arrived before, fail the next read.
      return got > 0 ? static_cast<int>(got) : -1;
    }
    if (ready == 0) break;
    const ssize_t n = ::read(m_fd, buffer + got, count - got);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return got > 0 ? static_cast<int>(got) : -1;
    }
    if (n == 0) return got > 0 ? static_cast<int>(got) : -1;  // end of file: the device is gone
    got += static_cast<size_t>(n);
    lastByte = NowMs();
  }
  return static_cast<int>(got);
}

int SerialPort::ReadAvailable(uint8_t* buffer, size_t count) {
  for (;;) {
    const ssize_t n = ::read(m_fd, buffer, count);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return -1;  // end of file: the device is gone
    if (errno == EINTR) continue;
    return errno == EAGAIN ? 0 : -1;
  }
}

int SerialPort::Write(const uint8_t* buffer, size_t count) {
  const int64_t deadline =
      NowMs() + m_timeouts.writeConstantMs +
      static_cast<int64_t>(m_timeouts.writePerByteMs) * static_cast<int64_t>(count);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(m_fd, buffer + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return -1;
    if (WaitReady(m_fd, POLLOUT, deadline) != 1) return -1;
  }
  return static_cast<int>(done);
}

int SerialPort::QueueSize() {
  int waiting = 0;
  if (ioctl(m_fd, FIONREAD, &waiting) == 0) return waiting;
  if (!NotSupported(errno)) return -1;
  pollfd p{m_fd, POLLIN, 0};
  if (poll(&p, 1, 0) < 0) return -1;
  return (p.revents & POLLIN) ? 1 : 0;
}

bool SerialPort::TakeLineErrors() {
  if (!m_countsErrors) return false;
  serial_icounter_struct counts{};
  if (ioctl(m_fd, TIOCGICOUNT, &counts) != 0) {
    // Not a UART (a pty): it never will count, so the relay does not ask again every frame.
    if (NotSupported(errno)) m_countsErrors = false;
    return false;
  }
  const uint64_t total = static_cast<uint64_t>(counts.frame) + counts.parity + counts.overrun +
                         counts.brk + counts.buf_overrun;
  const bool fresh = total != m_errorCount;
  m_errorCount = total;
  return fresh;
}

void SerialPort::PurgeInput() { tcflush(m_fd, TCIFLUSH); }

}  // namespace brisk::platform
