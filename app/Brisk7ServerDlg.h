#pragma once
// The main window "读卡器设置": a view of the link controller. Its panels show the controller's
// state and pass on what the person asks for; the tray icon and its menu live here too.
#include <QDialog>
#include <QIcon>

#include "app/core/AppOptions.h"

class QMenu;
class QSystemTrayIcon;

namespace brisk::app {

class AuthPanel;
class ConfigPanel;
class DFUpgradeDialog;
class HeartbeatPanel;
class LinkController;
class NetModePanel;
class NetTestPanel;
class Prompt;
class ServicePanel;
class StartupPanel;
class StatusPanel;
class TrayHostWatcher;
class UpgradeRun;

class CBrisk7ServerDlg : public QDialog {
  Q_OBJECT
 public:
  using Options = AppOptions;
  // controller and prompt: not owned, must outlive the window.
  CBrisk7ServerDlg(LinkController& controller, Prompt& prompt, Options options);
  ~CBrisk7ServerDlg() override;

  // The tray icon, and the controller's start-up unless it has run already. The window's
  // controls are built when it is first shown: until then the program is its tray icon.
  void OnInitDialog();
  bool Built() const { return m_rightHalf != nullptr; }
  LinkController& Controller() { return m_controller; }

  // ---- tray ----
  void AddTrayIcon();
  QString TrayToolTip() const { return m_trayTip; }
  bool HasTrayIcon() const { return m_trayIcon != nullptr; }
  // The tray's four commands, enabled as the service switch says now.
  QMenu* CommandMenu();
  void OnShowWindow();
  // Shown, restored, raised and given the focus; the token: the requester's on Wayland.
  void ShowAndActivate(const QString& activationToken);

  // ---- the two halves ----
  void ExpandPanel();
  void CollapsePanel();
  bool IsExpanded() const { return m_expanded; }

  // Fields read back from the controls: false when a heartbeat edit is outside 60..600 (the
  // range message has been shown).
  bool UpdateData();
  QString PortLine() const;

 signals:
  // An upgrade dialog is about to run modally (for tests and screenshots to follow it).
  void upgradeDialogShown(brisk::app::DFUpgradeDialog* dialog);

 protected:
  void setVisible(bool visible) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void reject() override;

 private:
  void Build();
  void BuildLeftHalf(QWidget* half);
  void BuildRightHalf(QWidget* half);
  void BuildCommands();
  void ConnectPanels();
  void Render();
  void RunUpgrade(UpgradeRun& run);
  void TakeUpTray();
  void ShowWithoutTray();
  void ShowTrayMode(int mode);
  void ShowRightHalf(bool shown);
  void OnSpin(bool usbRow, bool up);
  void OnQuit();

  LinkController& m_controller;
  Prompt& m_prompt;
  Options m_options;
  QIcon m_hIcon;
  QSystemTrayIcon* m_trayIcon = nullptr;
  int m_trayMode = -1;
  QString m_trayTip;
  QMenu* m_commandMenu = nullptr;
  bool m_noTray = false;
  TrayHostWatcher* m_trayHost = nullptr;  // while waiting for a tray
  bool m_expanded = false;
  bool m_busyCursor = false;

  ServicePanel* m_servicePanel = nullptr;
  StatusPanel* m_statusPanel = nullptr;
  StartupPanel* m_startupPanel = nullptr;
  NetModePanel* m_netModePanel = nullptr;
  NetTestPanel* m_netTestPanel = nullptr;
  AuthPanel* m_authPanel = nullptr;
  ConfigPanel* m_configPanel = nullptr;
  HeartbeatPanel* m_heartbeatPanel = nullptr;
  QWidget* m_rightHalf = nullptr;
};

}  // namespace brisk::app
