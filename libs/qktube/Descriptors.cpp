#include "libs/qktube/Descriptors.h"

#include <libusb.h>

#include <cstring>

#include "libs/qktube/Errors.h"
#include "libs/qktube/QKTubeDevice.h"

namespace brisk::qktube {
namespace {

void PutLe16(unsigned char* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

}  // namespace

uint32_t FindInExtra(const unsigned char* extra, int length, uint32_t type, uint32_t occurrence,
                     void* buffer, uint32_t size) {
  int pos = 0;
  while (pos < length) {
    int remaining = length - pos;
    if (remaining < 2) return Fail(QK_ERR_BAD_DESCRIPTOR);
    int len = extra[pos];
    if (len < 2 || len > remaining) return Fail(QK_ERR_BAD_DESCRIPTOR);
    if (extra[pos + 1] == type) {
      if (occurrence == 0) {
        std::memcpy(buffer, extra + pos, size < uint32_t(len) ? size : uint32_t(len));
        return QK_OK;
      }
      --occurrence;
    }
    pos += len;
  }
  return Fail(QK_ERR_NOT_PRESENT);
}

void EncodeDeviceDescriptor(const libusb_device_descriptor& dd, unsigned char out[18]) {
  out[0] = 18;
  out[1] = LIBUSB_DT_DEVICE;
  PutLe16(out + 2, dd.bcdUSB);
  out[4] = dd.bDeviceClass;
  out[5] = dd.bDeviceSubClass;
  out[6] = dd.bDeviceProtocol;
  out[7] = dd.bMaxPacketSize0;
  PutLe16(out + 8, dd.idVendor);
  PutLe16(out + 10, dd.idProduct);
  PutLe16(out + 12, dd.bcdDevice);
  out[14] = dd.iManufacturer;
  out[15] = dd.iProduct;
  out[16] = dd.iSerialNumber;
  out[17] = dd.bNumConfigurations;
}

void EncodeConfigDescriptor(const libusb_config_descriptor& cfg, unsigned char out[9]) {
  out[0] = 9;
  out[1] = LIBUSB_DT_CONFIG;
  PutLe16(out + 2, cfg.wTotalLength);
  out[4] = cfg.bNumInterfaces;
  out[5] = cfg.bConfigurationValue;
  out[6] = cfg.iConfiguration;
  out[7] = cfg.bmAttributes;
  out[8] = cfg.MaxPower;
}

bool HasDfuInterface(libusb_device* dev, const libusb_device_descriptor& dd) {
  for (uint8_t c = 0; c < dd.bNumConfigurations; ++c) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_config_descriptor(dev, c, &cfg) != 0) continue;
    bool found = false;
    for (int i = 0; i < cfg->bNumInterfaces && !found; ++i)
      for (int a = 0; a < cfg->interface[i].num_altsetting && !found; ++a) {
        const auto& alt = cfg->interface[i].altsetting[a];
        found = alt.bInterfaceClass == 0xFE && alt.bInterfaceSubClass == 0x01;
      }
    libusb_free_config_descriptor(cfg);
    if (found) return true;
  }
  return false;
}

}  // namespace brisk::qktube
