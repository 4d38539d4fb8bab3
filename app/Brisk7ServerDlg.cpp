#include "app/Brisk7ServerDlg.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLayout>
#include <QMouseEvent>
#include <QSystemTrayIcon>

#include "app/AboutDialog.h"
#include "app/AppIcon.h"
#include "app/DFUpgradeDialog.h"
#include "app/core/LinkController.h"
#include "app/core/Prompt.h"
#include "app/panels/AuthPanel.h"
#include "app/panels/ConfigPanel.h"
#include "app/panels/HeartbeatPanel.h"
#include "app/panels/NetModePanel.h"
#include "app/panels/NetTestPanel.h"
#include "app/panels/ServicePanel.h"
#include "app/panels/StartupPanel.h"
#include "app/panels/StatusPanel.h"

namespace brisk::app {

CBrisk7ServerDlg::CBrisk7ServerDlg(LinkController& controller, Prompt& prompt, Options options)
    : QDialog(nullptr), m_controller(controller), m_prompt(prompt), m_options(options) {
  m_hIcon = LoadIcon(QStringLiteral("brisk-netservice"));
  setWindowTitle(tr("读卡器设置"));
  setObjectName(QStringLiteral("mainWindow"));
  BuildCommands();
  connect(&m_controller, &LinkController::stateChanged, this, &CBrisk7ServerDlg::Render);
  connect(&m_controller, &LinkController::showRequested, this, &CBrisk7ServerDlg::ShowAndActivate);
  connect(&m_controller, &LinkController::quitRequested, this, &CBrisk7ServerDlg::OnQuit);
  m_controller.SetPromptParent(this);
  m_controller.SetUpgradeRunner([this](UpgradeRun& run) { RunUpgrade(run); });
}

void CBrisk7ServerDlg::setVisible(bool visible) {
  if (visible) Build();
  QDialog::setVisible(visible);
}

void CBrisk7ServerDlg::Build() {
  if (Built()) return;
  auto* left = new QWidget(this);
  left->setObjectName(QStringLiteral("leftHalf"));
  BuildLeftHalf(left);
  m_rightHalf = new QWidget(this);
  m_rightHalf->setObjectName(QStringLiteral("rightHalf"));
  BuildRightHalf(m_rightHalf);
  // Both halves take the larger one's size hint, so that the texts' fonts and language set the
  // window's size and expanding doubles the width.
  const QSize half = left->sizeHint().expandedTo(m_rightHalf->sizeHint());
  left->setFixedSize(half);
  m_rightHalf->setFixedSize(half);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(left);
  layout->addWidget(m_rightHalf);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  ConnectPanels();
  // Both halves placed, then the configuration panel hidden: the window is collapsed, and
  // ends where the right half begins.
  layout->activate();
  ShowRightHalf(false);
  // What the controller had before the window came.
  const BriskSettings& s = m_controller.Settings();
  m_startupPanel->ShowChecks(m_controller.AutoRunChecked(), s.m_autoStartService != 0);
  m_configPanel->ShowLog(s.m_logSwitch != 0);
  m_netModePanel->ShowChoice(m_controller.NetModeChoice());
  m_heartbeatPanel->ShowValues(s.m_usbHeartbeat, s.m_cat1Heartbeat);
  if (m_controller.LastPlatform()) m_configPanel->ShowPlatform(*m_controller.LastPlatform());
  Render();
}

CBrisk7ServerDlg::~CBrisk7ServerDlg() {
  m_controller.SetUpgradeRunner({});
  m_controller.SetPromptParent(nullptr);
  if (m_busyCursor) QApplication::restoreOverrideCursor();
}

void CBrisk7ServerDlg::ConnectPanels() {
  LinkController* c = &m_controller;
  connect(c, &LinkController::netModeChoiceShown, m_netModePanel, &NetModePanel::ShowChoice);
  connect(c, &LinkController::platformRead, m_configPanel, &ConfigPanel::ShowPlatform);
  connect(c, &LinkController::heartbeatsShown, m_heartbeatPanel, &HeartbeatPanel::ShowValues);
  connect(c, &LinkController::authRead, m_authPanel, &AuthPanel::ShowAnswer);
  connect(c, &LinkController::connectStatusRead, m_configPanel, &ConfigPanel::ShowConnectStatus);
  connect(c, &LinkController::networkTestDone, m_netTestPanel, &NetTestPanel::ShowResult);
  connect(c, &LinkController::startupChecksShown, this,
          [this](bool autoRun, bool autoStart, bool log) {
            m_startupPanel->ShowChecks(autoRun, autoStart);
            m_configPanel->ShowLog(log);
          });

  connect(m_servicePanel, &ServicePanel::startRequested, c, &LinkController::OnSwitchOn);
  connect(m_servicePanel, &ServicePanel::stopRequested, c, &LinkController::OnSwitchOff);
  connect(m_servicePanel, &ServicePanel::portChangeRequested, c, &LinkController::OnChangePort);
  connect(m_startupPanel, &StartupPanel::autoRunToggled, c, &LinkController::OnToggleAutoRun);
  connect(m_startupPanel, &StartupPanel::autoStartServiceToggled, c,
          &LinkController::OnToggleAutoStartService);
  connect(m_netModePanel, &NetModePanel::switchRequested, this, [this] {
    UpdateData();  // a heartbeat range message does not stop the switch
    m_controller.OnSwitchNetMode(m_netModePanel->Choice());
  });
  connect(m_netTestPanel, &NetTestPanel::testRequested, c, &LinkController::OnNetworkTest);
  connect(m_authPanel, &AuthPanel::queryRequested, c, &LinkController::OnQueryAuth);
  connect(m_configPanel, &ConfigPanel::platformQueryRequested, c, &LinkController::OnQueryPlatform);
  connect(m_configPanel, &ConfigPanel::platformChangeRequested, this,
          [this](const QString& port, const QString& address) {
            UpdateData();  // a heartbeat range message does not stop the change
            m_controller.OnChangePlatform(m_configPanel->ConnectMode(), m_configPanel->Cache(),
                                          port, address);
          });
  connect(m_configPanel, &ConfigPanel::statusQueryRequested, c,
          &LinkController::OnQueryConnectStatus);
  connect(m_configPanel, &ConfigPanel::logToggled, c, &LinkController::OnToggleLog);
  connect(m_heartbeatPanel, &HeartbeatPanel::queryRequested, c, &LinkController::OnQueryHeartbeat);
  connect(m_heartbeatPanel, &HeartbeatPanel::changeRequested, this, [this] {
    int usb = 0;
    int cat1 = 0;
    if (UpdateData() && m_heartbeatPanel->Values(&usb, &cat1))
      m_controller.OnChangeHeartbeat(usb, cat1);
  });
  connect(m_heartbeatPanel, &HeartbeatPanel::stepRequested, this, &CBrisk7ServerDlg::OnSpin);
}

void CBrisk7ServerDlg::OnInitDialog() {
  setWindowIcon(m_hIcon);
  AddTrayIcon();
  m_controller.OnInitDialog();
  Render();
}

void CBrisk7ServerDlg::Render() {
  const LinkState& s = m_controller.State();
  if (s.trayMode != m_trayMode) ShowTrayMode(s.trayMode);
  CommandMenu();
  if (!Built()) return;
  if (s.busy != m_busyCursor) {
    m_busyCursor = s.busy;
    if (s.busy)
      QApplication::setOverrideCursor(Qt::WaitCursor);
    else
      QApplication::restoreOverrideCursor();
  }
  // One command at a time: what would ask the reader waits for the one in flight.
  const bool free = !s.busy;
  m_servicePanel->Show(s);
  m_statusPanel->Show(s);
  m_netModePanel->ShowLink(s.linkUp, free, s.cat1);
  m_netTestPanel->ShowLink(s.linkUp && free);
  m_authPanel->ShowLink(s.linkUp && free);
  m_configPanel->ShowLink(s.linkUp && free);
  m_heartbeatPanel->ShowFree(free);
}

QString CBrisk7ServerDlg::PortLine() const {
  return Built() ? m_servicePanel->PortLine() : m_controller.State().portLine;
}

bool CBrisk7ServerDlg::UpdateData() {
  if (!Built()) return true;
  m_controller.SetNetModeChoice(m_netModePanel->Choice());
  int usb = 0;
  int cat1 = 0;
  if (m_heartbeatPanel->Values(&usb, &cat1)) return true;
  m_prompt.Message(this, tr("请输入 %1 到 %2 之间的整数。").arg(60).arg(600));
  return false;
}

void CBrisk7ServerDlg::OnSpin(bool usbRow, bool up) {
  if (UpdateData()) m_heartbeatPanel->Step(usbRow, up);
}

void CBrisk7ServerDlg::RunUpgrade(UpgradeRun& run) {
  DFUpgradeDialog dialog(m_prompt, &run);
  emit upgradeDialogShown(&dialog);
  dialog.exec();
}

void CBrisk7ServerDlg::OnQuit() {
  delete m_trayIcon;
  m_trayIcon = nullptr;
}

// ---------------------------------------------------------------------------------------------
// The two halves

void CBrisk7ServerDlg::ShowRightHalf(bool shown) {
  Build();
  m_rightHalf->setVisible(shown);
  // The new size now, not at the next layout pass: the position stays where it was.
  layout()->activate();
  m_expanded = shown;
}

void CBrisk7ServerDlg::ExpandPanel() { ShowRightHalf(true); }

void CBrisk7ServerDlg::CollapsePanel() {
  if (m_expanded && Built()) ShowRightHalf(false);
}

void CBrisk7ServerDlg::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  const QRect client = rect();
  // In device-independent pixels: the corner grows with the screen's pixel ratio.
  constexpr int kCorner = 10;
  if (event->button() == Qt::LeftButton && !m_expanded && p.x() >= client.left() &&
      p.x() < client.left() + kCorner && p.y() > client.bottom() - kCorner &&
      p.y() <= client.bottom())
    ExpandPanel();
  QDialog::mouseDoubleClickEvent(event);
}

}  // namespace brisk::app
