#pragma once
// Asks the reader, in its normal mode, to restart in USB DFU mode: the enter-DFU frame over its
// HID interface (a hidraw node), or failing that over its vendor-specific interface.
// Short-lived: made for one attempt and destroyed after it.
#include <cstdint>

#include "platform/devices/Hidraw.h"
#include "platform/devices/UsbVendorDevice.h"

namespace brisk::dfu {

// 55 AA, 4 bytes follow: command 0x31 (enter DFU), FF FF, XOR check byte.
inline constexpr uint8_t kEnterDfuFrame[7] = {0x55, 0xAA, 0x04, 0x31, 0xFF, 0xFF, 0xCA};
inline constexpr int kHidReportSize = 65;     // report identifier and 64 bytes of data
inline constexpr int kDriverBufferSize = 64;  // the vendor path's request and reply buffers
inline constexpr int kMaxDevicePath = 260;

class UsbReaderChannel {
 public:
  UsbReaderChannel() = default;
  ~UsbReaderChannel() { CloseDevice(); }
  UsbReaderChannel(const UsbReaderChannel&) = delete;
  UsbReaderChannel& operator=(const UsbReaderChannel&) = delete;

  // 1 when the reader acknowledged the enter-DFU frame.
  int EnterDfuMode();
  int OpenHidDevice();
  int OpenDriverDevice();
  // 65-byte report buffers.
  int HidTransfer(const uint8_t* request, uint8_t* reply, int pauseMs, int attempts);
  // 64-byte buffers.
  int DriverTransfer(const uint8_t* request, uint8_t* reply, int pauseMs, int attempts);
  void CloseDevice();

 private:
  platform::devices::HidrawDevice m_hid;
  platform::devices::UsbVendorDevice m_driver;
};

}  // namespace brisk::dfu
