#pragma once
// The DFU upgrade engine: the fields and step operations behind the upgrade dialog, and the
// seven-step sequence that drives them from one-shot timers. It knows nothing of the window
// that shows it: a view and a timer scheduler are handed in.
#include <cstdint>
#include <string>
#include <vector>

#include "libs/mxupd/MXUPD.h"
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdprt/MXUPDPRT.h"

namespace brisk::dfu {

// Why the sequence stopped: the step or operation, the library's status code and its text, in
// one English line for a terminal and the log. A window shows its own texts beside it.
struct DfuFailure {
  int operation = -1;  // the OPERATION_ code that failed or did not start; -1: another step
  uint32_t code = 0;   // the library's status code; 0 when no library call failed
  std::string reason;
};

// What the engine shows. Every call comes from the thread that runs the timers.
class DfuView {
 public:
  virtual ~DfuView() = default;
  virtual void SetStatus(const std::string& text) = 0;        // the status line
  virtual void SetProgress(int percent) = 0;                  // the progress bar, 0 to 100
  virtual void SetProgressText(const std::string& text) = 0;  // the progress bar's text
  virtual void SetSizeText(const std::string& text) = 0;      // the byte count
  // A modal message with an OK button; returns when it was dismissed.
  virtual void ShowMessage(const std::string& text) = 0;
  // The sequence stopped on failure (after the step's own status text, if any).
  virtual void ShowFailure(const DfuFailure& failure) { (void)failure; }
};

// One-shot timers: a started timer fires once, through DfuUpgradeEngine::OnTimer, after its
// period; starting a pending timer again restarts it.
class TimerScheduler {
 public:
  virtual ~TimerScheduler() = default;
  virtual void StartTimer(int id, int periodMs) = 0;
  virtual void StopTimer(int id) = 0;
};

enum DfuTimer {
  TIMER_CHECK_FILE = 1,
  TIMER_ENTER_DFU = 2,
  TIMER_FIND_DEVICE = 3,
  TIMER_OPEN_DEVICE = 4,
  TIMER_LAUNCH = 5,
  TIMER_POLL = 6,
  TIMER_FINISH = 7,
};
inline constexpr int kStepPeriodMs = 500;
inline constexpr int kPollPeriodMs = 300;

// The dialog's text record for one device target.
struct DevTarget {
  std::string alternate;    // "%02i"
  std::string name;         // from the TargetMap
  std::string sectorCount;  // "%i sectors..."
  std::string sectors;      // one "Sector ..." line per sector, joined by "\n"
};

// Where the sequence stands, for a caller that has to end on its own (the command-line tool).
enum class DfuOutcome {
  Running,
  Stopped,   // a step stopped the sequence (or an operation failed); the status tells which
  Finished,  // the leave-DFU operation reached 100 %
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
  DfuUpgradeEngine(DfuView& view, TimerScheduler& timers);
  ~DfuUpgradeEngine();
  DfuUpgradeEngine(const DfuUpgradeEngine&) = delete;
  DfuUpgradeEngine& operator=(const DfuUpgradeEngine&) = delete;

  void StartUpgrade(const std::string& path);
  void SetHasDFUDevice(int value) { m_HasDFUDevice = value; }
  // The dialog has been shown: first status text and timer 1.
  void OnInitDialog();
  // A one-shot timer fired.
  void OnTimer(int id);
  // The dialog closes: the timers stop, a running operation is stopped, the map and the images
  // are released.
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
  // The first image of the package for target m_CurrentTarget, or null; *code is the library's
  // result when the file did not open (MXUPDFILES_OK otherwise).
  MXUPDFILES_IMAGE FindTargetImage(const std::string& path, uint32_t* code = nullptr);
  int LaunchUpgrade();
  void PollOperation();
  void StartVerify();
  void FinishUpgrade();

  // Compares the read-back image with the package data kept in m_VerifyImage; a difference or
  // elements of different sizes is shown and false.
  bool Compare(MXUPDFILES_IMAGE readImage);

  DfuOutcome Outcome() const { return m_outcome; }
  const std::string& StatusText() const { return m_statusText; }
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
  std::string m_DeviceVid, m_DevicePid;
  std::string m_FileVid, m_FilePid;
  std::vector<DevTarget> m_Targets;
  int m_HasDFUDevice = 0;
  std::string m_SizeText;

  // Protection settings read from the option bytes.
  bool m_HasOptionBytes = false;
  bool m_ReadProtected = false;
  uint8_t m_Rdp = 0;
  uint32_t m_Wrp = 0;

 private:
  void SetStatus(const std::string& text);
  void Stop();
  void Fail(int operation, uint32_t code, const std::string& reason);
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
  TimerScheduler& m_timers;
  std::string m_statusText;
  DfuOutcome m_outcome = DfuOutcome::Running;
  DfuFailure m_failure;
  std::string m_protection;  // why the device may refuse the image's sectors, or empty
  // The package as read and checked once: its image for the target (null when it has none),
  // and the path it came from. Erase, write and verify use these bytes, never a second read.
  MXUPDFILES_IMAGE m_packageImage = nullptr;
  std::string m_packagePath;
  bool m_packageRead = false;
};

// "%i b", "%i Kb" or "%i Mb".
std::string SizeText(uint32_t size);
// One DevTarget from one TargetMap.
DevTarget MakeDevTarget(const TargetMap& target);

}  // namespace brisk::dfu
