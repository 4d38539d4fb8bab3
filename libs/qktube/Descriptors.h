// Descriptor walking that needs no open device.
#pragma once

#include <cstdint>

struct libusb_config_descriptor;
struct libusb_device;
struct libusb_device_descriptor;

namespace brisk::qktube {

// The occurrence-th class descriptor of type in a descriptor's extra bytes, copied to buffer
// (cut to size). A malformed length ends the search as QK_ERR_BAD_DESCRIPTOR.
uint32_t FindInExtra(const unsigned char* extra, int length, uint32_t type, uint32_t occurrence,
                     void* buffer, uint32_t size);

// The descriptors' wire form, little-endian, as GET_DESCRIPTOR returns it (config: the
// 9-byte head only).
void EncodeDeviceDescriptor(const libusb_device_descriptor& dd, unsigned char out[18]);
void EncodeConfigDescriptor(const libusb_config_descriptor& cfg, unsigned char out[9]);

// Whether any alternate of any configuration is a DFU interface (class FE, subclass 01).
bool HasDfuInterface(libusb_device* dev, const libusb_device_descriptor& dd);

}  // namespace brisk::qktube
