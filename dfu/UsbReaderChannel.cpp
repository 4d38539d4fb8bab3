#include "dfu/UsbReaderChannel.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log/Log.h"
#include "platform/devices/ReaderIdentities.h"

namespace brisk::dfu {

namespace {

// Vendor requests standing for the driver's four control codes.
constexpr uint8_t kRequestHead = 0x20;  // host to device, the first 7 bytes
constexpr uint8_t kRequestRest = 0x24;  // host to device, the rest
constexpr uint8_t kReplyHead = 0x28;    // device to host, the first 7 bytes
constexpr uint8_t kReplyRest = 0x2C;    // device to host, the rest
constexpr int kFrameHead = 7;

void Pause(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

int UsbReaderChannel::EnterDfuMode() {
  if (OpenHidDevice()) {
    uint8_t request[kHidReportSize] = {};
    uint8_t reply[kHidReportSize] = {};
    std::memcpy(request + 1, kEnterDfuFrame, sizeof kEnterDfuFrame);
    HidTransfer(request, reply, 200, 5);
    CloseDevice();
    return reply[4] == 0x31 && reply[5] == 0xFF ? 1 : 0;
  }
  if (!OpenDriverDevice()) return 0;
  uint8_t request[kDriverBufferSize] = {};
  uint8_t reply[kDriverBufferSize] = {};
  std::memcpy(request, kEnterDfuFrame, sizeof kEnterDfuFrame);
  DriverTransfer(request, reply, 200, 5);
  CloseDevice();
  return reply[3] == 0x31 && reply[4] == 0xFF ? 1 : 0;
}

int UsbReaderChannel::OpenHidDevice() {
  namespace devices = platform::devices;
  // The identities are tried in the table's order within one node's path text.
  std::vector<std::string> ids;
  for (const devices::ReaderIdentity& id : devices::IdentitiesOffering(devices::kHidEnterDfu))
    ids.push_back(devices::HidIdentityText(id));
  std::string node;
  for (const auto& hid : devices::EnumerateHidraw()) {
    if (hid.pathText.size() >= size_t(kMaxDevicePath)) continue;  // would not fit the buffer
    for (const std::string& id : ids)
      if (hid.pathText.find(id) != std::string::npos) {
        node = hid.devNode;
        break;
      }
    if (!node.empty()) break;
  }
  if (node.empty()) return 0;
  if (!m_hid.OpenExclusive(node)) {
    WriteLog("HID node %s cannot be opened exclusively", node.c_str());
    return 0;
  }
  return 1;
}

int UsbReaderChannel::OpenDriverDevice() {
  namespace devices = platform::devices;
  std::vector<std::pair<uint16_t, uint16_t>> ids;
  for (const devices::ReaderIdentity& id : devices::IdentitiesOffering(devices::kVendorEnterDfu))
    ids.emplace_back(id.vendorId, id.productId);
  return m_driver.OpenFirst(ids) ? 1 : 0;
}

int UsbReaderChannel::HidTransfer(const uint8_t* request, uint8_t* reply, int pauseMs,
                                  int attempts) {
  if (!m_hid.SetOutputReport(request, kHidReportSize)) return 0;
  bool ok = false;
  for (int i = 0; i < attempts && !ok; ++i) {
    Pause(pauseMs);
    ok = m_hid.GetInputReport(reply, kHidReportSize);
  }
  return ok ? 1 : 0;
}

int UsbReaderChannel::DriverTransfer(const uint8_t* request, uint8_t* reply, int pauseMs,
                                     int attempts) {
  if (!m_driver.ControlOut(kRequestHead, request, kFrameHead)) return 0;
  // The rest of the request: byte 2 counts the bytes after it, 4 of them are in the head.
  const int rest = request[2] >= 4 ? request[2] - 4 : 0;
  if (rest > kDriverBufferSize - kFrameHead) return 0;
  if (!m_driver.ControlOut(kRequestRest, request + kFrameHead, uint16_t(rest))) return 0;
  bool ok = false;
  for (int i = 0; i < attempts && !ok; ++i) {
    Pause(pauseMs);
    ok = m_driver.ControlIn(kReplyHead, reply, kFrameHead);
    if (!ok || reply[0] != 0x55 || reply[1] != 0xAA) {
      ok = false;
      continue;
    }
    if (reply[2] < 5) break;  // complete after the head
    const int more = reply[2] - 4;
    if (more > kDriverBufferSize - kFrameHead) {
      // The reply announces more than the buffer holds: a failed attempt, and nothing of it
      // may pass for an acknowledgement.
      WriteLog("reader reply announces %d bytes, more than fit, ignored", int(reply[2]));
      std::memset(reply, 0, kDriverBufferSize);
      ok = false;
      continue;
    }
    ok = m_driver.ControlIn(kReplyRest, reply + kFrameHead, uint16_t(more));
  }
  return ok ? 1 : 0;
}

void UsbReaderChannel::CloseDevice() {
  m_hid.Close();
  m_driver.Close();
}

}  // namespace brisk::dfu
