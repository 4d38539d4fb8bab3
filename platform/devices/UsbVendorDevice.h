#pragma once
// The reader's vendor-specific USB interface (class 0xFF), driven with vendor control
// transfers through libusb.
#include <cstdint>
#include <utility>
#include <vector>

struct libusb_device_handle;

namespace brisk::platform::devices {

class UsbVendorDevice {
 public:
  UsbVendorDevice() = default;
  ~UsbVendorDevice() { Close(); }
  UsbVendorDevice(const UsbVendorDevice&) = delete;
  UsbVendorDevice& operator=(const UsbVendorDevice&) = delete;

  // Finds the first present device (libusb's order) with one of the identities that has a
  // vendor-specific interface. True when one was found; IsOpen() tells whether it could also be
  // opened and its interface claimed.
  bool OpenFirst(const std::vector<std::pair<uint16_t, uint16_t>>& identities);
  bool IsOpen() const { return m_handle != nullptr; }
  uint8_t InterfaceNumber() const { return m_interface; }

  // One vendor request to the interface (wValue 0, wIndex the interface number). True only when
  // exactly length bytes moved.
  bool ControlOut(uint8_t request, const uint8_t* data, uint16_t length);
  bool ControlIn(uint8_t request, uint8_t* data, uint16_t length);
  void Close();

 private:
  libusb_device_handle* m_handle = nullptr;
  uint8_t m_interface = 0;
  bool m_claimed = false;
};

}  // namespace brisk::platform::devices
