#pragma once
// The DFU upgrade engine: the fields and step operations behind the upgrade dialog, and the
// sequence that runs them in order on the caller's thread (a worker). It knows nothing of the
// window that shows it: a view and a pacer are handed in.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dfu/StatusTexts.h"
#include "libs/mxupd/MXUPD.h"
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdprt/MXUPDPRT.h"

namespace brisk::dfu {

// What went wrong, for a view to name the cause without reading the reason's words.
enum class FailureKind {
  None,
  BadPackage,       // the package file could not be read
  NotAcknowledged,  // the reader did not answer the enter-DFU request
  OpenFailed,       // the device could not be opened or described
  NoPackage,        // no cached package fits the device
  Mismatch,         // the package is for another device
  LaunchFailed,     // an operation did not start or was refused before it ran
  OperationFailed,  // the device failed an operation
  ReadProtected,    // the device failed it, and its flash is read-protected
  WriteProtected,   // the device failed it, and a sector of the image is write-protected
  VerifyMismatch,   // the read-back differs from the package
  LeaveFailed,      // leaving DFU mode did not start
};

// Why the sequence stopped: the step or operation, the library's status code and its text, in
// one English line for a terminal and the log. A window shows its own texts beside it.
struct DfuFailure {
  int operation = -1;  // the OPERATION_ code that failed or did not start; -1: another step
  uint32_t code = 0;   // the library's status code; 0 when no library call failed
  std::string reason;
  FailureKind kind = FailureKind::None;
};

// What the engine shows. Every call comes from the thread that runs the sequence.
class DfuView {
 public:
  virtual ~DfuView() = default;
  virtual void SetStatus(Status status) = 0;                  // the status line
  virtual void SetProgress(int percent) = 0;                  // the progress bar, 0 to 100
  virtual void SetProgressText(const std::string& text) = 0;  // the progress bar's text
  virtual void SetSizeText(const std::string& text) = 0;      // the byte count
  // A modal message with an OK button; returns when it was dismissed.
  virtual void ShowMessage(const std::string& text) = 0;
  // The sequence stopped on failure (after the step's own status text, if any).
  virtual void ShowFailure(const DfuFailure& failure) { (void)failure; }
};

// The steps in their order; a failed device search repeats its step, and polling repeats
// until the operations have ended. The dialog's timer ids name the pauses before them.
enum class Step { CheckFile = 1, EnterDfu, FindDevice, OpenDevice, Launch, Poll, Finish };
enum DfuTimer {
  TIMER_CHECK_FILE = int(Step::CheckFile),
  TIMER_ENTER_DFU,
  TIMER_FIND_DEVICE,
  TIMER_OPEN_DEVICE,
  TIMER_LAUNCH,
  TIMER_POLL,
  TIMER_FINISH,
};
inline constexpr int kStepPeriodMs = 500;
inline constexpr int kPollPeriodMs = 300;

// How the sequence waits before each step: the dialog pauses periodMs as the window always
// did, brisk-dfu runs straight on. False ends the sequence there (the dialog closed, the tool
// gave up).
class StepPacer {
 public:
  virtual ~StepPacer() = default;
  virtual bool Before(Step step, int periodMs) = 0;
};

// The dialog's text record for one device target.
struct DevTarget {
  std::string alternate;    // "%02i"
  std::string name;         // from the TargetMap
  std::string sectorCount;  // "%i sectors..."
  std::string sectors;      // one "Sector ..." line per sector, joined by "\n"
};

// How the sequence ended.
enum class DfuOutcome {
  Running,
  Stopped,   // a step stopped the sequence (or an operation failed); the failure tells why
  Finished,  // the leave-DFU operation reached 100 %
  Paused,    // the pacer ended it before a step
};

// The interface-class identifiers of devices in DFU mode.
extern const DfuGuid kDfuInterfaceClass1;
extern const DfuGuid kDfuInterfaceClass2;

// Bound on the status rounds while reading the protection settings. Each busy round waits the
// poll time-out the device announced, all of them together at most kMaxSettleWaitMs.
inline constexpr int kSettleRounds = 16;
inline constexpr int kMaxSettleWaitMs = 10000;
// A device that udev already lists may not yet be known to libusb: the open is retried this
// many times, 100 ms apart, while the device is reported as not there.
inline constexpr int kOpenAttempts = 20;

class DfuUpgradeEngine {
 public:
  explicit DfuUpgradeEngine(DfuView& view);
  ~DfuUpgradeEngine();
  DfuUpgradeEngine(const DfuUpgradeEngine&) = delete;
  DfuUpgradeEngine& operator=(const DfuUpgradeEngine&) = delete;

  void StartUpgrade(const std::string& path);
  void SetHasDFUDevice(int value) { m_HasDFUDevice = value; }
  // The dialog has been shown: the first status text.
  void OnInitDialog();
  // Runs the steps in order from first, each after the pacer's wait, until the sequence ends.
  DfuOutcome Run(StepPacer& pacer, Step first = Step::CheckFile);
  // The dialog closes: a running operation is stopped, the map and the images are released.
  void Close();

  // Step operations.
  int LoadDfuFile(const std::string& path);
  int FindDfuDevices();
  int OpenDfuDevice();
  static std::string GuidToText(const DfuGuid& id);
  int AutoSelectDfuFile();
  int MatchDeviceAndFile();
  // 1 when the checked package (m_FileVid, m_FilePid) is for one of the identities the reader
  // shows in DFU mode, so that asking it to enter DFU mode can lead to a flash; logged either way.
  int MatchReaderAndFile();
  // The same for a package file before the reader is asked over its serial link: reads only the
  // package's identity.
  static int PackageFitsReader(const std::string& path);
  int LaunchUpgrade();
  void PollOperation();
  void StartVerify();
  void FinishUpgrade();

  // Compares the read-back image with the package data kept in m_VerifyImage; a difference or
  // elements of different sizes is shown and false.
  bool Compare(MXUPDFILES_IMAGE readImage);

  DfuOutcome Outcome() const { return m_outcome; }
  Status CurrentStatus() const { return m_status; }
  // Why the sequence stopped; empty reason while it runs or after it finished well.
  const DfuFailure& Failure() const { return m_failure; }

  // The dialog's fields, under their own names.
  std::string m_DfuFilePath;
  std::string m_DevicePath;
  uint32_t m_OptionFlag = 0;
  MXUPDFILES_IMAGE m_VerifyImage = nullptr;
  uint32_t m_NbTargets = 0;
  TargetMap* m_Mapping = nullptr;
  UsbDeviceDescriptor m_DeviceDescriptor{};
  DfuFunctionalDescriptor m_DfuDescriptor{};
  MXUPDPRT_OPERATION m_OperationHandle = nullptr;
  int m_CurrentTarget = 0;
  std::vector<std::string> m_DevicePaths;
  std::vector<std::string> m_DeviceNames;
  // The identities as numbers; the "%04X" text is made where it is shown.
  bool m_DeviceIdentified = false;  // only a device of interface class 1 names its identity
  uint16_t m_DeviceVid = 0, m_DevicePid = 0;
  uint16_t m_FileVid = 0, m_FilePid = 0;
  std::vector<DevTarget> m_Targets;
  int m_HasDFUDevice = 0;
  std::string m_SizeText;

  // Protection settings read from the option bytes.
  bool m_HasOptionBytes = false;
  bool m_ReadProtected = false;
  uint8_t m_Rdp = 0;
  uint32_t m_Wrp = 0;

 private:
  // The step's work; the step to run next, or none when the sequence has ended.
  bool RunStep(Step& step);
  void SetStatus(Status status);
  // Ends the sequence, showing status first when given.
  void Fail(FailureKind kind, int operation, uint32_t code, const std::string& reason,
            std::optional<Status> status = std::nullopt);
  // A copy of the package's image for the target, from the one read of the package that was
  // checked (read now when nothing was read for m_DfuFilePath yet); null when there is none.
  MXUPDFILES_IMAGE PackageImageCopy();
  void ForgetPackage();
  // Prepares image for operation on the current target; false (with the failure) when it does
  // not fit the device's memory. Sectors marked protected are noted in m_protection.
  bool FilterFor(MXUPDFILES_IMAGE image, int32_t operation);
  OperationRecord MakeRecord(int32_t operation, MXUPDFILES_IMAGE image) const;
  bool OpenWithRetry(MXUPD_HANDLE& handle);
  void DecodeProtection(MXUPD_HANDLE* handle);
  void BuildTargets();
  DfuView& m_view;
  Status m_status = Status::Starting;
  DfuOutcome m_outcome = DfuOutcome::Running;
  DfuFailure m_failure;
  // Why the device may refuse the image's sectors, or empty; and which protection it is.
  std::string m_protection;
  FailureKind m_protectionKind = FailureKind::None;
  // The package as read and checked once (its identity in m_FileVid, m_FilePid): its path and
  // image for the target (null when it has none). Erase, write and verify use these bytes,
  // never a second read.
  struct Package {
    std::string path;
    MXUPDFILES_IMAGE image = nullptr;
    bool read = false;
  } m_package;
};

// "%i b", "%i Kb" or "%i Mb".
std::string SizeText(uint32_t size);
// One DevTarget from one TargetMap.
DevTarget MakeDevTarget(const TargetMap& target);
// A USB identity as the package and the device name it: "VVVV:PPPP".
std::string IdentityText(uint16_t vendor, uint16_t product);

}  // namespace brisk::dfu
