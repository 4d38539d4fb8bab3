// The tray icon and its four commands' tip and mode, and the window without a tray.
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/AppIcon.h"
#include "app/Brisk7ServerDlg.h"
#include "app/TrayHost.h"
#include "app/core/LinkController.h"
#include "log/Log.h"

namespace brisk::app {

namespace {
QString TrayIconName(int mode) {
  if (mode == 1) return QStringLiteral("brisk-netservice-usb");
  if (mode == 2) return QStringLiteral("brisk-netservice-cat1");
  return QStringLiteral("brisk-netservice");
}
}  // namespace

void CBrisk7ServerDlg::BuildCommands() {
  m_commandMenu = new QMenu(this);
  m_commandMenu->setObjectName(QStringLiteral("trayMenu"));
  const auto add = [this](const char* name, const QString& text, auto handler) {
    QAction* action = m_commandMenu->addAction(text);
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, handler);
  };
  add("traySettingsAction", tr("设置"), [this] { OnShowWindow(); });
  add("trayStartAction", tr("启动"), [this] { m_controller.OnSwitchOn(); });
  add("trayStopAction", tr("停止"), [this] { m_controller.OnSwitchOff(); });
  add("trayExitAction", tr("退出"), [this] { m_controller.OnExitCommand(); });
  connect(m_commandMenu, &QMenu::aboutToShow, this, [this] { CommandMenu(); });
}

QMenu* CBrisk7ServerDlg::CommandMenu() {
  const LinkState& s = m_controller.State();
  const bool running = s.serviceEnabled || s.linkUp;
  m_commandMenu->findChild<QAction*>(QStringLiteral("trayStartAction"))->setEnabled(!running);
  m_commandMenu->findChild<QAction*>(QStringLiteral("trayStopAction"))->setEnabled(running);
  return m_commandMenu;
}

void CBrisk7ServerDlg::AddTrayIcon() {
  ShowTrayMode(m_controller.State().trayMode);
  // A platform without windows never gets a tray.
  const bool windowing = QGuiApplication::platformName() != QLatin1String("offscreen");
  if (windowing && TrayHostWatcher::Present()) {
    TakeUpTray();
    return;
  }
  if (!windowing || m_options.trayWaitMs <= 0) {
    ShowWithoutTray();
    return;
  }
  // At login the panel may come after us: the window is shown only if it does not come soon,
  // and a tray that comes later still is taken up then.
  m_trayHost = new TrayHostWatcher(this);
  connect(m_trayHost, &TrayHostWatcher::appeared, this, &CBrisk7ServerDlg::TakeUpTray);
  m_trayHost->Watch();
  QTimer::singleShot(m_options.trayWaitMs, this, [this] {
    if (!m_trayIcon) ShowWithoutTray();
  });
}

void CBrisk7ServerDlg::TakeUpTray() {
  if (m_trayIcon || m_controller.State().exiting) return;
  m_trayIcon = new QSystemTrayIcon(LoadIcon(TrayIconName(m_trayMode)), this);
  m_trayIcon->setObjectName(QStringLiteral("trayIcon"));
  m_trayIcon->setToolTip(m_trayTip);
  m_trayIcon->setContextMenu(m_commandMenu);
  connect(m_trayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
              OnShowWindow();
          });
  m_trayIcon->show();
  m_noTray = false;
  WriteLog("tray icon added");
}

void CBrisk7ServerDlg::ShowWithoutTray() {
  WriteLog("no system tray: the window is shown");
  m_noTray = true;
  show();
}

void CBrisk7ServerDlg::ShowTrayMode(int mode) {
  m_trayMode = mode;
  if (m_trayMode == 1)
    m_trayTip = tr("读卡服务(USB模式)");
  else if (m_trayMode == 2)
    m_trayTip = tr("读卡服务(Cat1模式)");
  else
    m_trayTip = tr("读卡服务");
  if (m_trayIcon) {
    m_trayIcon->setIcon(LoadIcon(TrayIconName(m_trayMode)));
    m_trayIcon->setToolTip(m_trayTip);
  }
}

void CBrisk7ServerDlg::contextMenuEvent(QContextMenuEvent* event) {
  // Without a tray the window is the only way in: it offers the tray's commands.
  if (m_noTray) CommandMenu()->exec(event->globalPos());
}

void CBrisk7ServerDlg::reject() {
  // Without a tray a hidden window could not be reached again: it goes to the task bar instead.
  if (m_noTray) {
    showMinimized();
    return;
  }
  QDialog::reject();
}

void CBrisk7ServerDlg::OnShowWindow() { ShowAndActivate(QString()); }

void CBrisk7ServerDlg::ShowAndActivate(const QString& activationToken) {
  // Wayland gives the focus only to a window that shows the token of the request that asked
  // for it (a second copy's start, a launcher); Qt takes it from the environment.
  if (!activationToken.isEmpty() && QGuiApplication::platformName() == QLatin1String("wayland"))
    qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

}  // namespace brisk::app
