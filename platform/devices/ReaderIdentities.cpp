#include "platform/devices/ReaderIdentities.h"

#include <cstdio>

namespace brisk::platform::devices {

bool OffersAny(uint16_t vendorId, uint16_t productId, unsigned offers) {
  for (const ReaderIdentity& id : kReaderIdentities)
    if (id.vendorId == vendorId && id.productId == productId && (id.offers & offers)) return true;
  return false;
}

std::vector<ReaderIdentity> IdentitiesOffering(unsigned offers) {
  std::vector<ReaderIdentity> out;
  for (const ReaderIdentity& id : kReaderIdentities)
    if (id.offers & offers) out.push_back(id);
  return out;
}

std::string VendorIdText(uint16_t vendorId) {
  char text[16];
  std::snprintf(text, sizeof text, "VID_%04X", vendorId);
  return text;
}

std::string ProductIdText(uint16_t productId) {
  char text[16];
  std::snprintf(text, sizeof text, "PID_%04X", productId);
  return text;
}

std::string HidIdentityText(const ReaderIdentity& identity) {
  char text[32];
  std::snprintf(text, sizeof text, "vid_%04x&pid_%04x", identity.vendorId, identity.productId);
  return text;
}

}  // namespace brisk::platform::devices
