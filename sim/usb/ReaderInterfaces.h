// The reader's interfaces in normal mode that answer the enter-DFU frame (HID and
// vendor-specific), as umockdev ioctl handlers. Internal to the emulated bus.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/dfu/DfuDeviceModel.h"
#include "sim/dfu/UsbdevfsNode.h"

namespace brisk::sim {

class UsbReaderBus;

// The reader's side of the enter-DFU exchange, shared by its HID and vendor interfaces.
class EnterDfuResponder {
 public:
  EnterDfuResponder(UsbReaderBus& bus, uint8_t replyLength)
      : m_bus(bus), m_replyLength(replyLength) {}

  // A whole request frame arrived.
  void Request(const std::vector<uint8_t>& frame);
  // Copies up to n reply bytes from offset; once the reply went out whole, the reader leaves.
  size_t Reply(size_t offset, uint8_t* out, size_t n, bool last);

 private:
  UsbReaderBus& m_bus;
  uint8_t m_replyLength;
  std::mutex m_lock;
  std::vector<uint8_t> m_reply;
};

// hidraw ioctls; reads and writes of the node go to its pty and are not used.
struct HidrawHandler {
  UMockdevIoctlBase* base = nullptr;
  std::string node;
  EnterDfuResponder* responder = nullptr;
};

// usbdevfs for the reader's device node: vendor control requests to interface 2.
struct UsbdevfsHandler {
  EnterDfuResponder* responder = nullptr;
  std::vector<uint8_t> request;  // the frame's head and rest as they come
  std::unique_ptr<UsbdevfsNode> node;
};

gboolean HandleHidraw(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user);

// One control transfer to the reader in normal mode: the enter-DFU frame's head and rest
// going out, the acknowledgement's head and rest coming back.
ControlResult VendorControl(UsbdevfsHandler& h, const SetupPacket& setup, const uint8_t* out);

// Puts handler (with user) behind the testbed's node; throws when umockdev refuses.
UMockdevIoctlBase* AttachIoctlHandler(UMockdevTestbed* tb, const std::string& node,
                                      GCallback handler, void* user);

}  // namespace brisk::sim
