#pragma once
// The program without its window: the reader link service and its command thread, the four
// timers that keep the link going, the service switch, the port and network-mode choices, the
// sleep lock, D-Bus control and the upgrade offer. It publishes its state and asks the person
// through a Prompt, so that it runs with a window, or with none.
//
// Every request carries what it was asked with. A stop, a sleep or the exit starts a new
// generation: results of an older one are dropped, never applied.
#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/AppOptions.h"
#include "app/core/LinkState.h"
#include "app/core/Settings.h"

class QTimer;
class QSocketNotifier;

#include "link/ReaderCommands.h"

namespace brisk::link {
class Brisk7Service;
}  // namespace brisk::link
namespace brisk::platform::devices {
class HotplugMonitor;
}

namespace brisk::app {

class CommandRunner;
class LogindSleepWatcher;
class Prompt;
class UpgradeRun;

// Timers, ids fixed.
inline constexpr int TIMER_STATUS = 1;
inline constexpr int TIMER_NET_CHECK = 2;
inline constexpr int TIMER_PORT_WATCH = 3;
inline constexpr int TIMER_DFU_CHECK = 4;

class LinkController : public QObject {
  Q_OBJECT
 public:
  using Options = AppOptions;
  // Shows an upgrade run modally over the shown window, beginning it, and returns once the view
  // has closed. Without one, the run begins and goes on by itself (brisknetd).
  using UpgradeRunner = std::function<void(UpgradeRun& run)>;
  // prompt: not owned, must outlive the controller.
  LinkController(Prompt& prompt, Options options, QObject* parent = nullptr);
  // Without the exit path having run, the reader still gets its notice (a quit from outside).
  ~LinkController() override;

  // Start-up: watchers, ports, the first start, the DFU check. Runs once.
  void OnInitDialog();
  bool Initialised() const { return m_initialised; }
  // Where boxes and questions are shown over; none by default.
  void SetPromptParent(QObject* parent) { m_promptParent = parent; }
  void SetUpgradeRunner(UpgradeRunner runner) { m_upgradeRunner = std::move(runner); }

  // ---- service control ----
  void StartService(std::function<void()> then = {});
  void StopService(int notify, std::function<void()> then = {});
  void OnSwitchOn();   // the start button and command
  void OnSwitchOff();  // the stop button and command
  void OnChangePort(int selectedIndex);
  void RefreshStatus();  // timer 1
  void CheckNetLink();   // timer 2
  void PortWatchdog();   // timer 3
  void CheckSelectedPort();
  // D-Bus ServiceControl: done(result) once the request has had its turn (or at once when
  // refused or overtaken, with the operation's failure value).
  void OnServiceControl(int operation, int argument, std::function<void(int)> done);
  // D-Bus SetServiceEnabled: the start or stop button; done once its start or stop is through.
  void SetServiceEnabled(bool on, std::function<void()> done = {});
  void OnExitCommand();
  void OnTerminate();  // a termination signal or the session's end: the exit path, no question
  void OnDeviceChange(const char* eventName);
  void OnSuspend();
  void OnResume();
  void SetTrayMode(int mode);

  // ---- upgrade offer ----
  void OnUpgradeFileDownloadFinished(const std::string& path);
  void CheckPendingDfuDevice();  // timer 4

  // ---- configuration ----
  void OnToggleAutoRun();
  void OnToggleAutoStartService();
  void OnToggleLog();
  // The radios, read back: the choice the next switch or check uses.
  void SetNetModeChoice(int choice) { m_netModeChoice = choice; }
  void OnSwitchNetMode(int choice);
  void OnNetworkTest();
  void OnQueryAuth();
  void OnQueryPlatform();
  void OnChangePlatform(int policy, int cache, const QString& portText, const QString& address);
  void OnQueryConnectStatus();
  void OnQueryHeartbeat();
  void OnChangeHeartbeat(int usb, int cat1);

  // ---- timers ----
  void SetTimer(int id, int periodMs);
  void KillTimer(int id);
  bool TimerActive(int id) const;
  int TimerInterval(int id) const;

  // ---- state ----
  const LinkState& State() const { return m_state; }
  link::Brisk7Service& Service() { return *m_service; }
  const BriskSettings& Settings() const { return m_settings; }
  const std::vector<std::string>& PortList() const { return m_portList; }
  bool ServiceEnabled() const { return m_state.serviceEnabled; }
  bool LinkUp() const { return m_state.linkUp; }
  bool CommandBusy() const;
  int NetModeChoice() const { return m_netModeChoice; }
  int Generation() const { return m_generation; }
  bool AutoRunChecked() const { return m_autoRunChecked; }
  // The reader's platform settings as last read, for a view that comes later.
  const std::optional<link::PlatformInfo>& LastPlatform() const { return m_platform; }
  LogindSleepWatcher* SleepWatcher() { return m_sleep.get(); }

 signals:
  // Something of State() may have changed.
  void stateChanged();
  // Fields the person edits, filled from an answer or a setting.
  void netModeChoiceShown(int choice);
  void platformRead(const brisk::link::PlatformInfo& info);
  void heartbeatsShown(int usb, int cat1);
  void authRead(const brisk::link::AuthInfo& info);
  void connectStatusRead(int status, int type);
  void networkTestDone(int successes, int failures, int average, int maximum);
  void startupChecksShown(bool autoRun, bool autoStartService, bool log);
  // The window is to be shown (activation token: the requester's, or empty).
  void showRequested(const QString& activationToken);
  // A message box's text, as it is shown (or written, without a window).
  void notice(const QString& text);
  // An upgrade run ended, well or not (cause: why not, in English).
  void upgradeFinished(bool ok, const QString& cause);
  // The exit path ended: the application is to quit with this code.
  void quitRequested(int code);

 private:
  struct StartOutcome;
  struct NetModeOutcome;
  void ApplyStart(const StartOutcome& o, int generation, int modeGeneration);
  void ApplyPlatformInfo(const link::PlatformInfo& info);
  void UpdateControlStates();
  void SetPortLine(const QString& text);
  void UpdateSleepLock();
  void WatchDevices();
  void OnTimer(int id);
  void FinishExit(int notify);
  void RunNetworkProbe(int generation);
  void EndNetworkTest();
  void OfferPendingUpgrade();
  // An upgrade run of the package (path empty: the newest cached package that fits the
  // device), owned here and published.
  UpgradeRun* NewUpgradeRun(const std::string& path);
  // Its DFU sequence, shown by the view if there is one.
  void RunUpgrade(UpgradeRun* run);
  void DropUpgradeRun(UpgradeRun* run);
  void SetUpgradeState(const char* state, int progress);
  // The downloader started or failed a download for a DFU flash (a DownloadState).
  void WatchDownloads();
  void OnDownloadActivity(int state);
  void UpgradeFailed(const QString& cause);
  void Message(const QString& text);
  bool Dropped(int generation, const char* what) const;
  // The exit has been asked for: nothing new starts.
  bool Ending() const { return m_closing || m_exitAsked; }
  void ServiceStart(std::function<void(int)> done);

  Prompt& m_prompt;
  Options m_options;
  QObject* m_promptParent = nullptr;
  UpgradeRunner m_upgradeRunner;
  LinkState m_state;
  BriskSettings m_settings;
  int& m_netModeChoice = m_settings.m_netModeChoice;
  std::string m_settingPath;
  std::vector<std::string> m_portList;
  bool m_autoRunChecked = false;
  bool m_initialised = false;
  std::optional<link::PlatformInfo> m_platform;

  std::unique_ptr<link::Brisk7Service> m_service;
  // Ends before m_service: its thread runs the service's commands.
  std::unique_ptr<CommandRunner> m_runner;
  std::map<int, QTimer*> m_timers;
  std::unique_ptr<platform::devices::HotplugMonitor> m_hotplug;
  QSocketNotifier* m_hotplugNotifier = nullptr;
  std::unique_ptr<LogindSleepWatcher> m_sleep;

  // A stop, sleep or exit moves it on: results asked for before are not applied.
  int m_generation = 0;
  // Every mode sent moves it on: a mode's answer applies only if none was sent after it.
  int m_modeGeneration = 0;
  int m_stopsPending = 0;
  bool m_sleeping = false;
  bool m_exitAsked = false;
  bool m_closing = false;
  bool m_exited = false;
  // From the moment an upgrade is asked about until its dialog has closed: one at a time.
  bool m_upgradeBusy = false;
  // The run in progress, or none; goes once it has ended.
  UpgradeRun* m_upgrade = nullptr;
  // The network test's results so far, while one runs.
  std::unique_ptr<std::vector<int>> m_networkTest;
};

}  // namespace brisk::app
