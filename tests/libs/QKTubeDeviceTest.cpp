// The driver-interface library over real libusb, against the DFU device model
// behind umockdev's usbdevfs emulation.
#include "libs/qktube/QKTubeDevice.h"
#include "sim/dfu/DfuUsbTestbed.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace brisk {
using namespace sim;

namespace {

// Devices after the first arrive by hotplug: retry until libusb has seen them.
uint32_t OpenWhenPresent(const std::string& path, QKDeviceHandle& handle) {
  uint32_t rc = QK_ERR_NOT_FOUND;
  test::Eventually(
      [&] { return (rc = QKDevice_Open(path.c_str(), &handle, nullptr)) != QK_ERR_NOT_FOUND; });
  return rc;
}

ClassRequest Make(uint8_t bRequest, bool toHost, uint16_t wValue, uint16_t wIndex,
                  uint32_t length) {
  ClassRequest r{};
  r.requestKind = QK_REQUEST_CLASS_INTERFACE;
  r.dataToHost = toHost ? 1 : 0;
  r.bRequest = bRequest;
  r.wValue = wValue;
  r.wIndex = wIndex;
  r.dataLength = length;
  return r;
}

class QKTubeDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = std::make_unique<DfuUsbDevice>(config);
    ASSERT_EQ(OpenWhenPresent(device->DevicePath(), handle), QK_OK);
    ASSERT_NE(handle, nullptr);
  }
  void TearDown() override {
    if (handle) QKDevice_Close(handle);
  }
  DfuDeviceModel& Model() { return device->Model(); }

  DfuDeviceConfig config;
  std::unique_ptr<DfuUsbDevice> device;
  QKDeviceHandle handle = nullptr;
};

TEST_F(QKTubeDeviceTest, ReadsTheStandardDescriptorsOfTheDevice) {
  uint8_t dd[18] = {};
  ASSERT_EQ(QKDevice_GetDeviceDescriptor(handle, dd), QK_OK);
  EXPECT_EQ(dd[0], 18);
  EXPECT_EQ(dd[1], 1);
  EXPECT_EQ(dd[8] | dd[9] << 8, 0x0483);
  EXPECT_EQ(dd[10] | dd[11] << 8, 0xA19B);
  EXPECT_EQ(dd[12] | dd[13] << 8, 0x2200);

  uint32_t n = 0;
  ASSERT_EQ(QKDevice_GetNbOfConfigurations(handle, &n), QK_OK);
  EXPECT_EQ(n, 1u);
  uint8_t cd[9] = {};
  ASSERT_EQ(QKDevice_GetConfigurationDescriptor(handle, 0, cd), QK_OK);
  EXPECT_EQ(cd[1], 2);
  EXPECT_EQ(cd[2] | cd[3] << 8, int(Model().ConfigurationDescriptor().size()));
  EXPECT_EQ(cd[4], 1);
  ASSERT_EQ(QKDevice_GetNbOfInterfaces(handle, 0, &n), QK_OK);
  EXPECT_EQ(n, 1u);
  ASSERT_EQ(QKDevice_GetNbOfAlternates(handle, 0, 0, &n), QK_OK);
  EXPECT_EQ(n, 2u);

  uint8_t id[9] = {};
  ASSERT_EQ(QKDevice_GetInterfaceDescriptor(handle, 0, 0, 1, id), QK_OK);
  EXPECT_EQ(id[1], 4);
  EXPECT_EQ(id[3], 1);     // bAlternateSetting
  EXPECT_EQ(id[5], 0xFE);  // application-specific class
  EXPECT_EQ(id[6], 0x01);  // DFU
  char text[256];
  ASSERT_EQ(QKDevice_GetStringDescriptor(handle, id[8], text, sizeof text), QK_OK);
  EXPECT_STREQ(text, "@Option Bytes  /0x1FFFF800/01*016 e");
  ASSERT_EQ(QKDevice_GetStringDescriptor(handle, 2, text, sizeof text), QK_OK);
  EXPECT_STREQ(text, "Brisk Reader DFU Mode");
}

TEST_F(QKTubeDeviceTest, RefusesIndicesOutsideTheDescriptors) {
  uint32_t n = 0;
  uint8_t buf[9];
  EXPECT_EQ(QKDevice_GetNbOfInterfaces(handle, 1, &n), QK_ERR_INDEX);
  EXPECT_EQ(QKDevice_GetNbOfAlternates(handle, 0, 1, &n), QK_ERR_INDEX);
  EXPECT_EQ(QKDevice_GetNbOfAlternates(handle, 0, 0xFFFFFFFF, &n), QK_ERR_INDEX);
  EXPECT_EQ(QKDevice_GetInterfaceDescriptor(handle, 0, 0, 2, buf), QK_ERR_INDEX);
  EXPECT_EQ(QKDevice_SelectCurrentConfiguration(handle, 0, 0, 2), QK_ERR_INDEX);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(QKDevice_GetNbOfInterfaces(handle, 0, nullptr), QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_GetStringDescriptor(handle, 0, reinterpret_cast<char*>(buf), sizeof buf),
            QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_GetStringDescriptor(handle, 2, reinterpret_cast<char*>(buf), 0),
            QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_GetStringDescriptor(handle, 200, reinterpret_cast<char*>(buf), sizeof buf),
            QK_ERR_STALL);
}

TEST_F(QKTubeDeviceTest, FindsTheClassDescriptorOfOneAlternateSetting) {
  uint8_t fd[12];
  std::memset(fd, 0xEE, sizeof fd);
  ASSERT_EQ(QKDevice_GetDescriptor(handle, QK_LEVEL_INTERFACE, 0x21, 0, 0, 1, 0, 0, fd, 9), QK_OK);
  EXPECT_EQ(fd[0], 9);
  EXPECT_EQ(fd[1], 0x21);
  EXPECT_EQ(fd[5] | fd[6] << 8, 2048);
  EXPECT_EQ(fd[7] | fd[8] << 8, 0x011A);
  EXPECT_EQ(fd[9], 0xEE) << "nothing beyond the asked size";

  std::memset(fd, 0xEE, sizeof fd);
  ASSERT_EQ(QKDevice_GetDescriptor(handle, QK_LEVEL_INTERFACE, 0x21, 0, 0, 1, 0, 0, fd, 4), QK_OK);
  EXPECT_EQ(fd[2], 0x0B);
  EXPECT_EQ(fd[3], 0xFF);  // low byte of wDetachTimeOut
  EXPECT_EQ(fd[4], 0xEE);

  EXPECT_EQ(QKDevice_GetDescriptor(handle, QK_LEVEL_INTERFACE, 0x21, 0, 0, 0, 0, 0, fd, 9),
            QK_ERR_NOT_PRESENT);
  EXPECT_EQ(QKDevice_GetDescriptor(handle, QK_LEVEL_INTERFACE, 0x21, 0, 0, 1, 1, 0, fd, 9),
            QK_ERR_NOT_PRESENT);
  EXPECT_EQ(QKDevice_GetDescriptor(handle, QK_LEVEL_CONFIGURATION, 0x21, 0, 0, 0, 0, 0, fd, 9),
            QK_ERR_NOT_PRESENT);
  EXPECT_EQ(QKDevice_GetDescriptor(handle, QK_LEVEL_INTERFACE, 0x21, 0, 1, 0, 0, 0, fd, 9),
            QK_ERR_INDEX);
  EXPECT_EQ(QKDevice_GetDescriptor(handle, 7, 0x21, 0, 0, 1, 0, 0, fd, 9), QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_GetDescriptor(handle, QK_LEVEL_INTERFACE, 0x21, 0, 0, 1, 0, 1, fd, 9),
            QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_GetDescriptor(handle, QK_LEVEL_INTERFACE, 0x21, 0, 0, 1, 0, 0, nullptr, 9),
            QK_ERR_ARGUMENT);
}

TEST_F(QKTubeDeviceTest, ControlPipeRequestBecomesOneClassTransfer) {
  uint8_t state = 0xFF;
  ClassRequest getState = Make(5, true, 0, 0, 1);
  ASSERT_EQ(QKDevice_ControlPipeRequest(handle, &getState, &state), QK_OK);
  EXPECT_EQ(state, dfu::dfuIDLE);

  const uint8_t command[5] = {0x21, 0x00, 0x04, 0x00, 0x08};
  ClassRequest dnload = Make(1, false, 0, 0, sizeof command);
  ASSERT_EQ(QKDevice_ControlPipeRequest(handle, &dnload, const_cast<uint8_t*>(command)), QK_OK);

  auto seen = Model().ClassRequests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].setup.bmRequestType, 0xA1);
  EXPECT_EQ(seen[0].setup.bRequest, 5);
  EXPECT_EQ(seen[0].setup.wLength, 1);
  EXPECT_EQ(seen[1].setup.bmRequestType, 0x21);
  EXPECT_EQ(seen[1].setup.bRequest, 1);
  EXPECT_EQ(seen[1].setup.wValue, 0);
  EXPECT_EQ(seen[1].data, std::vector<uint8_t>(command, command + 5));
}

TEST_F(QKTubeDeviceTest, RefusesMalformedRequestsWithoutSendingThem) {
  uint8_t byte = 0;
  ClassRequest wrongKind = Make(5, true, 0, 0, 1);
  wrongKind.requestKind = 0x1A;
  ClassRequest wrongDirection = Make(5, true, 0, 0, 1);
  wrongDirection.dataToHost = 2;
  ClassRequest tooLong = Make(1, false, 2, 0, 0x10000);
  ClassRequest noData = Make(1, false, 2, 0, 16);

  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &wrongKind, &byte), QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &wrongDirection, &byte), QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &tooLong, &byte), QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &noData, nullptr), QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, nullptr, &byte), QK_ERR_ARGUMENT);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(Model().ClassRequests().empty());
}

TEST_F(QKTubeDeviceTest, TwoHandlesOnOneDeviceEachReapTheirOwnTransfers) {
  QKDeviceHandle second = nullptr;
  ASSERT_EQ(OpenWhenPresent(device->DevicePath(), second), QK_OK);
  std::atomic<int> failures{0};
  auto ask = [&](QKDeviceHandle h) {
    for (int i = 0; i < 300; ++i) {
      uint8_t state = 0xFF;
      ClassRequest getState = Make(5, true, 0, 0, 1);
      if (QKDevice_ControlPipeRequest(h, &getState, &state) != QK_OK || state != dfu::dfuIDLE)
        ++failures;
    }
  };
  std::thread other(ask, second);
  ask(handle);
  other.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(QKDevice_Close(second), QK_OK);
}

TEST_F(QKTubeDeviceTest, StalledAndShortTransfersAreFailures) {
  ClassRequest clr = Make(4, false, 0, 0, 0);  // CLRSTATUS outside dfuERROR is refused
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &clr, nullptr), QK_ERR_STALL);
  EXPECT_EQ(errno, EPIPE);
  ASSERT_EQ(QKDevice_ControlPipeRequest(handle, &clr, nullptr), QK_OK);  // now in dfuERROR

  // 16 bytes of option bytes answer an upload that asks for 64.
  const uint8_t setAddress[5] = {0x21, 0x00, 0xF8, 0xFF, 0x1F};
  ClassRequest dnload = Make(1, false, 0, 0, 5);
  ASSERT_EQ(QKDevice_ControlPipeRequest(handle, &dnload, const_cast<uint8_t*>(setAddress)), QK_OK);
  uint8_t status[6];
  ClassRequest getStatus = Make(3, true, 0, 0, 6);
  ASSERT_EQ(QKDevice_ControlPipeRequest(handle, &getStatus, status), QK_OK);
  ASSERT_EQ(QKDevice_ControlPipeRequest(handle, &getStatus, status), QK_OK);
  ClassRequest abort = Make(6, false, 0, 0, 0);
  ASSERT_EQ(QKDevice_ControlPipeRequest(handle, &abort, nullptr), QK_OK);
  uint8_t data[64];
  ClassRequest upload = Make(2, true, 2, 0, sizeof data);
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &upload, data), QK_ERR_SHORT);
  EXPECT_EQ(data[0], 0xA5);
}

TEST_F(QKTubeDeviceTest, SelectsConfigurationInterfaceAndAlternate) {
  ASSERT_EQ(QKDevice_SelectCurrentConfiguration(handle, 0, 0, 1), QK_OK);
  ASSERT_TRUE(Model().SelectedAlternate().has_value());
  EXPECT_EQ(Model().SelectedAlternate()->first, 0);
  EXPECT_EQ(Model().SelectedAlternate()->second, 1);
  ASSERT_EQ(QKDevice_SelectCurrentConfiguration(handle, 0, 0, 0), QK_OK);
  EXPECT_EQ(Model().SelectedAlternate()->second, 0);
}

TEST_F(QKTubeDeviceTest, CutsAStringThatDoesNotFit) {
  char text[6];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(QKDevice_GetStringDescriptor(handle, 2, text, sizeof text), QK_ERR_BUFFER);
  EXPECT_STREQ(text, "Brisk");
  EXPECT_EQ(errno, ENOBUFS);
}

TEST_F(QKTubeDeviceTest, RefusesNullAndClosedHandles) {
  uint32_t n = 0;
  EXPECT_EQ(QKDevice_GetNbOfConfigurations(nullptr, &n), QK_ERR_HANDLE);
  EXPECT_EQ(errno, EBADF);
  ClassRequest getState = Make(5, true, 0, 0, 1);
  uint8_t state = 0;
  EXPECT_EQ(QKDevice_ControlPipeRequest(nullptr, &getState, &state), QK_ERR_HANDLE);
  ASSERT_EQ(QKDevice_Close(handle), QK_OK);
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &getState, &state), QK_ERR_HANDLE);
  EXPECT_EQ(QKDevice_Close(handle), QK_ERR_HANDLE);
  handle = nullptr;
  EXPECT_TRUE(Model().ClassRequests().empty());
}

TEST_F(QKTubeDeviceTest, AnUnpluggedDeviceReportsThatItIsGone) {
  device->Unplug();
  uint8_t state = 0;
  ClassRequest getState = Make(5, true, 0, 0, 1);
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &getState, &state), QK_ERR_NO_DEVICE);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_TRUE(device->WaitForDeparture(std::chrono::seconds(10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // its files are gone by now
  EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &getState, &state), QK_ERR_NO_DEVICE);
  uint8_t dd[18];
  EXPECT_EQ(QKDevice_GetDeviceDescriptor(handle, dd), QK_OK)
      << "descriptors stay readable from the cache";
}

TEST_F(QKTubeDeviceTest, OpensOnlyTheDeviceThePathNames) {
  QKDeviceHandle other = nullptr;
  std::string lower = device->DevicePath();
  for (auto& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_EQ(QKDevice_Open(lower.c_str(), &other, nullptr), QK_OK) << lower;
  EXPECT_EQ(QKDevice_Close(other), QK_OK);

  const std::string port = device->PortPath();
  const std::string guid = QK_DFU_CLASS_PRIMARY;
  EXPECT_EQ(QKDevice_Open(("USB#VID_0483&PID_A19C#" + port + "#" + guid).c_str(), &other, nullptr),
            QK_ERR_NOT_FOUND);
  EXPECT_EQ(QKDevice_Open(("USB#VID_0483&PID_A19B#1-99#" + guid).c_str(), &other, nullptr),
            QK_ERR_NOT_FOUND);
  EXPECT_EQ(QKDevice_Open(("USB#VID_0483&PID_A19B#2-" + port.substr(2) + "#" + guid).c_str(),
                          &other, nullptr),
            QK_ERR_NOT_FOUND);
  EXPECT_EQ(errno, ENOENT);

  const char* malformed[] = {
      "",
      "USB",
      "USB#VID_0483&PID_A19B#1-4",
      "USB#VID_0483&PID_A19B#1-4#{3FE809AB}",
      "USB#VID_483&PID_A19B#1-4#{3FE809AB-FB91-4CB5-A643-69670D52366E}",
      "USB#VID_0483&PID_A19G#1-4#{3FE809AB-FB91-4CB5-A643-69670D52366E}",
      "USB#VID_0483&PID_A19B#0-4#{3FE809AB-FB91-4CB5-A643-69670D52366E}",
      "USB#VID_0483&PID_A19B#1-#{3FE809AB-FB91-4CB5-A643-69670D52366E}",
      "USB#VID_0483&PID_A19B#1-4..2#{3FE809AB-FB91-4CB5-A643-69670D52366E}",
      "USB#VID_0483&PID_A19B#1-1.2.3.4.5.6.7.8#{3FE809AB-FB91-4CB5-A643-69670D52366E}",
      "USB#VID_0483&PID_A19B#1-4000#{3FE809AB-FB91-4CB5-A643-69670D52366E}",
      "USB#VID_0483&PID_A19B#1-4#{3FE809AB-FB91-4CB5-A643-69670D52366E}#",
      "HID#VID_0483&PID_A19B#1-4#{3FE809AB-FB91-4CB5-A643-69670D52366E}",
  };
  for (const char* path : malformed)
    EXPECT_EQ(QKDevice_Open(path, &other, nullptr), QK_ERR_ARGUMENT) << path;
  EXPECT_EQ(QKDevice_Open(nullptr, &other, nullptr), QK_ERR_ARGUMENT);
  EXPECT_EQ(QKDevice_Open(device->DevicePath().c_str(), nullptr, nullptr), QK_ERR_ARGUMENT);
  int reserved = 0;
  EXPECT_EQ(QKDevice_Open(device->DevicePath().c_str(), &other, &reserved), QK_ERR_ARGUMENT);
}

TEST_F(QKTubeDeviceTest, ListsThePathsOfDfuDevices) {
  char path[128];
  ASSERT_EQ(QKDevice_GetDfuDevicePath(0, path, sizeof path), QK_OK);
  EXPECT_EQ(std::string(path), device->DevicePath());
  EXPECT_EQ(QKDevice_GetDfuDevicePath(1, path, sizeof path), QK_ERR_NOT_FOUND);
  EXPECT_EQ(QKDevice_GetDfuDevicePath(0, path, 10), QK_ERR_BUFFER);
}

TEST(QKTubeDeviceNested, NamesADeviceBehindAHubByItsFullPortPath) {
  DfuUsbDevice device({}, "1-7.3");
  EXPECT_NE(device.DevicePath().find("#1-7.3#"), std::string::npos);
  QKDeviceHandle handle = nullptr;
  ASSERT_EQ(OpenWhenPresent(device.DevicePath(), handle), QK_OK);
  uint8_t dd[18];
  EXPECT_EQ(QKDevice_GetDeviceDescriptor(handle, dd), QK_OK);
  EXPECT_EQ(QKDevice_Close(handle), QK_OK);
}

}  // namespace

}  // namespace brisk
