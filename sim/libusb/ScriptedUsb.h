#pragma once
// A stand-in for the part of libusb that the driver-interface library uses: one device (bus 1,
// port 1) whose descriptors and control answers come from a script. Fuzzers and tests use it to
// hand the library device answers that no real device, nor the emulation, would give.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace brisk::sim {

struct UsbAnswer {
  int rc = 0;                 // bytes transferred, or a negative libusb error code
  std::vector<uint8_t> data;  // what a device-to-host request receives
};

struct ScriptedUsbDevice {
  std::vector<uint8_t> deviceDescriptor;  // 18 bytes; missing ones read as 0
  // Each configuration as the device sends it: the configuration descriptor and all that follows.
  std::vector<std::vector<uint8_t>> configurations;
  // String descriptors as sent, by index (0: the language list); a missing one stalls.
  std::map<uint8_t, std::vector<uint8_t>> strings;
  // Class requests are answered in this order; when none is left they stall.
  std::deque<UsbAnswer> classAnswers;
  int openResult = 0;   // 0 or a libusb error for libusb_open
  int setupResult = 0;  // for set configuration, claim, release and alternate setting
  int currentConfiguration = 1;
  // Runs at the start of every class request, on the caller's thread.
  std::function<void()> onClassRequest;
};

// Installs the device (nullptr: no device at all). The script must outlive its use.
void SetScriptedUsbDevice(ScriptedUsbDevice* device);
// What happened, in order: "open", "close", "class-request-done".
std::vector<std::string> ScriptedUsbEvents();
// Configuration descriptors handed out and not yet freed.
int ScriptedUsbConfigsInUse();

}  // namespace brisk::sim
