// The DFU request library through the driver-interface library and real libusb,
// against the DFU device model behind umockdev's usbdevfs emulation.
#include "libs/mxupd/MXUPD.h"
#include "libs/qktube/QKTubeDevice.h"
#include "sim/dfu/DfuUsbTestbed.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace brisk {
using namespace sim;

namespace {

uint32_t OpenWhenPresent(const std::string& path, MXUPD_HANDLE& handle) {
  uint32_t rc = MXUPD_ERR_NOT_FOUND;
  test::Eventually([&] { return (rc = MXUPD_Open(path.c_str(), &handle)) != MXUPD_ERR_NOT_FOUND; });
  return rc;
}

class MXUPDTest : public ::testing::Test {
 protected:
  // These tests look at the requests themselves: the device takes no busy time.
  void Plug(DfuDeviceConfig config = {}) {
    config.busyScale = 0;
    device = std::make_unique<DfuUsbDevice>(std::move(config));
    ASSERT_EQ(OpenWhenPresent(device->DevicePath(), handle), MXUPD_OK);
    ASSERT_NE(handle, nullptr);
  }
  void TearDown() override {
    if (handle) MXUPD_Close(&handle);
  }
  DfuDeviceModel& Model() { return device->Model(); }

  // Getstatus until dfuIDLE, clearing errors on the way (bounded).
  void Settle() {
    DfuStatusRecord st{};
    for (int i = 0; i < 8; ++i) {
      ASSERT_EQ(MXUPD_Getstatus(&handle, &st), MXUPD_OK);
      if (st.bState == MXUPD_STATE_DFU_IDLE) return;
      MXUPD_Clrstatus(&handle);
    }
    FAIL() << "the device did not settle";
  }

  std::unique_ptr<DfuUsbDevice> device;
  MXUPD_HANDLE handle = nullptr;
};

TEST_F(MXUPDTest, NullPointersAreRefusedBeforeAnythingIsSent) {
  Plug();
  Model().ClearRequests();
  uint8_t buffer[16] = {};
  uint32_t a = 0, b = 0;
  DfuStatusRecord st{};
  DfuFunctionalDescriptor fd{};
  UsbDeviceDescriptor dd{};
  UsbConfigurationDescriptor cd{};
  UsbInterfaceDescriptor id{};
  char text[32];

  EXPECT_EQ(MXUPD_Detach(nullptr, 0), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Dnload(nullptr, buffer, 1, 0), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Upload(nullptr, buffer, 1, 2), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Getstatus(nullptr, &st), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Clrstatus(nullptr), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Getstate(nullptr, buffer), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Abort(nullptr), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Close(nullptr), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetDeviceDescriptor(nullptr, &dd), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetNbOfConfigurations(nullptr, &a), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetConfigurationDescriptor(nullptr, 0, &cd), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetNbOfInterfaces(nullptr, 0, &a), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetNbOfAlternates(nullptr, 0, 0, &a), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetInterfaceDescriptor(nullptr, 0, 0, 0, &id), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetStringDescriptor(nullptr, 1, text, sizeof text), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_SelectCurrentConfiguration(nullptr, 0, 0, 1), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetDFUDescriptor(nullptr, &a, &b, &fd), MXUPD_ERR_ARGUMENT);

  // Null buffers, even for the zero-length download that ends a transfer.
  EXPECT_EQ(MXUPD_Dnload(&handle, nullptr, 0, 0), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Dnload(&handle, nullptr, 16, 2), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Upload(&handle, nullptr, 16, 2), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Getstatus(&handle, nullptr), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_Getstate(&handle, nullptr), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetDFUDescriptor(&handle, nullptr, &b, &fd), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetDFUDescriptor(&handle, &a, nullptr, &fd), MXUPD_ERR_ARGUMENT);
  EXPECT_EQ(MXUPD_GetDFUDescriptor(&handle, &a, &b, nullptr), MXUPD_ERR_ARGUMENT);

  EXPECT_TRUE(Model().Requests().empty());
  EXPECT_NE(handle, nullptr);
}

TEST_F(MXUPDTest, DetachAddressesTheChosenInterfaceAndForgetsTheHandle) {
  DfuDeviceConfig config;
  for (uint8_t n = 0; n < 4; ++n)
    config.interfaces.push_back({n, {{-1, "@Internal Flash  /0x08000000/128*002Kg"}}});
  Plug(config);

  ASSERT_EQ(MXUPD_Detach(&handle, 3), MXUPD_OK);
  EXPECT_EQ(handle, nullptr);
  auto seen = Model().ClassRequests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].setup.bmRequestType, 0x21);
  EXPECT_EQ(seen[0].setup.bRequest, 0);
  EXPECT_EQ(seen[0].setup.wValue, 5000);
  EXPECT_EQ(seen[0].setup.wIndex, 3);
  EXPECT_EQ(seen[0].setup.wLength, 0);
  EXPECT_TRUE(device->WaitForNormalMode(std::chrono::seconds(10)));

  // The nulled variable reaches the driver-interface library as a null handle.
  uint8_t state = 0;
  EXPECT_EQ(MXUPD_Getstate(&handle, &state), QK_ERR_HANDLE);
}

TEST_F(MXUPDTest, AFailedDetachKeepsTheDeviceOpen) {
  Plug();
  Model().RefuseRequest(MXUPD_REQ_DETACH);
  MXUPD_HANDLE before = handle;
  EXPECT_EQ(MXUPD_Detach(&handle, 0), QK_ERR_STALL);
  EXPECT_EQ(handle, before);
  EXPECT_EQ(MXUPD_Clrstatus(&handle), MXUPD_OK);
  uint8_t state = 0xFF;
  EXPECT_EQ(MXUPD_Getstate(&handle, &state), MXUPD_OK);
  EXPECT_EQ(state, MXUPD_STATE_DFU_IDLE);
}

TEST_F(MXUPDTest, ClassRequestsCarryTheirFieldsAsTheDeviceSeesThem) {
  Plug();
  Model().ClearRequests();
  uint8_t state = 0xFF;
  ASSERT_EQ(MXUPD_Getstate(&handle, &state), MXUPD_OK);
  EXPECT_EQ(state, MXUPD_STATE_DFU_IDLE);
  const uint8_t command[5] = {0x21, 0x00, 0x00, 0x00, 0x08};
  ASSERT_EQ(MXUPD_Dnload(&handle, command, 5, 0x10000),
            MXUPD_OK);  // only the low 16 bits are the block
  Settle();
  uint8_t data[16];
  ASSERT_EQ(MXUPD_Upload(&handle, data, sizeof data, 2), MXUPD_OK);
  ASSERT_EQ(MXUPD_Abort(&handle), MXUPD_OK);

  auto seen = Model().ClassRequests();
  ASSERT_GE(seen.size(), 5u);
  EXPECT_EQ(seen[0].setup.bmRequestType, 0xA1);
  EXPECT_EQ(seen[0].setup.bRequest, 5);
  EXPECT_EQ(seen[0].setup.wLength, 1);
  EXPECT_EQ(seen[1].setup.bmRequestType, 0x21);
  EXPECT_EQ(seen[1].setup.bRequest, 1);
  EXPECT_EQ(seen[1].setup.wValue, 0);
  EXPECT_EQ(seen[1].setup.wIndex, 0);
  EXPECT_EQ(seen[1].data, std::vector<uint8_t>(command, command + 5));
  EXPECT_EQ(seen[2].setup.bmRequestType, 0xA1);
  EXPECT_EQ(seen[2].setup.bRequest, 3);
  EXPECT_EQ(seen[2].setup.wLength, 6);
  const auto& upload = seen[seen.size() - 2].setup;
  EXPECT_EQ(upload.bmRequestType, 0xA1);
  EXPECT_EQ(upload.bRequest, 2);
  EXPECT_EQ(upload.wValue, 2);
  EXPECT_EQ(upload.wLength, 16);
  EXPECT_EQ(seen.back().setup.bRequest, 6);
  EXPECT_EQ(seen.back().setup.bmRequestType, 0x21);
}

TEST_F(MXUPDTest, GetstatusClosesTheDeviceOnlyInTheManifestStates) {
  DfuDeviceConfig config;
  config.attributes = 0x03;  // waits in dfuMANIFEST-WAIT-RESET instead of detaching
  Plug(config);
  DfuStatusRecord st{};
  ASSERT_EQ(MXUPD_Getstatus(&handle, &st), MXUPD_OK);
  EXPECT_EQ(st.bState, MXUPD_STATE_DFU_IDLE);
  EXPECT_NE(handle, nullptr);

  const uint8_t command[5] = {0x21, 0x00, 0x00, 0x00, 0x08};
  ASSERT_EQ(MXUPD_Dnload(&handle, command, 5, 0), MXUPD_OK);
  Settle();
  const uint8_t none = 0;
  ASSERT_EQ(MXUPD_Dnload(&handle, &none, 0, 0), MXUPD_OK);  // the end of the transfer
  ASSERT_EQ(MXUPD_Getstatus(&handle, &st), MXUPD_OK);
  EXPECT_EQ(st.bState, MXUPD_STATE_DFU_MANIFEST);
  EXPECT_EQ(handle, nullptr);

  ASSERT_EQ(OpenWhenPresent(device->DevicePath(), handle), MXUPD_OK);
  st = {};
  ASSERT_EQ(MXUPD_Getstatus(&handle, &st), MXUPD_OK);
  EXPECT_EQ(st.bState, MXUPD_STATE_DFU_MANIFEST_WAIT_RESET);
  EXPECT_EQ(st.bStatus, 0);
  EXPECT_EQ(handle, nullptr);
}

TEST_F(MXUPDTest, AFailedUploadReturnsTheThreadsErrno) {
  DfuDeviceConfig config;
  config.readProtected = true;
  Plug(config);
  uint8_t data[16];
  const uint32_t rc = MXUPD_Upload(&handle, data, sizeof data, 2);
  EXPECT_EQ(rc, uint32_t(EPIPE)) << std::hex << rc;
  DfuStatusRecord st{};
  ASSERT_EQ(MXUPD_Getstatus(&handle, &st), MXUPD_OK);
  EXPECT_EQ(st.bState, MXUPD_STATE_DFU_ERROR);

  // Other requests pass the driver-interface library's own code up.
  EXPECT_EQ(MXUPD_Abort(&handle), QK_ERR_STALL);
  MXUPD_HANDLE closed = nullptr;
  EXPECT_EQ(MXUPD_Upload(&closed, data, sizeof data, 2), uint32_t(EBADF));
}

TEST_F(MXUPDTest, FindsTheFunctionalDescriptorOfTheLastInterfaceAndAlternate) {
  DfuDeviceConfig config;
  config.interfaces = {{0, {{-1, "@Other/0x20000000/01*001Ka"}}, 0x0110},
                       {5, {{0, {}}, {1, {}}, {-1, "@Third/0x30000000/01*001Ka"}}, 0}};
  config.bcdDFUVersion = 0x011A;
  config.transferSize = 1024;
  Plug(config);

  uint32_t number = 0xFFFF, alternates = 0xFFFF;
  DfuFunctionalDescriptor fd{};
  ASSERT_EQ(MXUPD_GetDFUDescriptor(&handle, &number, &alternates, &fd), MXUPD_OK);
  EXPECT_EQ(number, 5u);
  EXPECT_EQ(alternates, 3u);
  EXPECT_EQ(fd.bLength, 9);
  EXPECT_EQ(fd.bDescriptorType, 0x21);
  EXPECT_EQ(uint16_t(fd.bcdDFUVersion), 0x011A);  // packed fields are read by value
  EXPECT_EQ(uint16_t(fd.wTransferSize), 1024);
}

TEST_F(MXUPDTest, ForwardsTheDescriptorQueries) {
  Plug();
  UsbDeviceDescriptor dd{};
  ASSERT_EQ(MXUPD_GetDeviceDescriptor(&handle, &dd), MXUPD_OK);
  EXPECT_EQ(uint16_t(dd.idVendor), 0x0483);
  EXPECT_EQ(uint16_t(dd.idProduct), 0xA19B);
  uint32_t n = 0;
  ASSERT_EQ(MXUPD_GetNbOfConfigurations(&handle, &n), MXUPD_OK);
  EXPECT_EQ(n, 1u);
  UsbConfigurationDescriptor cd{};
  ASSERT_EQ(MXUPD_GetConfigurationDescriptor(&handle, 0, &cd), MXUPD_OK);
  EXPECT_EQ(cd.bNumInterfaces, 1);
  ASSERT_EQ(MXUPD_GetNbOfAlternates(&handle, 0, 0, &n), MXUPD_OK);
  EXPECT_EQ(n, 2u);
  UsbInterfaceDescriptor id{};
  ASSERT_EQ(MXUPD_GetInterfaceDescriptor(&handle, 0, 0, 0, &id), MXUPD_OK);
  char text[128];
  ASSERT_EQ(MXUPD_GetStringDescriptor(&handle, id.iInterface, text, sizeof text), MXUPD_OK);
  EXPECT_STREQ(text, "@Internal Flash  /0x08000000/128*002Kg");
  EXPECT_EQ(MXUPD_GetInterfaceDescriptor(&handle, 0, 0, 9, &id), QK_ERR_INDEX);
  ASSERT_EQ(MXUPD_SelectCurrentConfiguration(&handle, 0, 0, 1), MXUPD_OK);
  EXPECT_EQ(Model().SelectedAlternate()->second, 1);
  EXPECT_EQ(MXUPD_Open("USB#VID_0483&PID_A19B#1-99#" QK_DFU_CLASS_PRIMARY, &handle),
            MXUPD_ERR_NOT_FOUND);
}

// The protection probe and option-byte read that device discovery performs.
TEST_F(MXUPDTest, ReadsTheOptionBytesThroughTheLoadersCommands) {
  DfuDeviceConfig config;
  config.writeProtection = 0xFFFFFFFE;
  Plug(config);
  ASSERT_EQ(MXUPD_SelectCurrentConfiguration(&handle, 0, 0, 1), MXUPD_OK);
  Settle();
  const uint8_t probe[5] = {0x21, 0x00, 0x00, 0x00, 0x08};
  ASSERT_EQ(MXUPD_Dnload(&handle, probe, 5, 0), MXUPD_OK);
  Settle();
  uint8_t flash[16];
  ASSERT_EQ(MXUPD_Upload(&handle, flash, sizeof flash, 2), MXUPD_OK);
  DfuStatusRecord st{};
  ASSERT_EQ(MXUPD_Getstatus(&handle, &st), MXUPD_OK);
  EXPECT_NE(st.bState, MXUPD_STATE_DFU_ERROR) << "not read-protected";
  Settle();

  const uint8_t options[5] = {0x21, 0x00, 0xF8, 0xFF, 0x1F};
  ASSERT_EQ(MXUPD_Dnload(&handle, options, 5, 0), MXUPD_OK);
  Settle();
  uint8_t ob[16] = {};
  ASSERT_EQ(MXUPD_Upload(&handle, ob, sizeof ob, 2), MXUPD_OK);
  EXPECT_EQ(ob[0], 0xA5);
  const uint32_t wrp =
      uint32_t(ob[8]) | uint32_t(ob[10]) << 8 | uint32_t(ob[12]) << 16 | uint32_t(ob[14]) << 24;
  EXPECT_EQ(wrp, 0xFFFFFFFEu);
}

TEST_F(MXUPDTest, AnUnplugInTheMiddleOfAWriteFailsTheRequest) {
  Plug();
  Model().UnplugAt(MXUPD_REQ_DNLOAD, 3);
  const uint8_t address[5] = {0x21, 0x00, 0x00, 0x00, 0x08};
  ASSERT_EQ(MXUPD_Dnload(&handle, address, 5, 0), MXUPD_OK);
  Settle();
  uint8_t block[2048];
  std::memset(block, 0x5A, sizeof block);
  ASSERT_EQ(MXUPD_Dnload(&handle, block, sizeof block, 2), MXUPD_OK);
  DfuStatusRecord st{};
  ASSERT_EQ(MXUPD_Getstatus(&handle, &st), MXUPD_OK);
  ASSERT_EQ(MXUPD_Getstatus(&handle, &st), MXUPD_OK);
  EXPECT_EQ(st.bState, MXUPD_STATE_DFU_DNLOAD_IDLE);
  EXPECT_EQ(MXUPD_Dnload(&handle, block, sizeof block, 3), QK_ERR_NO_DEVICE);
  EXPECT_EQ(MXUPD_Getstatus(&handle, &st), QK_ERR_NO_DEVICE);
  EXPECT_NE(handle, nullptr) << "a failed request leaves the handle to its owner";
  EXPECT_TRUE(device->WaitForDeparture(std::chrono::seconds(10)));
}

TEST(MXUPDExports, ExportsExactlyTheEighteenFunctions) {
  const std::string output = test::ToolOutput({"nm", "-D", "--defined-only", BRISK_MXUPD_FILE});
  ASSERT_FALSE(output.empty());
  std::istringstream lines(output);
  std::set<std::string> names;
  std::string line;
  while (std::getline(lines, line)) {
    char address[64], type[8], name[256];
    if (std::sscanf(line.c_str(), "%63s %7s %255s", address, type, name) == 3) names.insert(name);
  }
  const std::set<std::string> expected = {
      "MXUPD_Abort",
      "MXUPD_Close",
      "MXUPD_Clrstatus",
      "MXUPD_Detach",
      "MXUPD_Dnload",
      "MXUPD_GetConfigurationDescriptor",
      "MXUPD_GetDFUDescriptor",
      "MXUPD_GetDeviceDescriptor",
      "MXUPD_GetInterfaceDescriptor",
      "MXUPD_GetNbOfAlternates",
      "MXUPD_GetNbOfConfigurations",
      "MXUPD_GetNbOfInterfaces",
      "MXUPD_GetStringDescriptor",
      "MXUPD_Getstate",
      "MXUPD_Getstatus",
      "MXUPD_Open",
      "MXUPD_SelectCurrentConfiguration",
      "MXUPD_Upload",
  };
  EXPECT_EQ(names, expected);
}

}  // namespace

}  // namespace brisk
