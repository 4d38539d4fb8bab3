#pragma once
// Every USB identity a reader shows, and what it offers under it. Supporting another reader
// identity is one line here and its rule in data/udev/70-brisknetservice.rules.
#include <cstdint>
#include <string>
#include <vector>

namespace brisk::platform::devices {

enum ReaderOffer : unsigned {
  kSerialPort = 1u << 0,      // its CDC ACM port speaks the reader's framed protocol
  kHidEnterDfu = 1u << 1,     // its HID interface takes the enter-DFU request
  kVendorEnterDfu = 1u << 2,  // its vendor-specific interface takes the enter-DFU request
  kDfuMode = 1u << 3,         // it is the reader restarted in USB DFU mode
};

struct ReaderIdentity {
  uint16_t vendorId;
  uint16_t productId;
  unsigned offers;      // ReaderOffer bits
  const char* comment;  // why this identity is here
};

// In the order in which they are tried where more than one offers the same.
inline constexpr ReaderIdentity kReaderIdentities[] = {
    {0x0425, 0x8159, kSerialPort | kHidEnterDfu | kVendorEnterDfu,
     "the reader in its normal mode"},
    {0x0400, 0xC35A, kSerialPort, "the earlier reader: serial port only, no field upgrade"},
    {0x0483, 0xA19B, kHidEnterDfu | kVendorEnterDfu | kDfuMode,
     "the reader's boot loader: its DFU mode, and the identity its packages are built for"},
};

bool OffersAny(uint16_t vendorId, uint16_t productId, unsigned offers);
std::vector<ReaderIdentity> IdentitiesOffering(unsigned offers);

// "VID_0425", "PID_8159": the hardware id's parts, upper case.
std::string VendorIdText(uint16_t vendorId);
std::string ProductIdText(uint16_t productId);
// "vid_0425&pid_8159": what a reader's HID path text carries, lower case.
std::string HidIdentityText(const ReaderIdentity& identity);

}  // namespace brisk::platform::devices
