#include "platform/devices/UsbVendorDevice.h"

#include <libusb.h>

#include <mutex>

#include "log/Log.h"

namespace brisk::platform::devices {

namespace {

constexpr unsigned kTransferTimeoutMs = 1000;
constexpr uint8_t kVendorOut = 0x41;  // host to device, vendor, interface
constexpr uint8_t kVendorIn = 0xC1;   // device to host, vendor, interface

// One context for the process, made on first use and kept: libusb's own event monitor
// is set up once.
libusb_context* Context() {
  static std::once_flag once;
  static libusb_context* ctx = nullptr;
  std::call_once(once, [] {
    if (libusb_init(&ctx) != 0) {
      WriteLog("libusb_init failed, no vendor interface can be used");
      ctx = nullptr;
    }
  });
  return ctx;
}

// The first interface with class 0xFF in the active (or first) configuration.
bool VendorInterface(libusb_device* dev, uint8_t& number) {
  libusb_config_descriptor* cfg = nullptr;
  if (libusb_get_active_config_descriptor(dev, &cfg) != 0 &&
      libusb_get_config_descriptor(dev, 0, &cfg) != 0)
    return false;
  bool found = false;
  for (int i = 0; i < cfg->bNumInterfaces && !found; ++i)
    if (cfg->interface[i].num_altsetting > 0 &&
        cfg->interface[i].altsetting[0].bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC) {
      number = cfg->interface[i].altsetting[0].bInterfaceNumber;
      found = true;
    }
  libusb_free_config_descriptor(cfg);
  return found;
}

}  // namespace

bool UsbVendorDevice::OpenFirst(const std::vector<std::pair<uint16_t, uint16_t>>& identities) {
  Close();
  libusb_context* ctx = Context();
  if (!ctx) return false;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0) return false;
  libusb_device* found = nullptr;
  for (ssize_t i = 0; i < n && !found; ++i) {
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(list[i], &dd) != 0) continue;
    bool known = false;
    for (const auto& [vid, pid] : identities)
      known = known || (dd.idVendor == vid && dd.idProduct == pid);
    if (known && VendorInterface(list[i], m_interface)) found = list[i];
  }
  if (found) {
    int rc = libusb_open(found, &m_handle);
    if (rc != 0) {
      WriteLog("vendor interface: open failed: %s", libusb_error_name(rc));
      m_handle = nullptr;
    } else if ((rc = libusb_claim_interface(m_handle, m_interface)) != 0) {
      WriteLog("vendor interface: claim of interface %u failed: %s", unsigned(m_interface),
               libusb_error_name(rc));
      libusb_close(m_handle);
      m_handle = nullptr;
    } else {
      m_claimed = true;
    }
  }
  libusb_free_device_list(list, 1);
  return found != nullptr;
}

bool UsbVendorDevice::ControlOut(uint8_t request, const uint8_t* data, uint16_t length) {
  if (!m_handle || (length && !data)) return false;
  const int rc = libusb_control_transfer(m_handle, kVendorOut, request, 0, m_interface,
                                         const_cast<uint8_t*>(data), length, kTransferTimeoutMs);
  return rc == int(length);
}

bool UsbVendorDevice::ControlIn(uint8_t request, uint8_t* data, uint16_t length) {
  if (!m_handle || !data || length == 0) return false;
  const int rc = libusb_control_transfer(m_handle, kVendorIn, request, 0, m_interface, data, length,
                                         kTransferTimeoutMs);
  return rc == int(length);
}

void UsbVendorDevice::Close() {
  if (m_handle) {
    if (m_claimed) libusb_release_interface(m_handle, m_interface);
    libusb_close(m_handle);
  }
  m_handle = nullptr;
  m_claimed = false;
}

}  // namespace brisk::platform::devices
