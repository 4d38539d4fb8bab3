#include "dfu/DfuUpgradeEngine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "dfu/FailureText.h"
#include "dfu/ImageCompare.h"
#include "dfu/ProtectionProbe.h"
#include "dfu/UsbReaderChannel.h"
#include "log/Log.h"
#include "platform/PackageCache.h"
#include "platform/devices/DfuDevices.h"
#include "platform/devices/ReaderIdentities.h"

namespace brisk::dfu {

const DfuGuid kDfuInterfaceClass1 = DFU_INTERFACE_CLASS_1;
const DfuGuid kDfuInterfaceClass2 = DFU_INTERFACE_CLASS_2;

namespace {

std::string Hex4(uint16_t value) { return Format("%04X", unsigned(value)); }

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(uint8_t(a[i])) != std::toupper(uint8_t(b[i]))) return false;
  return true;
}

bool EndsWithDfu(const std::string& name) {
  return name.size() > 4 && EqualsIgnoreCase(name.substr(name.size() - 4), ".dfu");
}

}  // namespace

std::string SizeText(uint32_t size) {
  if (size < 1024) return Format("%i b", int(size));
  if (size < 1048576) return Format("%i Kb", int(size / 1024));
  return Format("%i Mb", int(size / 1048576));
}

DevTarget MakeDevTarget(const TargetMap& target) {
  DevTarget t;
  t.alternate = Format("%02i", int(target.alternate));
  char name[DFU_TARGET_NAME_SIZE + 1] = {};
  std::memcpy(name, target.name, DFU_TARGET_NAME_SIZE);
  t.name = name;
  const uint32_t count = target.sectorCount;
  t.sectorCount = Format("%i sectors...", int(count));
  const SectorMap* sectors = target.sectors;
  for (uint32_t s = 0; s < count && sectors; ++s) {
    const SectorMap sector = sectors[s];
    const uint32_t start = sector.startAddress, size = sector.size;
    if (s) t.sectors += "\n";
    t.sectors += Format("Sector %03i\t0x%08X\t0x%08X\t%s\t", int(s), start, start + size - 1,
                        SizeText(size).c_str());
    if (sector.flags & SECTOR_READABLE) t.sectors += "R";
    if (sector.flags & SECTOR_WRITABLE) t.sectors += "W";
    if (sector.flags & SECTOR_ERASABLE) t.sectors += "E";
  }
  return t;
}

DfuUpgradeEngine::DfuUpgradeEngine(DfuView& view, TimerScheduler& timers)
    : m_view(view), m_timers(timers) {}

DfuUpgradeEngine::~DfuUpgradeEngine() { Close(); }

void DfuUpgradeEngine::SetStatus(const std::string& text) {
  m_statusText = text;
  m_view.SetStatus(text);
}

void DfuUpgradeEngine::Stop() { m_outcome = DfuOutcome::Stopped; }

void DfuUpgradeEngine::Fail(int operation, uint32_t code, const std::string& reason) {
  m_failure = {operation, code, reason};
  WriteLog("upgrade failed: %s", reason.c_str());
  Stop();
  m_view.ShowFailure(m_failure);
}

void DfuUpgradeEngine::StartUpgrade(const std::string& path) {
  WriteLog("StartUpgrade path: %s", path.c_str());
  m_DfuFilePath = path;
}

void DfuUpgradeEngine::OnInitDialog() {
  SetStatus("开始升级读卡器，请等待升级完成");
  m_timers.StartTimer(TIMER_CHECK_FILE, kStepPeriodMs);
}

void DfuUpgradeEngine::OnTimer(int id) {
  m_timers.StopTimer(id);
  switch (id) {
    case TIMER_CHECK_FILE:
      if (m_DfuFilePath.empty()) {
        if (m_HasDFUDevice) {
          SetStatus("正在查找DFU设备");
          m_timers.StartTimer(TIMER_FIND_DEVICE, kStepPeriodMs);
        } else {
          m_timers.StartTimer(TIMER_ENTER_DFU, kStepPeriodMs);
        }
      } else if (!LoadDfuFile(m_DfuFilePath)) {
        SetStatus("升级文件校验失败");
        Fail(-1, m_failure.code, m_failure.reason);
      } else {
        SetStatus("升级文件校验成功，正在查找DFU设备");
        WriteLog("Check DFU file success, m_HasDFUDevice = %d", m_HasDFUDevice);
        m_timers.StartTimer(m_HasDFUDevice ? TIMER_FIND_DEVICE : TIMER_ENTER_DFU, kStepPeriodMs);
      }
      break;
    case TIMER_ENTER_DFU: {
      // A package for another product would only leave the reader in its boot loader.
      if (!m_DfuFilePath.empty() && !MatchReaderAndFile()) {
        SetStatus("升级文件与当前设备不匹配，无法升级");
        Fail(-1, 0,
             "the package is for " + m_FileVid + ":" + m_FilePid +
                 ", not for the reader in DFU mode; the reader was not asked to enter it");
        break;
      }
      auto channel = std::make_unique<UsbReaderChannel>();
      const int entered = channel->EnterDfuMode();
      channel.reset();
      if (entered) {
        WriteLog("Enter DFU Mode success");
        m_timers.StartTimer(TIMER_FIND_DEVICE, kStepPeriodMs);
      } else {
        Fail(-1, 0, "the reader did not acknowledge the enter-DFU request");
      }
      break;
    }
    case TIMER_FIND_DEVICE:
      if (!FindDfuDevices()) {
        m_timers.StartTimer(TIMER_FIND_DEVICE, kStepPeriodMs);
      } else {
        WriteLog("Find DFU Device success");
        SetStatus("找到DFU设备，正在打开");
        m_timers.StartTimer(TIMER_OPEN_DEVICE, kStepPeriodMs);
      }
      break;
    case TIMER_OPEN_DEVICE:
      if (!OpenDfuDevice()) {
        SetStatus("DFU设备打开失败");
        WriteLog("Select Device failed");
        Fail(-1, m_failure.code, m_failure.reason);
        break;
      }
      WriteLog("Select DFU Device success");
      if (m_DfuFilePath.empty()) {
        SetStatus("正在查找匹配的升级包");
        if (AutoSelectDfuFile()) {
          SetStatus("找到匹配的升级包,开始升级");
          m_timers.StartTimer(TIMER_LAUNCH, kStepPeriodMs);
        } else {
          SetStatus("未找到匹配的升级包");
          WriteLog("Auto select DFU file failed");
          Fail(-1, 0,
               "no cached package fits the device " + m_DeviceVid + ":" + m_DevicePid + " (in " +
                   platform::PackageCache::Dfu().Folder() + ")");
        }
      } else if (MatchDeviceAndFile()) {
        SetStatus("DFU设备打开成功，开始升级");
        m_timers.StartTimer(TIMER_LAUNCH, kStepPeriodMs);
      } else {
        SetStatus("升级文件与当前设备不匹配，无法升级");
        Fail(-1, 0,
             "the package is for " + m_FileVid + ":" + m_FilePid + ", the device is " +
                 (m_DeviceVid.empty() ? std::string("of unknown identity")
                                      : m_DeviceVid + ":" + m_DevicePid));
      }
      break;
    case TIMER_LAUNCH:
      if (!LaunchUpgrade()) {
        SetStatus("启动升级失败");
        Fail(m_failure.operation, m_failure.code,
             m_failure.reason.empty() ? "the erase did not start" : m_failure.reason);
      } else {
        SetStatus("正在升级，请保持读卡器连接");
        WriteLog("Launch Upgrade success");
        m_timers.StartTimer(TIMER_POLL, kPollPeriodMs);
      }
      break;
    case TIMER_POLL:
      PollOperation();
      m_timers.StartTimer(TIMER_POLL, kPollPeriodMs);
      break;
    case TIMER_FINISH:
      FinishUpgrade();
      break;
    default:
      break;
  }
}

void DfuUpgradeEngine::Close() {
  for (int id = TIMER_CHECK_FILE; id <= TIMER_FINISH; ++id) m_timers.StopTimer(id);
  ForgetPackage();
  if (m_OperationHandle) {
    OperationRecord record{};
    MXUPDPRT_StopOperation(m_OperationHandle, &record);
    m_OperationHandle = nullptr;
    MXUPDFILES_IMAGE image = record.image;
    // The write runs on m_VerifyImage itself: release it once.
    if (image && image != m_VerifyImage) MXUPDFILES_DestroyImage(&image);
  }
  if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
  if (m_Mapping) MXUPDPRT_DestroyMapping(&m_Mapping);
  m_Mapping = nullptr;
  m_NbTargets = 0;
}

// ---- Package files -------------------------------------------------------------------------

void DfuUpgradeEngine::ForgetPackage() {
  if (m_packageImage) MXUPDFILES_DestroyImage(&m_packageImage);
  m_packagePath.clear();
  m_packageRead = false;
}

int DfuUpgradeEngine::LoadDfuFile(const std::string& path) {
  ForgetPackage();
  MXUPDFILES_FILE file = nullptr;
  uint16_t vendor = 0, product = 0, version = 0;
  uint8_t count = 0;
  errno = 0;
  if (const uint32_t rc =
          MXUPDFILES_OpenExistingDFUFile(path.c_str(), &file, &vendor, &product, &version, &count);
      rc != MXUPDFILES_OK) {
    m_failure = {-1, rc, "cannot use the package " + path + ": " + FilesReason(rc)};
    WriteLog("This file doesn't have a correct format...");
    return 0;
  }
  MXUPDFILES_IMAGE target = nullptr;
  m_FileVid = Hex4(vendor);
  m_FilePid = Hex4(product);
  bool error = false;
  for (uint32_t i = 0; i < count && !error; ++i) {
    MXUPDFILES_IMAGE image = nullptr;
    if (MXUPDFILES_ReadImageFromDFUFile(file, i, &image) != MXUPDFILES_OK) {
      WriteLog("Bad file format...");
      error = true;
      break;
    }
    uint8_t alternate = 0;
    if (MXUPDFILES_GetImageAlternate(image, &alternate) != MXUPDFILES_OK) {
      WriteLog("Unable to get data from image...");
      error = true;
    }
    // The image that will be written is kept from this very read.
    if (!error && !target && int(alternate) == m_CurrentTarget)
      target = image;
    else
      MXUPDFILES_DestroyImage(&image);
  }
  MXUPDFILES_CloseDFUFile(file);
  if (error) {
    if (target) MXUPDFILES_DestroyImage(&target);
    m_failure = {-1, 0, "cannot read the images of the package " + path};
    return 0;
  }
  m_packageImage = target;
  m_packagePath = path;
  m_packageRead = true;
  WriteLog("File correctly loaded.");
  return 1;
}

MXUPDFILES_IMAGE DfuUpgradeEngine::PackageImageCopy() {
  if (!m_packageRead || m_packagePath != m_DfuFilePath) {
    // Launched without a check of this path (the start-up choice checks every candidate).
    ForgetPackage();
    uint32_t code = MXUPDFILES_OK;
    errno = 0;
    m_packageImage = FindTargetImage(m_DfuFilePath, &code);
    if (code != MXUPDFILES_OK) {
      m_failure = {-1, code, "cannot use the package " + m_DfuFilePath + ": " + FilesReason(code)};
      WriteLog("error: %d", int(code));
      return nullptr;
    }
    m_packagePath = m_DfuFilePath;
    m_packageRead = true;
  }
  MXUPDFILES_IMAGE copy = nullptr;
  if (m_packageImage) MXUPDFILES_DuplicateImage(m_packageImage, &copy);
  if (!copy) m_failure = {-1, 0, Format("the package has no image for target %d", m_CurrentTarget)};
  return copy;
}

bool DfuUpgradeEngine::FilterFor(MXUPDFILES_IMAGE image, int32_t operation) {
  const uint32_t rc = MXUPDFILES_FilterImageForOperation(image, &m_Mapping[m_CurrentTarget],
                                                         operation, m_OptionFlag);
  if (rc == MXUPDFILES_OK) return true;
  if (rc == MXUPDFILES_ERR_PROTECTED) {
    // The flags come from a probe of the protection that a passing fault can mislead: the
    // device itself refuses what it protects, and its refusal is then explained by this.
    m_protection = m_ReadProtected ? "the device is read-protected"
                                   : "a sector of the image is write-protected";
    WriteLog("%s before the %s", m_protection.c_str(), OperationName(operation));
    return true;
  }
  std::string why = FilesReason(rc);
  if (rc == MXUPDFILES_ERR_OUTSIDE) why = "the image lies outside the device's memory: " + why;
  m_failure = {operation, rc, std::string(OperationName(operation)) + " refused: " + why};
  return false;
}

int DfuUpgradeEngine::MatchDeviceAndFile() {
  if (m_DevicePid.empty() || m_DeviceVid.empty()) return 0;
  return m_DevicePid == m_FilePid && m_DeviceVid == m_FileVid ? 1 : 0;
}

namespace {

bool IsReaderDfuIdentity(uint16_t vendor, uint16_t product) {
  return platform::devices::OffersAny(vendor, product, platform::devices::kDfuMode);
}

void LogReaderMatch(bool fits, const std::string& vid, const std::string& pid) {
  if (fits)
    WriteLog("package %s:%s is for the reader in DFU mode", vid.c_str(), pid.c_str());
  else
    WriteLog("package %s:%s is not for the reader in DFU mode: it is not asked to enter DFU mode",
             vid.c_str(), pid.c_str());
}

}  // namespace

int DfuUpgradeEngine::MatchReaderAndFile() {
  uint32_t vid = 0, pid = 0;
  const bool known = std::sscanf(m_FileVid.c_str(), "%4X", &vid) == 1 &&
                     std::sscanf(m_FilePid.c_str(), "%4X", &pid) == 1;
  const bool fits = known && IsReaderDfuIdentity(uint16_t(vid), uint16_t(pid));
  LogReaderMatch(fits, m_FileVid, m_FilePid);
  return fits ? 1 : 0;
}

int DfuUpgradeEngine::PackageFitsReader(const std::string& path) {
  MXUPDFILES_FILE file = nullptr;
  uint16_t vid = 0, pid = 0;
  uint8_t count = 0;
  if (MXUPDFILES_OpenExistingDFUFile(path.c_str(), &file, &vid, &pid, nullptr, &count) !=
      MXUPDFILES_OK) {
    WriteLog("This file doesn't have a correct format...");
    return 0;
  }
  MXUPDFILES_CloseDFUFile(file);
  const bool fits = IsReaderDfuIdentity(vid, pid);
  LogReaderMatch(fits, Hex4(vid), Hex4(pid));
  return fits ? 1 : 0;
}

int DfuUpgradeEngine::AutoSelectDfuFile() {
  for (const platform::CachedPackage& c : platform::PackageCache::Dfu().NewestFirst()) {
    if (!EndsWithDfu(c.name)) continue;
    const time_t seconds = time_t(c.modifiedNs / 1000000000);
    struct tm t {};
    localtime_r(&seconds, &t);
    WriteLog("Check File: %s time: %04d-%02d-%02d %02d:%02d:%02d", c.path.c_str(), t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    if (LoadDfuFile(c.path) && MatchDeviceAndFile()) {
      m_DfuFilePath = c.path;
      return 1;
    }
  }
  return 0;
}

MXUPDFILES_IMAGE DfuUpgradeEngine::FindTargetImage(const std::string& path, uint32_t* code) {
  MXUPDFILES_FILE file = nullptr;
  uint8_t count = 0;
  const uint32_t rc =
      MXUPDFILES_OpenExistingDFUFile(path.c_str(), &file, nullptr, nullptr, nullptr, &count);
  if (code) *code = rc;
  if (rc != MXUPDFILES_OK) return nullptr;
  MXUPDFILES_IMAGE found = nullptr;
  for (uint32_t i = 0; i < count && !found; ++i) {
    MXUPDFILES_IMAGE image = nullptr;
    if (MXUPDFILES_ReadImageFromDFUFile(file, i, &image) != MXUPDFILES_OK) continue;
    uint8_t alternate = 0;
    if (MXUPDFILES_GetImageAlternate(image, &alternate) == MXUPDFILES_OK &&
        int(alternate) == m_CurrentTarget)
      found = image;
    else
      MXUPDFILES_DestroyImage(&image);
  }
  MXUPDFILES_CloseDFUFile(file);
  return found;
}

// ---- Devices -------------------------------------------------------------------------------

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
        EqualsIgnoreCase(m_DevicePath.substr(m_DevicePath.size() - cls.size()), cls)) {
      m_DeviceVid = Hex4(m_DeviceDescriptor.idVendor);
      m_DevicePid = Hex4(m_DeviceDescriptor.idProduct);
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

// ---- Operations ----------------------------------------------------------------------------

OperationRecord DfuUpgradeEngine::MakeRecord(int32_t operation, MXUPDFILES_IMAGE image) const {
  OperationRecord record{};
  record.interfaceClass1 = kDfuInterfaceClass1;
  record.interfaceClass2 = kDfuInterfaceClass2;
  record.operation = operation;
  record.optionFlag = m_OptionFlag;
  record.image = image;
  std::snprintf(record.devicePath, sizeof record.devicePath, "%s", m_DevicePath.c_str());
  return record;
}

int DfuUpgradeEngine::LaunchUpgrade() {
  m_failure = {};
  m_protection.clear();
  MXUPDFILES_IMAGE image = PackageImageCopy();
  if (!image) {
    WriteLog("Unable to find data for that device/target from the file ...");
    return 0;
  }
  // Without a target there is nothing to write to.
  if (!m_Mapping || m_NbTargets <= uint32_t(m_CurrentTarget)) {
    m_failure = {-1, 0, Format("the device has no target %d", m_CurrentTarget)};
    MXUPDFILES_DestroyImage(&image);
    return 0;
  }
  OperationRecord record = MakeRecord(OPERATION_ERASE, image);
  if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
  MXUPDFILES_DuplicateImage(image, &m_VerifyImage);
  // A package that does not fit the memory or its protection is refused before any erase.
  if (!FilterFor(m_VerifyImage, OPERATION_DNLOAD) || !FilterFor(image, OPERATION_ERASE)) {
    MXUPDFILES_DestroyImage(&image);
    if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
    return 0;
  }
  const uint32_t size = MXUPDFILES_GetImageSize(m_VerifyImage);
  m_SizeText = Format("0 KB(0 Bytes) of %i KB(%i Bytes)", int(size / 1024), int(size));
  m_view.SetSizeText(m_SizeText);
  if (const uint32_t rc = MXUPDPRT_LaunchOperation(&record, &m_OperationHandle);
      rc != MXUPDPRT_OK) {
    m_failure = {OPERATION_ERASE, rc, "the erase did not start: " + PrtReason(rc)};
    m_OperationHandle = nullptr;
    MXUPDFILES_DestroyImage(&image);
    if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
    return 0;
  }
  m_view.SetProgress(0);
  m_view.SetProgressText("");
  return 1;
}

void DfuUpgradeEngine::PollOperation() {
  if (!m_OperationHandle) return;
  OperationRecord record{};
  MXUPDPRT_GetOperationStatus(m_OperationHandle, &record);
  const uint32_t error = record.errorCode;
  const int32_t operation = record.operation;
  if (error != MXUPDPRT_OK) {
    char where[128] = {};
    MXUPDPRT_GetOperationWhere(m_OperationHandle, where, sizeof where);
    MXUPDPRT_StopOperation(m_OperationHandle, &record);
    MXUPDFILES_IMAGE image = record.image;
    if (operation == OPERATION_DNLOAD) m_VerifyImage = nullptr;
    if (operation == OPERATION_UPLOAD && m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
    if (image) MXUPDFILES_DestroyImage(&image);
    m_OperationHandle = nullptr;
    WriteLog("operation %d failed: 0x%08X", int(operation), unsigned(error));
    if (error == MXUPDPRT_ERR_UNSUPPORTED)
      m_view.ShowMessage("This feature is not supported by this firmware.");
    Fail(operation, error,
         std::string(OperationName(operation)) + " failed" + (where[0] ? " at " : "") + where +
             ": " + PrtReason(error) + (m_protection.empty() ? "" : "; " + m_protection));
    return;
  }

  const int percent = record.percent;
  std::string phase;
  switch (operation) {
    case OPERATION_DETACH:
      phase = Format("Detaching %i%%...", percent);
      break;
    case OPERATION_LEAVE:
      phase = Format("Leaving DFU mode %i%%...", percent);
      break;
    case OPERATION_UPLOAD:
      phase = Format("Target %02i: Uploading %i%%...", m_CurrentTarget, percent);
      break;
    case OPERATION_DNLOAD:
      phase = Format("Target %02i: Upgrading - Download Phase (%i%%)...", m_CurrentTarget, percent);
      break;
    default:
      phase = Format("Target %02i: Upgrading - Erase Phase (%i%%)...", m_CurrentTarget, percent);
      break;
  }
  m_view.SetProgressText(phase);
  m_view.SetProgress(percent);
  if (operation == OPERATION_UPLOAD || operation == OPERATION_DNLOAD) {
    const uint32_t size = MXUPDFILES_GetImageSize(record.image);
    // Integer arithmetic in the order the display has always used; 64 bits so that large
    // images cannot overflow.
    m_SizeText = Format("%i KB(%i Bytes) of %i KB(%i Bytes)",
                        int(uint64_t(size / 1024) * uint64_t(percent) / 100),
                        int(uint64_t(size) * uint64_t(percent) / 100), int(size / 1024), int(size));
    m_view.SetSizeText(m_SizeText);
  }
  if (percent != 100) return;

  if (operation == OPERATION_ERASE) {
    MXUPDPRT_StopOperation(m_OperationHandle, &record);
    MXUPDFILES_IMAGE image = record.image;
    if (image) MXUPDFILES_DestroyImage(&image);
    record.operation = OPERATION_DNLOAD;
    record.image = m_VerifyImage;
    m_OperationHandle = nullptr;
    if (const uint32_t rc = MXUPDPRT_LaunchOperation(&record, &m_OperationHandle);
        rc != MXUPDPRT_OK) {
      m_OperationHandle = nullptr;
      if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
      Fail(OPERATION_DNLOAD, rc, "the write did not start: " + PrtReason(rc));
    }
    return;
  }

  MXUPDPRT_StopOperation(m_OperationHandle, &record);
  m_view.SetProgress(100);
  m_OperationHandle = nullptr;
  MXUPDFILES_IMAGE image = record.image;
  if (operation == OPERATION_UPLOAD && m_VerifyImage) {
    const bool equal = Compare(image);
    MXUPDFILES_DestroyImage(&m_VerifyImage);
    if (equal) {
      SetStatus("校验成功");
      WriteLog("Verify successful !");
      m_timers.StartTimer(TIMER_FINISH, kStepPeriodMs);
    } else {
      Fail(OPERATION_UPLOAD, 0, "verification failed: " + m_failure.reason);
    }
  } else if (operation == OPERATION_DNLOAD) {
    WriteLog("Upgrade successful !");
    SetStatus("升级成功");
    m_VerifyImage = nullptr;  // it is the record's image, released below
    StartVerify();
  } else if (operation == OPERATION_LEAVE) {
    m_outcome = DfuOutcome::Finished;
  }
  if (image) MXUPDFILES_DestroyImage(&image);
}

bool DfuUpgradeEngine::Compare(MXUPDFILES_IMAGE readImage) {
  return CompareImages(readImage, m_VerifyImage, m_view, m_failure.reason);
}

void DfuUpgradeEngine::StartVerify() {
  SetStatus("正在校验升级，请稍后");
  MXUPDFILES_IMAGE image = PackageImageCopy();
  if (!image) {
    WriteLog("Unable to find data for that target in the dfu file...");
    Fail(OPERATION_UPLOAD, 0, "read-back did not start: " + m_failure.reason);
    return;
  }
  OperationRecord record = MakeRecord(OPERATION_UPLOAD, image);
  if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
  if (!m_Mapping || m_NbTargets <= uint32_t(m_CurrentTarget) ||
      !FilterFor(image, OPERATION_UPLOAD)) {
    MXUPDFILES_DestroyImage(&image);
    Fail(OPERATION_UPLOAD, m_failure.code, m_failure.reason);
    return;
  }
  MXUPDFILES_DuplicateImage(image, &m_VerifyImage);
  if (const uint32_t rc = MXUPDPRT_LaunchOperation(&record, &m_OperationHandle);
      rc != MXUPDPRT_OK) {
    m_OperationHandle = nullptr;
    MXUPDFILES_DestroyImage(&image);
    if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
    Fail(OPERATION_UPLOAD, rc, "read-back did not start: " + PrtReason(rc));
    return;
  }
  m_view.SetProgress(0);
  m_view.SetProgressText("");
}

void DfuUpgradeEngine::FinishUpgrade() {
  MXUPDFILES_IMAGE image = nullptr;
  uint32_t rc = MXUPDPRT_ERR_IMAGE;
  // The leave needs only the first address of target 0, taken from the map: an image of the
  // whole target would be refused for a memory over the image size limit.
  if (m_Mapping && m_NbTargets > 0 &&
      MXUPDFILES_CreateImage(&image, m_Mapping[0].alternate,
                             m_Targets.empty() ? "" : m_Targets[0].name.c_str()) == MXUPDFILES_OK &&
      MXUPDFILES_FilterImageForOperation(image, &m_Mapping[0], OPERATION_LEAVE, m_OptionFlag) ==
          MXUPDFILES_OK) {
    OperationRecord record = MakeRecord(OPERATION_LEAVE, image);
    rc = MXUPDPRT_LaunchOperation(&record, &m_OperationHandle);
  }
  if (rc != MXUPDPRT_OK) {
    m_OperationHandle = nullptr;
    if (image) MXUPDFILES_DestroyImage(&image);
    SetStatus("升级完成，但重启读卡器失败");
    Fail(OPERATION_LEAVE, rc, "leaving DFU mode did not start: " + PrtReason(rc));
    return;
  }
  m_view.SetProgress(0);
  m_view.SetProgressText("");
  SetStatus("升级完成，请关闭此对话框。如未能成功打开端口，请重新插拔读卡器");
}

}  // namespace brisk::dfu
