#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <cstring>

#include "platform/SerialPort.h"
#include "tests/support/TestSupport.h"

namespace brisk::platform {

namespace {

// A bare pty pair; the test plays the far end on the master.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    slave = ptsname(master);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
  int master = -1;
  std::string slave;
};

TEST(SerialDevicePath, MapsComNumbersToAcmNodes) {
  EXPECT_EQ(platform::SerialDevicePath(1), "/dev/ttyACM0");
  EXPECT_EQ(platform::SerialDevicePath(12), "/dev/ttyACM11");
  platform::SetSerialDeviceFolder("/tmp/x");
  EXPECT_EQ(platform::SerialDevicePath(3), "/tmp/x/ttyACM2");
  platform::SetSerialDeviceFolder("/dev");
}

TEST(SerialPort, OpensRaw8N1AtTheGivenSpeed) {
  Pty pty;
  auto port = platform::SerialPort::Open(pty.slave, 115200);
  ASSERT_NE(port, nullptr);
  termios tio{};
  ASSERT_EQ(tcgetattr(port->Fd(), &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B115200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST(SerialPort, SecondOpenerIsRefusedUntilTheFirstCloses) {
  Pty pty;
  auto first = platform::SerialPort::Open(pty.slave, 115200);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(platform::SerialPort::Open(pty.slave, 115200), nullptr);
  first.reset();
  EXPECT_NE(platform::SerialPort::Open(pty.slave, 115200), nullptr);
}

TEST(SerialPort, MissingDeviceAndUnknownSpeedFail) {
  Pty pty;
  EXPECT_EQ(platform::SerialPort::Open("/nonexistent/ttyACM9", 115200), nullptr);
  EXPECT_EQ(platform::SerialPort::Open(pty.slave, 12345), nullptr);
}

TEST(SerialPort, BytesPassBothWaysUnchanged) {
  Pty pty;
  auto port = platform::SerialPort::Open(pty.slave, 115200);
  ASSERT_NE(port, nullptr);
  // Bytes a line discipline would translate: CR, LF, XON/XOFF, Ctrl-C, DEL.
  const uint8_t out[] = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x7F, 0x00, 0xFF};
  ASSERT_EQ(port->Write(out, sizeof out), static_cast<int>(sizeof out));
  uint8_t seen[sizeof out] = {};
  size_t got = 0;
  while (got < sizeof out) {
    const ssize_t n = read(pty.master, seen + got, sizeof out - got);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ(0, memcmp(out, seen, sizeof out));

  ASSERT_EQ(write(pty.master, out, sizeof out), static_cast<ssize_t>(sizeof out));
  EXPECT_TRUE(test::Eventually([&] { return port->QueueSize() == static_cast<int>(sizeof out); }));
  uint8_t back[sizeof out] = {};
  ASSERT_EQ(port->Read(back, sizeof back), static_cast<int>(sizeof back));
  EXPECT_EQ(0, memcmp(out, back, sizeof out));
}

TEST(SerialPort, ReadEndsWithWhatArrivedWhenTheLineFallsSilent) {
  Pty pty;
  platform::SerialTimeouts quick;
  quick.readIntervalMs = 50;
  quick.readConstantMs = 200;
  auto port = platform::SerialPort::Open(pty.slave, 115200, quick);
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(write(pty.master, "ab", 2), 2);
  uint8_t buf[8] = {};
  EXPECT_EQ(port->Read(buf, sizeof buf), 2);
  EXPECT_EQ(port->Read(buf, sizeof buf), 0) << "nothing waiting: a time-out, not a failure";
}

TEST(SerialPort, PurgeDropsWaitingInput) {
  Pty pty;
  auto port = platform::SerialPort::Open(pty.slave, 115200);
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(write(pty.master, "garbage", 7), 7);
  ASSERT_TRUE(test::Eventually([&] { return port->QueueSize() == 7; }));
  port->PurgeInput();
  EXPECT_EQ(port->QueueSize(), 0);
}

TEST(SerialPort, VanishedDeviceReadsAsFailure) {
  Pty pty;
  auto port = platform::SerialPort::Open(pty.slave, 115200);
  ASSERT_NE(port, nullptr);
  close(pty.master);
  pty.master = -1;
  uint8_t buf[4];
  EXPECT_EQ(port->Read(buf, sizeof buf), -1);
}

}  // namespace

}  // namespace brisk::platform
