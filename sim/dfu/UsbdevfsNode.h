// One emulated usbdevfs node (/dev/bus/usb/BBB/DDD) in the umockdev testbed: answers the
// ioctls libusb sends, hands each control transfer to the device behind it, and gives every
// finished URB back to the descriptor that submitted it, never to another one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/dfu/DfuDeviceModel.h"

extern "C" {
typedef struct _UMockdevTestbed UMockdevTestbed;
}

namespace brisk::sim {

struct UsbdevfsDevice {
  // The answer to one control transfer: setup is the 8-byte packet, out its data stage
  // (host to device), and the result's data the device-to-host stage.
  std::function<ControlResult(const SetupPacket& setup, const uint8_t* out)> control;
  // Optional: false while the device is gone (every request but a reap fails with ENODEV).
  std::function<bool()> connected;
  // Optional: claim, release and set-interface checks (absent: accepted); a bus reset.
  std::function<bool(uint8_t interfaceNumber)> hasInterface;
  std::function<bool(uint8_t interfaceNumber, uint8_t alternate)> setInterface;
  std::function<void()> reset;
  // Optional: +1 when a descriptor opens the node, -1 when it closes.
  std::function<void(int delta)> clientsChanged;
};

class UsbdevfsNode {
 public:
  // Attaches to devNode in tb (the caller holds the testbed's lock); throws when it cannot.
  UsbdevfsNode(UMockdevTestbed* tb, std::string devNode, UsbdevfsDevice device);
  // Detaches (the caller holds the testbed's lock).
  ~UsbdevfsNode();
  UsbdevfsNode(const UsbdevfsNode&) = delete;
  UsbdevfsNode& operator=(const UsbdevfsNode&) = delete;

  struct State;

 private:
  UMockdevTestbed* m_tb;
  std::string m_devNode;
  std::unique_ptr<State> m_state;
};

}  // namespace brisk::sim
