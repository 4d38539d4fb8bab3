#pragma once
// hidraw nodes found through libudev, and one node opened exclusively for report requests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brisk::platform::devices {

struct HidrawNode {
  // "hid#vid_vvvv&pid_pppp#<node name>" in lower case: the text the reader's HID interface is
  // recognised by. The identity is the USB device's; "0000" when it cannot be read.
  std::string pathText;
  std::string devNode;  // /dev/hidrawN
};

// Every hidraw node, in libudev's enumeration order.
std::vector<HidrawNode> EnumerateHidraw();

class HidrawDevice {
 public:
  HidrawDevice() = default;
  ~HidrawDevice() { Close(); }
  HidrawDevice(const HidrawDevice&) = delete;
  HidrawDevice& operator=(const HidrawDevice&) = delete;

  // Opens the node for reading and writing and takes an exclusive advisory lock on it, so that
  // a node another program holds the lock on counts as a failed exclusive open.
  bool OpenExclusive(const std::string& devNode);
  bool IsOpen() const { return m_fd >= 0; }
  // HIDIOCSOUTPUT / HIDIOCGINPUT with the whole buffer (byte 0 the report identifier).
  // An output report succeeds only when all of it went; an input report may be shorter.
  bool SetOutputReport(const uint8_t* report, size_t length);
  bool GetInputReport(uint8_t* report, size_t length);
  void Close();

 private:
  int m_fd = -1;
};

}  // namespace brisk::platform::devices
