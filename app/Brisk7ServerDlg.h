#pragma once
// The main window "读卡器设置": owner of the reader link service, its tray icon, the four
// checks that keep the link going, and the reader configuration panel.
#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/AppOptions.h"
#include "app/core/Settings.h"
#include "link/Brisk7Service.h"
#include "platform/devices/HotplugMonitor.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSocketNotifier;
class QSystemTrayIcon;
class QTimer;

namespace brisk::app {

class AuthPanel;
class CommandRunner;
class ConfigPanel;
class HeartbeatPanel;
class NetModePanel;
class NetTestPanel;
class ServicePanel;
class StartupPanel;
class StatusPanel;
class Prompt;
class LogindSleepWatcher;
class TrayHostWatcher;
class DFUpgradeDialog;

// Window timers, ids fixed.
inline constexpr int TIMER_STATUS = 1;
inline constexpr int TIMER_NET_CHECK = 2;
inline constexpr int TIMER_PORT_WATCH = 3;
inline constexpr int TIMER_DFU_CHECK = 4;

// Tray commands.
inline constexpr int ID_TRAY_START = 2026;
inline constexpr int ID_TRAY_STOP = 2027;
inline constexpr int ID_TRAY_SETTINGS = 2028;
inline constexpr int ID_TRAY_EXIT = 2029;

class CBrisk7ServerDlg : public QDialog {
  Q_OBJECT
 public:
  using Options = AppOptions;
  // prompt: where message boxes go; not owned, must outlive the window.
  CBrisk7ServerDlg(Prompt& prompt, Options options);
  ~CBrisk7ServerDlg() override;

  // Start-up: settings into controls, tray icon, ports, the first start.
  void OnInitDialog();

  // ---- service control ----
  // Both run their reader commands on the command thread; then runs on the window's thread
  // once the outcome has been applied.
  void StartService(std::function<void()> then = {});
  void StopService(int notify, std::function<void()> then = {});
  void OnSwitchOn();    // 2026, 1041
  void OnSwitchOff();   // 2027, 1042
  void OnChangePort();  // 1003
  void UpdateControlStates();
  void RefreshStatus();
  void CheckNetLink();  // timer 2
  void PortWatchdog();  // timer 3
  void CheckSelectedPort();
  // The port list into the combo box, "自动" first, the saved port selected.
  void ShowPortChoices();
  // The D-Bus ServiceControl: done(result) once the request has had its turn at the reader.
  void OnServiceControl(int operation, int argument, std::function<void(int)> done);
  void OnShowWindow();  // 2028, a tray click, D-Bus Show
  // Shown, restored, raised and given the focus; the token: the requester's on Wayland.
  void ShowAndActivate(const QString& activationToken);
  void OnExitCommand();  // 2029
  void OnTerminate();    // SIGTERM/SIGINT: the exit path without the question
  void OnDeviceChange(const char* eventName);
  void OnSuspend();
  void OnResume();

  // ---- upgrade prompt ----
  void OnUpgradeFileDownloadFinished(const std::string& path);
  void CheckPendingDfuDevice();  // timer 4

  // ---- tray ----
  void AddTrayIcon();
  void SetTrayMode(int mode);
  int TrayMode() const { return m_trayMode; }
  QString TrayToolTip() const { return m_trayTip; }
  bool HasTrayIcon() const { return m_trayIcon != nullptr; }
  // Enabled states of the four commands, as the menu shows them now.
  QMenu* CommandMenu();

  // ---- the two halves ----
  void ExpandPanel();
  void CollapsePanel();
  bool IsExpanded() const { return m_expanded != 0; }

  // ---- configuration panel ----
  void OnToggleAutoRun();              // 1032
  void OnToggleAutoStartService();     // 1033
  void OnToggleLog();                  // 1040
  void OnSwitchNetMode();              // 1012
  void OnNetworkTest();                // 1038
  void OnAbout();                      // 1037
  void OnQueryAuth();                  // 1026
  void OnQueryPlatform();              // 1027
  void OnChangePlatform();             // 1028
  void OnQueryConnectStatus();         // 1034
  void OnQueryHeartbeat();             // 1050
  void OnChangeHeartbeat();            // 1051
  void OnSpin(int editId, int delta);  // 1049, 1053: delta < 0 is the up arrow

  // Fields <-> controls. Save direction: false when a heartbeat edit is outside 60..600
  // (the range message has been shown); the fields before it have been read.
  bool UpdateData(bool save);

  // ---- timers ----
  void SetTimer(int id, int periodMs);
  void KillTimer(int id);
  bool TimerActive(int id) const;
  int TimerInterval(int id) const;

  // ---- state ----
  link::Brisk7Service& Service() { return *m_service; }
  const BriskSettings& Settings() const { return m_settings; }
  const std::vector<std::string>& PortList() const { return m_portList; }
  bool ServiceEnabled() const { return m_serviceEnabled != 0; }
  bool LinkUp() const { return m_linkUp != 0; }
  // Whether the reader's port was open when last looked at (the command thread may be
  // opening or closing it now).
  bool ComOpen() const { return m_comOpen; }
  // A reader command has been asked for and its result not applied yet.
  bool CommandBusy() const;
  int NetModeChoice() const { return m_netModeChoice; }
  QString PortLine() const;
  LogindSleepWatcher* SleepWatcher() { return m_sleep.get(); }

 signals:
  // The exit path ended: the application is to quit with this code.
  void quitRequested(int code);
  // Something a D-Bus property shows may have changed.
  void stateChanged();
  // An upgrade dialog is about to run modally (for tests and screenshots to follow it).
  void upgradeDialogShown(brisk::app::DFUpgradeDialog* dialog);

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void reject() override;

 private:
  void BuildLeftHalf(QWidget* half);
  void BuildRightHalf(QWidget* half);
  void BuildCommands();
  void WatchDevices();
  void TakeUpTray();
  void ShowWithoutTray();
  QString TrayIconName() const;
  void ShowRightHalf(bool shown);
  void OnTimer(int id);
  void OnDestroy();
  void SetPortLine(const QString& text);
  void SetBusy(bool busy);
  // The reader's platform settings, as a query read them.
  struct PlatformInfo {
    uint8_t policy = 0;
    uint8_t cache = 0;
    uint32_t port = 0;
    std::string host;
  };
  // What a start found out on the command thread.
  struct StartOutcome {
    bool started = false;
    int cat1 = 0;
    uint8_t cat1Model = 0;
    bool platformRead = false;
    PlatformInfo platform;
    int mode = 0;
    int modeResult = 0;
    int comPort = 0;
  };
  static bool ReadPlatform(link::Brisk7Service& service, PlatformInfo& info);
  void ApplyPlatformInfo(const PlatformInfo& info);
  void ApplyStart(const StartOutcome& outcome);
  void RunNetworkProbe(int epoch);
  void ShowNetworkTestResult();
  void FinishExit(int notify);
  void Message(const QString& text);

  Prompt& m_prompt;
  Options m_options;

  // The window's fields.
  QIcon m_hIcon;
  QSystemTrayIcon* m_trayIcon = nullptr;
  std::vector<std::string> m_portList;
  BriskSettings m_settings;  // m_portNumber, m_savedNetMode, m_autoStartService, heartbeats
  int m_serviceEnabled = 0;
  std::unique_ptr<link::Brisk7Service> m_service;
  // Ends before m_service: its thread runs the service's commands.
  std::unique_ptr<CommandRunner> m_runner;
  std::string m_settingPath;
  int m_expanded = 0;
  int m_linkUp = 0;
  int& m_netModeChoice = m_settings.m_netModeChoice;
  int m_platformConnectMode = 0;
  int m_dataCache = 0;
  int& m_usbHeartbeat = m_settings.m_usbHeartbeat;
  int& m_cat1Heartbeat = m_settings.m_cat1Heartbeat;

  // The tray record: shown mode and tip, also where no tray exists.
  int m_trayMode = 0;
  QString m_trayTip;
  QMenu* m_commandMenu = nullptr;
  bool m_noTray = false;
  TrayHostWatcher* m_trayHost = nullptr;  // while waiting for a tray

  std::map<int, QTimer*> m_timers;
  // The window's groups; each owns its controls.
  ServicePanel* m_servicePanel = nullptr;
  StatusPanel* m_statusPanel = nullptr;
  StartupPanel* m_startupPanel = nullptr;
  NetModePanel* m_netModePanel = nullptr;
  NetTestPanel* m_netTestPanel = nullptr;
  AuthPanel* m_authPanel = nullptr;
  ConfigPanel* m_configPanel = nullptr;
  HeartbeatPanel* m_heartbeatPanel = nullptr;
  QPushButton* m_aboutButton = nullptr;
  QWidget* m_rightHalf = nullptr;

  std::unique_ptr<platform::devices::HotplugMonitor> m_hotplug;
  QSocketNotifier* m_hotplugNotifier = nullptr;
  std::unique_ptr<LogindSleepWatcher> m_sleep;
  DFUpgradeDialog* m_upgradeDialog = nullptr;  // while one runs modally
  // From the moment an upgrade is asked about until its dialog has closed: one at a time.
  bool m_upgradeBusy = false;

  // Counts the stops: a chain of commands started before a stop does not go on after it.
  int m_commandEpoch = 0;
  int m_stopsPending = 0;
  bool m_busyCursor = false;
  bool m_closing = false;
  bool m_comOpen = false;
  // The network test's results so far, while one runs.
  std::unique_ptr<std::vector<int>> m_networkTest;
};

}  // namespace brisk::app
