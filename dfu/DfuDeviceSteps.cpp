// The engine's device steps: finding the DFU device, opening it with its memory map and
// protection.
#include <strings.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "dfu/DfuUpgradeEngine.h"
#include "dfu/FailureText.h"
#include "dfu/ProtectionProbe.h"
#include "log/Log.h"
#include "platform/devices/DfuDevices.h"

namespace brisk::dfu {

std::string DfuUpgradeEngine::GuidToText(const DfuGuid& id) {
  return Format("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(id.data1),
                unsigned(id.data2), unsigned(id.data3), id.data4[0], id.data4[1], id.data4[2],
                id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
}

int DfuUpgradeEngine::FindDfuDevices() {
  m_DevicePaths.clear();
  m_DeviceNames.clear();
  bool found = false;
  for (int cls = 1; cls <= 2; ++cls) {
    for (const auto& itf : platform::devices::EnumerateDfuInterfaces(cls)) {
      std::string path = itf.path;
      for (char& c : path) c = char(std::toupper(uint8_t(c)));
      m_DevicePaths.push_back(path);
      m_DeviceNames.push_back(itf.description.empty() ? "(Unnamed DFU device)" : itf.description);
      found = true;
    }
  }
  return found ? 1 : 0;
}

void DfuUpgradeEngine::DecodeProtection(MXUPD_HANDLE* handle) {
  ProbeProtection(handle, m_ReadProtected, m_Rdp, m_Wrp);
  ApplyProtection(m_Mapping, m_NbTargets, m_Rdp, m_Wrp);
}

void DfuUpgradeEngine::BuildTargets() {
  m_Targets.clear();
  for (uint32_t t = 0; t < m_NbTargets; ++t) m_Targets.push_back(MakeDevTarget(m_Mapping[t]));
}

int DfuUpgradeEngine::OpenDfuDevice() {
  m_HasOptionBytes = false;
  m_ReadProtected = false;
  m_Rdp = 0;
  m_Wrp = 0;
  if (m_Mapping) MXUPDPRT_DestroyMapping(&m_Mapping);
  m_Mapping = nullptr;
  m_NbTargets = 0;
  m_Targets.clear();
  m_failure = {};
  m_DeviceIdentified = false;
  if (m_DevicePaths.empty()) return 0;
  m_DevicePath = m_DevicePaths.front();

  MXUPD_HANDLE handle = nullptr;
  if (!OpenWithRetry(handle)) {
    m_failure = {-1, 0, "cannot open the DFU device " + m_DevicePath};
    return 0;
  }

  int result = 0;
  uint32_t number = 0, alternates = 0;
  std::memset(&m_DfuDescriptor, 0, sizeof m_DfuDescriptor);
  if (const uint32_t rc = MXUPD_GetDeviceDescriptor(&handle, &m_DeviceDescriptor); rc != MXUPD_OK) {
    WriteLog("Unable to get descriptors... Bad Firmware");
    m_failure = {-1, rc, Format("cannot read the device descriptor (0x%08X)", unsigned(rc))};
  } else if (const uint32_t rc2 =
                 MXUPD_GetDFUDescriptor(&handle, &number, &alternates, &m_DfuDescriptor);
             rc2 != MXUPD_OK) {
    WriteLog("Unable to get DFU descriptor... Bad Firmware");
    m_failure = {-1, rc2, Format("cannot read the DFU descriptor (0x%08X)", unsigned(rc2))};
  } else if (const uint16_t version = m_DfuDescriptor.bcdDFUVersion;
             version < 0x011A || version > 0x011F) {
    WriteLog("Bad DFU protocol version. Should be 1.1A");
    m_failure = {-1, 0,
                 Format("the device speaks DFU version %04X; supported are 011A to 011F",
                        unsigned(version))};
  } else {
    const std::string cls = GuidToText(kDfuInterfaceClass1);
    if (m_DevicePath.size() >= cls.size() &&
        strcasecmp(m_DevicePath.c_str() + m_DevicePath.size() - cls.size(), cls.c_str()) == 0) {
      m_DeviceIdentified = true;
      m_DeviceVid = m_DeviceDescriptor.idVendor;
      m_DevicePid = m_DeviceDescriptor.idProduct;
    }
    result = 1;
  }
  // The map is read over a handle of the library's own; ours is closed meanwhile so that the
  // device is never driven through two handles at once.
  if (handle) MXUPD_Close(&handle);
  handle = nullptr;
  if (!result) return 0;
  if (const uint32_t rc =
          MXUPDPRT_CreateMappingFromDevice(m_DevicePath.c_str(), &m_Mapping, &m_NbTargets);
      rc != MXUPDPRT_OK) {
    WriteLog("Unable to find or decode device mapping... Bad Firmware");
    m_failure = {-1, rc, "cannot read the device's memory map: " + PrtReason(rc)};
    m_Mapping = nullptr;
    m_NbTargets = 0;
    return 0;
  }
  for (uint32_t t = 0; t < m_NbTargets && !m_HasOptionBytes; ++t)
    m_HasOptionBytes = std::strncmp(m_Mapping[t].name, "Option Bytes  ", DFU_TARGET_NAME_SIZE) == 0;
  if (m_HasOptionBytes) {
    if (OpenWithRetry(handle)) {
      DecodeProtection(&handle);
      // A status read may have closed the device already (manifestation).
      if (handle) MXUPD_Close(&handle);
    } else {
      DecodeProtection(nullptr);
    }
  }
  BuildTargets();
  return 1;
}

bool DfuUpgradeEngine::OpenWithRetry(MXUPD_HANDLE& handle) {
  uint32_t rc = MXUPD_ERR_NOT_FOUND;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rc = MXUPD_Open(m_DevicePath.c_str(), &handle);
    if (rc != MXUPD_ERR_NOT_FOUND) break;
  }
  if (rc != MXUPD_OK) handle = nullptr;
  return rc == MXUPD_OK;
}

}  // namespace brisk::dfu
