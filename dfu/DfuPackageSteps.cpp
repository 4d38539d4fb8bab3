// The engine's package steps: reading the package once, its images and filters, and whether it
// is for the device or the reader.
#include <strings.h>

#include <cstring>
#include <ctime>

#include "dfu/DfuUpgradeEngine.h"
#include "dfu/FailureText.h"
#include "log/Log.h"
#include "platform/PackageCache.h"
#include "platform/devices/ReaderIdentities.h"

namespace brisk::dfu {
namespace {

bool EndsWithDfu(const std::string& name) {
  return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dfu") == 0;
}

}  // namespace

void DfuUpgradeEngine::ForgetPackage() {
  if (m_package.image) MXUPDFILES_DestroyImage(&m_package.image);
  m_package = {};
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
  m_FileVid = vendor;
  m_FilePid = product;
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
  m_package = {path, target, true};
  WriteLog("File correctly loaded.");
  return 1;
}

MXUPDFILES_IMAGE DfuUpgradeEngine::PackageImageCopy() {
  // Launched without a check of this path: read once now.
  if ((!m_package.read || m_package.path != m_DfuFilePath) && !LoadDfuFile(m_DfuFilePath))
    return nullptr;
  MXUPDFILES_IMAGE copy = nullptr;
  if (m_package.image) MXUPDFILES_DuplicateImage(m_package.image, &copy);
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
    m_protectionKind = m_ReadProtected ? FailureKind::ReadProtected : FailureKind::WriteProtected;
    WriteLog("%s before the %s", m_protection.c_str(), OperationName(operation));
    return true;
  }
  std::string why = FilesReason(rc);
  if (rc == MXUPDFILES_ERR_OUTSIDE) why = "the image lies outside the device's memory: " + why;
  m_failure = {operation, rc, std::string(OperationName(operation)) + " refused: " + why};
  return false;
}

int DfuUpgradeEngine::MatchDeviceAndFile() {
  if (!m_DeviceIdentified) return 0;
  return m_DevicePid == m_FilePid && m_DeviceVid == m_FileVid ? 1 : 0;
}

namespace {

int LogReaderMatch(uint16_t vendor, uint16_t product) {
  const bool fits = platform::devices::OffersAny(vendor, product, platform::devices::kDfuMode);
  const std::string id = IdentityText(vendor, product);
  if (fits)
    WriteLog("package %s is for the reader in DFU mode", id.c_str());
  else
    WriteLog("package %s is not for the reader in DFU mode: it is not asked to enter DFU mode",
             id.c_str());
  return fits ? 1 : 0;
}

}  // namespace

int DfuUpgradeEngine::MatchReaderAndFile() { return LogReaderMatch(m_FileVid, m_FilePid); }

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
  return LogReaderMatch(vid, pid);
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

}  // namespace brisk::dfu
