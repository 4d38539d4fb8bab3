#include "app/Brisk7ServerDlg.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSocketNotifier>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/CommandRunner.h"
#include "app/ControlIds.h"
#include "app/DFUpgradeDialog.h"
#include "app/LogindSleep.h"
#include "app/Prompt.h"
#include "app/WindowParts.h"
#include "app/core/PortDiscovery.h"
#include "app/panels/ConfigPanel.h"
#include "app/panels/ServicePanel.h"
#include "app/panels/StartupPanel.h"
#include "link/NetworkQuality.h"
#include "log/Log.h"
#include "platform/Autostart.h"

namespace brisk::app {

void SetButtonGroup(QButtonGroup* group, int value) {
  if (QAbstractButton* b = group->button(value)) {
    b->setChecked(true);
    return;
  }
  group->setExclusive(false);
  for (QAbstractButton* b : group->buttons()) b->setChecked(false);
  group->setExclusive(true);
}

CBrisk7ServerDlg::CBrisk7ServerDlg(Prompt& prompt, Options options)
    : QDialog(nullptr), m_prompt(prompt), m_options(options) {
  // Called on the download worker, which ends with m_service, before the window's QObject
  // goes: the path travels by value to the window's thread, and a call still queued when the
  // window goes is dropped with it.
  m_service = std::make_unique<link::Brisk7Service>([this](const std::string& path) {
    QMetaObject::invokeMethod(
        this, [this, path] { OnUpgradeFileDownloadFinished(path); }, Qt::QueuedConnection);
  });
  m_runner = std::make_unique<CommandRunner>();
  connect(m_runner.get(), &CommandRunner::busyChanged, this, &CBrisk7ServerDlg::SetBusy);
  m_hIcon = LoadIcon(QStringLiteral("brisk-netservice"));
  m_settingPath = SettingPath();
  LoadSettings(m_settingPath, m_settings);
  m_service->SetHeartbeat(static_cast<uint32_t>(m_usbHeartbeat),
                          static_cast<uint32_t>(m_cat1Heartbeat), 1, 1);

  setWindowTitle(tr("读卡器设置"));
  setObjectName(QStringLiteral("mainWindow"));
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
  BuildCommands();

  for (int id : {TIMER_STATUS, TIMER_NET_CHECK, TIMER_PORT_WATCH, TIMER_DFU_CHECK}) {
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, id] { OnTimer(id); });
    m_timers[id] = timer;
  }
}

CBrisk7ServerDlg::~CBrisk7ServerDlg() {
  // A command in flight ends at once; no result reaches the window that goes.
  m_service->InterruptCommands();
  m_runner.reset();
  if (m_busyCursor) QApplication::restoreOverrideCursor();
}

void CBrisk7ServerDlg::BuildCommands() {
  m_commandMenu = new QMenu(this);
  m_commandMenu->setObjectName(QStringLiteral("trayMenu"));
  auto add = [this](int id, const QString& text, void (CBrisk7ServerDlg::*handler)()) {
    QAction* action = m_commandMenu->addAction(text);
    action->setObjectName(QString::fromLatin1(ControlObjectName(kWindowControls, id)));
    connect(action, &QAction::triggered, this, handler);
  };
  add(ID_TRAY_SETTINGS, tr("设置"), &CBrisk7ServerDlg::OnShowWindow);
  add(ID_TRAY_START, tr("启动"), &CBrisk7ServerDlg::OnSwitchOn);
  add(ID_TRAY_STOP, tr("停止"), &CBrisk7ServerDlg::OnSwitchOff);
  add(ID_TRAY_EXIT, tr("退出"), &CBrisk7ServerDlg::OnExitCommand);
  connect(m_commandMenu, &QMenu::aboutToShow, this, [this] { CommandMenu(); });
}

QMenu* CBrisk7ServerDlg::CommandMenu() {
  const auto find = [this](int id) {
    return m_commandMenu->findChild<QAction*>(
        QString::fromLatin1(ControlObjectName(kWindowControls, id)));
  };
  find(ID_TRAY_START)->setEnabled(m_serviceEnabled == 0);
  find(ID_TRAY_STOP)->setEnabled(m_serviceEnabled != 0);
  return m_commandMenu;
}

QString CBrisk7ServerDlg::PortLine() const { return m_servicePanel->portLine->text(); }

void CBrisk7ServerDlg::SetPortLine(const QString& text) {
  m_servicePanel->portLine->setText(text);
  emit stateChanged();
}

void CBrisk7ServerDlg::Message(const QString& text) {
  // No wait cursor over a question to the person.
  int busy = 0;
  while (QApplication::overrideCursor()) {
    QApplication::restoreOverrideCursor();
    ++busy;
  }
  m_prompt.Message(this, text);
  while (busy-- > 0) QApplication::setOverrideCursor(Qt::WaitCursor);
}

// ---------------------------------------------------------------------------------------------
// Start-up

void CBrisk7ServerDlg::OnInitDialog() {
  UpdateData(false);
  setWindowIcon(m_hIcon);
  const AutoRunResult autoRun = ReadAutoRun(platform::AutostartEntryPath());
  m_startupPanel->autoRun->setChecked(autoRun.checked.value_or(false));
  AddTrayIcon();
  m_configPanel->log->setChecked(m_settings.m_logSwitch != 0);
  m_startupPanel->autoStartService->setChecked(m_settings.m_autoStartService != 0);
  if (m_options.watchSleep) {
    m_sleep = std::make_unique<LogindSleepWatcher>();
    connect(m_sleep.get(), &LogindSleepWatcher::suspending, this, &CBrisk7ServerDlg::OnSuspend);
    connect(m_sleep.get(), &LogindSleepWatcher::resumed, this, &CBrisk7ServerDlg::OnResume);
  }
  if (m_options.watchDevices) WatchDevices();
  DiscoverPorts(m_portList);
  // A DFU device left waiting is looked for when the start has not linked a reader.
  const auto checkDfu = [this] {
    if (!m_linkUp && !m_closing) SetTimer(TIMER_DFU_CHECK, 2000);
  };
  if (m_settings.m_autoStartService) {
    m_serviceEnabled = 1;
    StartService(checkDfu);
    SetTimer(TIMER_PORT_WATCH, 10000);
    if (m_sleep) m_sleep->TakeLock();
  } else {
    m_serviceEnabled = 0;
  }
  UpdateControlStates();
  ShowPortChoices();
  // Collapsed: the configuration panel is hidden.
  ShowRightHalf(false);
  if (!m_settings.m_autoStartService) checkDfu();
  emit stateChanged();
}

void CBrisk7ServerDlg::WatchDevices() {
  m_hotplug = platform::devices::HotplugMonitor::Create();
  if (!m_hotplug) {
    WriteLog("device changes are not watched; the port watchdog still runs");
    return;
  }
  m_hotplugNotifier = new QSocketNotifier(m_hotplug->Fd(), QSocketNotifier::Read, this);
  connect(m_hotplugNotifier, &QSocketNotifier::activated, this, [this] {
    for (const platform::devices::HotplugEvent& event : m_hotplug->ReadEvents()) {
      switch (event.kind) {
        case platform::devices::HotplugEvent::Kind::Arrival:
          OnDeviceChange("DBT_DEVICEARRIVAL");
          break;
        case platform::devices::HotplugEvent::Kind::Removal:
          OnDeviceChange("DBT_DEVICEREMOVECOMPLETE");
          break;
        default:
          OnDeviceChange("DBT_DEVNODES_CHANGED");
          break;
      }
    }
  });
}

// ---------------------------------------------------------------------------------------------
// Timers

void CBrisk7ServerDlg::SetTimer(int id, int periodMs) { m_timers.at(id)->start(periodMs); }
void CBrisk7ServerDlg::KillTimer(int id) { m_timers.at(id)->stop(); }
bool CBrisk7ServerDlg::TimerActive(int id) const { return m_timers.at(id)->isActive(); }
int CBrisk7ServerDlg::TimerInterval(int id) const { return m_timers.at(id)->interval(); }

void CBrisk7ServerDlg::OnTimer(int id) {
  switch (id) {
    case TIMER_STATUS:
      RefreshStatus();
      break;
    case TIMER_NET_CHECK:
      CheckNetLink();
      break;
    case TIMER_PORT_WATCH:
      PortWatchdog();
      break;
    case TIMER_DFU_CHECK:
      KillTimer(TIMER_DFU_CHECK);
      CheckPendingDfuDevice();
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// The two halves

void CBrisk7ServerDlg::ShowRightHalf(bool shown) {
  m_rightHalf->setVisible(shown);
  // The new size now, not at the next layout pass: the position stays where it was.
  layout()->activate();
  m_expanded = shown ? 1 : 0;
}

void CBrisk7ServerDlg::ExpandPanel() { ShowRightHalf(true); }

void CBrisk7ServerDlg::CollapsePanel() {
  if (m_expanded) ShowRightHalf(false);
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
