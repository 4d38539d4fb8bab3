#include "dfu/DfuUpgradeEngine.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "dfu/FailureText.h"
#include "dfu/ImageCompare.h"
#include "dfu/UsbReaderChannel.h"
#include "log/Log.h"
#include "platform/PackageCache.h"
#include "platform/devices/DfuDevices.h"

namespace brisk::dfu {

const DfuGuid kDfuInterfaceClass1 = DFU_INTERFACE_CLASS_1;
const DfuGuid kDfuInterfaceClass2 = DFU_INTERFACE_CLASS_2;

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

std::string IdentityText(uint16_t vendor, uint16_t product) {
  return Format("%04X:%04X", unsigned(vendor), unsigned(product));
}

DfuUpgradeEngine::DfuUpgradeEngine(DfuView& view) : m_view(view) {}

DfuUpgradeEngine::~DfuUpgradeEngine() { Close(); }

void DfuUpgradeEngine::SetStatus(Status status) {
  m_status = status;
  m_view.SetStatus(status);
}

void DfuUpgradeEngine::Fail(FailureKind kind, int operation, uint32_t code,
                            const std::string& reason, std::optional<Status> status) {
  // Ended before the status is shown: a view knows from it that no step follows.
  m_outcome = DfuOutcome::Stopped;
  if (status) SetStatus(*status);
  m_failure = {operation, code, reason, kind};
  WriteLog("upgrade failed: %s", reason.c_str());
  m_outcome = DfuOutcome::Stopped;
  m_view.ShowFailure(m_failure);
}

void DfuUpgradeEngine::StartUpgrade(const std::string& path) {
  WriteLog("StartUpgrade path: %s", path.c_str());
  m_DfuFilePath = path;
}

void DfuUpgradeEngine::OnInitDialog() { SetStatus(Status::Starting); }

DfuOutcome DfuUpgradeEngine::Run(StepPacer& pacer, Step first) {
  m_outcome = DfuOutcome::Running;
  Step step = first;
  do {
    if (!pacer.Before(step, step == Step::Poll ? kPollPeriodMs : kStepPeriodMs)) {
      if (m_outcome == DfuOutcome::Running) m_outcome = DfuOutcome::Paused;
      break;
    }
  } while (RunStep(step));
  return m_outcome;
}

bool DfuUpgradeEngine::RunStep(Step& step) {
  switch (step) {
    case Step::CheckFile:
      if (m_DfuFilePath.empty()) {
        if (m_HasDFUDevice) SetStatus(Status::SearchingDevice);
      } else if (!LoadDfuFile(m_DfuFilePath)) {
        Fail(FailureKind::BadPackage, -1, m_failure.code, m_failure.reason, Status::FileBad);
        return false;
      } else {
        SetStatus(Status::FileChecked);
        WriteLog("Check DFU file success, m_HasDFUDevice = %d", m_HasDFUDevice);
      }
      step = m_HasDFUDevice ? Step::FindDevice : Step::EnterDfu;
      return true;
    case Step::EnterDfu: {
      // A package for another product would only leave the reader in its boot loader.
      if (!m_DfuFilePath.empty() && !MatchReaderAndFile()) {
        Fail(FailureKind::Mismatch, -1, 0,
             "the package is for " + IdentityText(m_FileVid, m_FilePid) +
                 ", not for the reader in DFU mode; the reader was not asked to enter it",
             Status::Mismatch);
        return false;
      }
      UsbReaderChannel channel;
      if (!channel.EnterDfuMode()) {
        Fail(FailureKind::NotAcknowledged, -1, 0,
             "the reader did not acknowledge the enter-DFU request");
        return false;
      }
      WriteLog("Enter DFU Mode success");
      step = Step::FindDevice;
      return true;
    }
    case Step::FindDevice:
      if (FindDfuDevices()) {
        WriteLog("Find DFU Device success");
        SetStatus(Status::DeviceFound);
        step = Step::OpenDevice;
      }
      return true;
    case Step::OpenDevice:
      if (!OpenDfuDevice()) {
        WriteLog("Select Device failed");
        Fail(FailureKind::OpenFailed, -1, m_failure.code, m_failure.reason, Status::OpenFailed);
        return false;
      }
      WriteLog("Select DFU Device success");
      if (m_DfuFilePath.empty()) {
        SetStatus(Status::SearchingPackage);
        if (!AutoSelectDfuFile()) {
          WriteLog("Auto select DFU file failed");
          Fail(FailureKind::NoPackage, -1, 0,
               "no cached package fits the device " + IdentityText(m_DeviceVid, m_DevicePid) +
                   " (in " + platform::PackageCache::Dfu().Folder() + ")",
               Status::NoPackage);
          return false;
        }
        SetStatus(Status::PackageFound);
      } else if (MatchDeviceAndFile()) {
        SetStatus(Status::DeviceOpened);
      } else {
        Fail(FailureKind::Mismatch, -1, 0,
             "the package is for " + IdentityText(m_FileVid, m_FilePid) + ", the device is " +
                 (m_DeviceIdentified ? IdentityText(m_DeviceVid, m_DevicePid)
                                     : std::string("of unknown identity")),
             Status::Mismatch);
        return false;
      }
      step = Step::Launch;
      return true;
    case Step::Launch:
      if (!LaunchUpgrade()) {
        Fail(FailureKind::LaunchFailed, m_failure.operation, m_failure.code,
             m_failure.reason.empty() ? "the erase did not start" : m_failure.reason,
             Status::LaunchFailed);
        return false;
      }
      SetStatus(Status::Upgrading);
      WriteLog("Launch Upgrade success");
      step = Step::Poll;
      return true;
    case Step::Poll:
      PollOperation();
      // A good verification ends the polling of the read-back; the leave is polled after.
      if (m_status == Status::Verified && !m_OperationHandle) step = Step::Finish;
      return m_outcome == DfuOutcome::Running;
    case Step::Finish:
      FinishUpgrade();
      step = Step::Poll;
      return m_outcome == DfuOutcome::Running;
  }
  return false;
}

void DfuUpgradeEngine::Close() {
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
  m_protectionKind = FailureKind::None;
  MXUPDFILES_IMAGE image = PackageImageCopy();
  if (!image) {
    WriteLog("Unable to find data for that device/target from the file ...");
    return 0;
  }
  // Without a target there is nothing to write to.
  if (!m_Mapping || m_NbTargets <= uint32_t(m_CurrentTarget)) {
    m_failure = {-1, 0, Format("the device has no target %d", m_CurrentTarget), {}};
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
    m_failure = {OPERATION_ERASE, rc, "the erase did not start: " + PrtReason(rc), {}};
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
    Fail(m_protectionKind == FailureKind::None ? FailureKind::OperationFailed : m_protectionKind,
         operation, error,
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
      Fail(FailureKind::LaunchFailed, OPERATION_DNLOAD, rc,
           "the write did not start: " + PrtReason(rc));
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
      SetStatus(Status::Verified);
      WriteLog("Verify successful !");
    } else {
      Fail(FailureKind::VerifyMismatch, OPERATION_UPLOAD, 0,
           "verification failed: " + m_failure.reason);
    }
  } else if (operation == OPERATION_DNLOAD) {
    WriteLog("Upgrade successful !");
    SetStatus(Status::Written);
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
  SetStatus(Status::Verifying);
  MXUPDFILES_IMAGE image = PackageImageCopy();
  if (!image) {
    WriteLog("Unable to find data for that target in the dfu file...");
    Fail(FailureKind::LaunchFailed, OPERATION_UPLOAD, 0,
         "read-back did not start: " + m_failure.reason);
    return;
  }
  OperationRecord record = MakeRecord(OPERATION_UPLOAD, image);
  if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
  if (!m_Mapping || m_NbTargets <= uint32_t(m_CurrentTarget) ||
      !FilterFor(image, OPERATION_UPLOAD)) {
    MXUPDFILES_DestroyImage(&image);
    Fail(FailureKind::LaunchFailed, OPERATION_UPLOAD, m_failure.code, m_failure.reason);
    return;
  }
  MXUPDFILES_DuplicateImage(image, &m_VerifyImage);
  if (const uint32_t rc = MXUPDPRT_LaunchOperation(&record, &m_OperationHandle);
      rc != MXUPDPRT_OK) {
    m_OperationHandle = nullptr;
    MXUPDFILES_DestroyImage(&image);
    if (m_VerifyImage) MXUPDFILES_DestroyImage(&m_VerifyImage);
    Fail(FailureKind::LaunchFailed, OPERATION_UPLOAD, rc,
         "read-back did not start: " + PrtReason(rc));
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
    Fail(FailureKind::LeaveFailed, OPERATION_LEAVE, rc,
         "leaving DFU mode did not start: " + PrtReason(rc), Status::DoneNoRestart);
    return;
  }
  m_view.SetProgress(0);
  m_view.SetProgressText("");
  SetStatus(Status::Done);
}

}  // namespace brisk::dfu
