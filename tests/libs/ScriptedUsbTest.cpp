// The driver-interface and request libraries against device answers that no emulation gives.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "libs/mxupd/MXUPD.h"
#include "libs/qktube/QKTubeDevice.h"
#include "sim/libusb/ScriptedUsb.h"

namespace brisk::sim {
namespace {

const char kPath[] = "USB#VID_0483&PID_DF11#1-1#" QK_DFU_CLASS_PRIMARY;

// A DFU device with one interface, one alternate and the DFU functional descriptor.
ScriptedUsbDevice DfuDevice(std::vector<uint8_t> functional) {
  ScriptedUsbDevice d;
  d.deviceDescriptor = {18, 1, 0, 2, 0, 0, 0, 64, 0x83, 0x04, 0x11, 0xDF, 0, 0x22, 1, 2, 3, 1};
  std::vector<uint8_t> config = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFE, 1, 2, 0};
  config.insert(config.end(), functional.begin(), functional.end());
  config[2] = static_cast<uint8_t>(config.size());
  d.configurations = {config};
  return d;
}

TEST(ScriptedUsbTest, CloseWaitsForACallStillUsingTheHandle) {
  ScriptedUsbDevice device = DfuDevice({9, 0x21, 0x0B, 0xFF, 0, 0, 8, 0x1A, 0x01});
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  device.onClassRequest = [&] {
    entered.set_value();
    released.wait();
  };
  device.classAnswers.push_back({0, {}});
  SetScriptedUsbDevice(&device);
  QKDeviceHandle handle = nullptr;
  ASSERT_EQ(QKDevice_Open(kPath, &handle, nullptr), QK_OK);

  ClassRequest request{};
  request.requestKind = QK_REQUEST_CLASS_INTERFACE;
  request.bRequest = 4;  // clear status: no data stage
  std::thread caller(
      [&] { EXPECT_EQ(QKDevice_ControlPipeRequest(handle, &request, nullptr), QK_OK); });
  entered.get_future().wait();
  std::thread closer([&] { EXPECT_EQ(QKDevice_Close(handle), QK_OK); });
  // Gives an unguarded close every chance to free the handle under the caller.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  release.set_value();
  caller.join();
  closer.join();
  EXPECT_EQ(ScriptedUsbEvents(), (std::vector<std::string>{"open", "class-request-done", "close"}));
  SetScriptedUsbDevice(nullptr);
}

TEST(ScriptedUsbTest, MalformedAnswersAreRefusedNotFollowed) {
  // The functional descriptor claims more bytes than the configuration holds: cut off.
  ScriptedUsbDevice device = DfuDevice({12, 0x21, 0x0B, 0xFF});
  device.strings = {{0, {4, 3, 0x09, 0x04}}, {2, {7, 3, 'A', 0}}};  // odd length
  device.classAnswers.push_back({3, {2, 0, 0}});                    // a status answer cut short
  SetScriptedUsbDevice(&device);
  MXUPD_HANDLE handle = nullptr;
  ASSERT_EQ(MXUPD_Open(kPath, &handle), MXUPD_OK);
  uint32_t number = 0, alternates = 0;
  DfuFunctionalDescriptor fd{};
  EXPECT_EQ(MXUPD_GetDFUDescriptor(&handle, &number, &alternates, &fd), QK_ERR_NOT_PRESENT);
  char text[64];
  EXPECT_EQ(MXUPD_GetStringDescriptor(&handle, 2, text, sizeof text), QK_ERR_BAD_DESCRIPTOR);
  DfuStatusRecord status{};
  EXPECT_NE(MXUPD_Getstatus(&handle, &status), MXUPD_OK);
  EXPECT_EQ(MXUPD_Close(&handle), MXUPD_OK);
  EXPECT_EQ(ScriptedUsbConfigsInUse(), 0);
  SetScriptedUsbDevice(nullptr);
}

}  // namespace
}  // namespace brisk::sim
