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
#include "link/NetworkQuality.h"
#include "log/Log.h"
#include "platform/Autostart.h"

// The icons live in this static library: their resources are registered by hand.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace brisk::app {
namespace {

constexpr int kHalfWidth = 440;
constexpr int kHeight = 580;
constexpr int kTrayPollMs = 500;

}  // namespace

QIcon LoadIcon(const QString& name) {
  static const bool registered = (InitIconResources(), true);
  (void)registered;
  QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

void SetButtonGroup(QButtonGroup* group, int value) {
  if (QAbstractButton* b = group->button(value)) {
    b->setChecked(true);
    return;
  }
  group->setExclusive(false);
  for (QAbstractButton* b : group->buttons()) b->setChecked(false);
  group->setExclusive(true);
}

template <typename T>
T* CBrisk7ServerDlg::Named(int id, T* widget) {
  widget->setObjectName(QString::fromLatin1(ControlObjectName(kWindowControls, id)));
  m_controls[id] = widget;
  return widget;
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

  setWindowTitle(QStringLiteral("读卡器设置"));
  setObjectName(QStringLiteral("mainWindow"));
  auto* left = new QWidget(this);
  left->setObjectName(QStringLiteral("leftHalf"));
  left->setGeometry(0, 0, kHalfWidth, kHeight);
  BuildLeftHalf(left);
  auto* right = new QWidget(this);
  right->setObjectName(QStringLiteral("rightHalf"));
  right->setGeometry(kHalfWidth, 0, kHalfWidth, kHeight);
  BuildRightHalf(right);
  BuildCommands();
  setFixedSize(2 * kHalfWidth, kHeight);

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

void CBrisk7ServerDlg::BuildLeftHalf(QWidget* half) {
  auto* layout = new QVBoxLayout(half);
  // The bottom-left corner stays free for the double-click that opens the panel.
  layout->setContentsMargins(14, 10, 10, 14);

  auto* service = new QGroupBox(QStringLiteral("服务"), half);
  auto* sl = new QGridLayout(service);
  auto* start = Named(1041, new QPushButton(QStringLiteral("启动"), service));
  start->setDefault(true);
  auto* stop = Named(1042, new QPushButton(QStringLiteral("停止"), service));
  sl->addWidget(start, 0, 0);
  sl->addWidget(stop, 0, 1);
  m_portCombo = Named(1002, new QComboBox(service));
  auto* changePort = Named(1003, new QPushButton(QStringLiteral("修改串口"), service));
  sl->addWidget(m_portCombo, 1, 0);
  sl->addWidget(changePort, 1, 1);
  sl->addWidget(Named(1011, new QLabel(QStringLiteral("当前使用的串口为："), service)), 2, 0, 1, 2);
  layout->addWidget(service);
  connect(start, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnSwitchOn);
  connect(stop, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnSwitchOff);
  connect(changePort, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnChangePort);

  auto* status = new QGroupBox(QStringLiteral("状态"), half);
  auto* gl = new QGridLayout(status);
  auto row = [this, status, gl](int r, const QString& caption, int id, const QString& text) {
    gl->addWidget(new QLabel(caption, status), r / 2, (r % 2) * 2);
    gl->addWidget(Named(id, new QLabel(text, status)), r / 2, (r % 2) * 2 + 1);
  };
  row(0, QStringLiteral("串口："), 1005, QStringLiteral("未打开"));
  row(1, QStringLiteral("服务器："), 1004, QStringLiteral("未连接"));
  row(2, QStringLiteral("串口接收："), 1007, QStringLiteral("0"));
  row(3, QStringLiteral("串口发送："), 1009, QStringLiteral("0"));
  row(4, QStringLiteral("服务器接收："), 1008, QStringLiteral("0"));
  row(5, QStringLiteral("服务器发送："), 1010, QStringLiteral("0"));
  row(6, QStringLiteral("Cat1模块："), 1013, QString());
  row(7, QStringLiteral("型号："), 1014, QString());
  layout->addWidget(status);

  auto* startup = new QGroupBox(QStringLiteral("启动设置"), half);
  auto* ul = new QHBoxLayout(startup);
  auto* autoRun = Named(1032, new QCheckBox(QStringLiteral("开机自启动"), startup));
  auto* autoStart = Named(1033, new QCheckBox(QStringLiteral("自动启动服务"), startup));
  ul->addWidget(autoRun);
  ul->addWidget(autoStart);
  layout->addWidget(startup);
  connect(autoRun, &QCheckBox::clicked, this, &CBrisk7ServerDlg::OnToggleAutoRun);
  connect(autoStart, &QCheckBox::clicked, this, &CBrisk7ServerDlg::OnToggleAutoStartService);

  auto* net = new QGroupBox(QStringLiteral("网络模式"), half);
  auto* nl = new QHBoxLayout(net);
  m_netModeGroup = new QButtonGroup(this);
  const int ids[] = {1000, 1001, 1006};
  const QString captions[] = {QStringLiteral("自动(USB优先)"), QStringLiteral("仅USB"),
                              QStringLiteral("Cat1")};
  for (int i = 0; i < 3; ++i) {
    auto* radio = Named(ids[i], new QRadioButton(captions[i], net));
    m_netModeGroup->addButton(radio, i);
    nl->addWidget(radio);
  }
  auto* switchMode = Named(1012, new QPushButton(QStringLiteral("切换网络模式"), net));
  nl->addWidget(switchMode);
  layout->addWidget(net);
  connect(switchMode, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnSwitchNetMode);

  auto* quality = new QGroupBox(QStringLiteral("网络质量检测"), half);
  auto* ql = new QVBoxLayout(quality);
  auto* test = Named(1038, new QPushButton(QStringLiteral("开始检测"), quality));
  auto* result = Named(1039, new QLabel(quality));
  result->setWordWrap(true);
  ql->addWidget(test, 0, Qt::AlignLeft);
  ql->addWidget(result);
  layout->addWidget(quality);
  connect(test, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnNetworkTest);

  auto* about = Named(1037, new QPushButton(QStringLiteral("关于"), half));
  layout->addWidget(about, 0, Qt::AlignRight);
  layout->addStretch();
  connect(about, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnAbout);
}

void CBrisk7ServerDlg::BuildRightHalf(QWidget* half) {
  auto* layout = new QVBoxLayout(half);
  layout->setContentsMargins(10, 10, 14, 10);

  auto* auth = new QGroupBox(QStringLiteral("授权信息"), half);
  auto* al = new QGridLayout(auth);
  auto* licence = Named(1029, new QPlainTextEdit(auth));
  licence->setFixedHeight(48);
  al->addWidget(new QLabel(QStringLiteral("License："), auth), 0, 0);
  al->addWidget(licence, 0, 1, 1, 2);
  al->addWidget(new QLabel(QStringLiteral("mac:"), auth), 1, 0);
  al->addWidget(Named(1030, new QLineEdit(auth)), 1, 1, 1, 2);
  al->addWidget(new QLabel(QStringLiteral("iccid:"), auth), 2, 0);
  al->addWidget(Named(1031, new QLineEdit(auth)), 2, 1);
  auto* authQuery = Named(1026, new QPushButton(QStringLiteral("查询"), auth));
  al->addWidget(authQuery, 2, 2);
  layout->addWidget(auth);
  connect(authQuery, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnQueryAuth);

  auto* config = new QGroupBox(QStringLiteral("配置"), half);
  auto* cl = new QGridLayout(config);
  m_connectModeGroup = new QButtonGroup(this);
  m_cacheGroup = new QButtonGroup(this);
  cl->addWidget(new QLabel(QStringLiteral("连接平台方式："), config), 0, 0);
  auto* atPowerOn = Named(1019, new QRadioButton(QStringLiteral("开机自动连接"), config));
  auto* waitHost = Named(1020, new QRadioButton(QStringLiteral("等待上位机连接"), config));
  m_connectModeGroup->addButton(atPowerOn, 0);
  m_connectModeGroup->addButton(waitHost, 1);
  cl->addWidget(atPowerOn, 0, 1);
  cl->addWidget(waitHost, 0, 2);
  cl->addWidget(new QLabel(QStringLiteral("启用数据缓存："), config), 1, 0);
  auto* cacheOff = Named(1021, new QRadioButton(QStringLiteral("不启用"), config));
  auto* cacheOn = Named(1022, new QRadioButton(QStringLiteral("启用"), config));
  m_cacheGroup->addButton(cacheOff, 0);
  m_cacheGroup->addButton(cacheOn, 1);
  cl->addWidget(cacheOff, 1, 1);
  cl->addWidget(cacheOn, 1, 2);
  layout->addWidget(config);

  auto* platform = new QGridLayout;
  auto* address = Named(1017, new QLineEdit(half));
  address->setMaxLength(254);
  auto* port = Named(1018, new QLineEdit(half));
  auto* platformQuery = Named(1027, new QPushButton(QStringLiteral("查询"), half));
  auto* platformChange = Named(1028, new QPushButton(QStringLiteral("修改"), half));
  platform->addWidget(new QLabel(QStringLiteral("服务器地址："), half), 0, 0);
  platform->addWidget(address, 0, 1, 1, 2);
  platform->addWidget(new QLabel(QStringLiteral("端口号："), half), 1, 0);
  platform->addWidget(port, 1, 1, 1, 2);
  platform->addWidget(platformQuery, 2, 1);
  platform->addWidget(platformChange, 2, 2);
  layout->addLayout(platform);
  connect(platformQuery, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnQueryPlatform);
  connect(platformChange, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnChangePlatform);

  auto* statusRow = new QGridLayout;
  auto* statusQuery = Named(1034, new QPushButton(QStringLiteral("查询终端连接状态"), half));
  statusRow->addWidget(statusQuery, 0, 0, 2, 1);
  statusRow->addWidget(new QLabel(QStringLiteral("状态码："), half), 0, 1);
  statusRow->addWidget(Named(1035, new QLabel(half)), 0, 2);
  statusRow->addWidget(new QLabel(QStringLiteral("连接类型："), half), 1, 1);
  statusRow->addWidget(Named(1036, new QLabel(half)), 1, 2);
  layout->addLayout(statusRow);
  connect(statusQuery, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnQueryConnectStatus);

  auto* logCheck = Named(1040, new QCheckBox(QStringLiteral("记录日志"), half));
  layout->addWidget(logCheck);
  connect(logCheck, &QCheckBox::clicked, this, &CBrisk7ServerDlg::OnToggleLog);

  auto* heartbeat = new QGroupBox(QStringLiteral("服务器心跳"), half);
  auto* hl = new QGridLayout(heartbeat);
  auto* digits =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
  auto heartbeatRow = [&](int r, const QString& caption, int editId, int spinId) {
    auto* edit = Named(editId, new QLineEdit(heartbeat));
    edit->setValidator(digits);
    edit->setMaxLength(8);
    auto* spin = Named(spinId, new QWidget(heartbeat));
    auto* spinLayout = new QVBoxLayout(spin);
    spinLayout->setContentsMargins(0, 0, 0, 0);
    spinLayout->setSpacing(0);
    auto* up = new QToolButton(spin);
    up->setArrowType(Qt::UpArrow);
    up->setObjectName(spin->objectName() + QStringLiteral("Up"));
    auto* down = new QToolButton(spin);
    down->setArrowType(Qt::DownArrow);
    down->setObjectName(spin->objectName() + QStringLiteral("Down"));
    for (QToolButton* b : {up, down}) {
      b->setFixedSize(18, 12);
      spinLayout->addWidget(b);
    }
    // The up arrow is a negative position change with the control's default range.
    connect(up, &QToolButton::clicked, this, [this, editId] { OnSpin(editId, -1); });
    connect(down, &QToolButton::clicked, this, [this, editId] { OnSpin(editId, 1); });
    hl->addWidget(new QLabel(caption, heartbeat), r, 0);
    hl->addWidget(edit, r, 1);
    hl->addWidget(spin, r, 2);
    hl->addWidget(new QLabel(QStringLiteral("秒"), heartbeat), r, 3);
    return edit;
  };
  m_usbEdit = heartbeatRow(0, QStringLiteral("USB心跳间隔："), 1048, 1049);
  m_cat1Edit = heartbeatRow(1, QStringLiteral("CAT1心跳间隔："), 1052, 1053);
  auto* hbQuery = Named(1050, new QPushButton(QStringLiteral("查询"), heartbeat));
  auto* hbChange = Named(1051, new QPushButton(QStringLiteral("修改"), heartbeat));
  hl->addWidget(hbQuery, 2, 1);
  hl->addWidget(hbChange, 2, 2, 1, 2);
  layout->addWidget(heartbeat);
  connect(hbQuery, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnQueryHeartbeat);
  connect(hbChange, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnChangeHeartbeat);

  auto* collapse = Named(1016, new QPushButton(QStringLiteral("收起"), half));
  layout->addWidget(collapse, 0, Qt::AlignRight);
  layout->addStretch();
  connect(collapse, &QPushButton::clicked, this, &CBrisk7ServerDlg::CollapsePanel);
}

void CBrisk7ServerDlg::BuildCommands() {
  m_commandMenu = new QMenu(this);
  m_commandMenu->setObjectName(QStringLiteral("trayMenu"));
  auto add = [this](int id, const QString& text, void (CBrisk7ServerDlg::*handler)()) {
    QAction* action = m_commandMenu->addAction(text);
    action->setObjectName(QString::fromLatin1(ControlObjectName(kWindowControls, id)));
    connect(action, &QAction::triggered, this, handler);
  };
  add(ID_TRAY_SETTINGS, QStringLiteral("设置"), &CBrisk7ServerDlg::OnShowWindow);
  add(ID_TRAY_START, QStringLiteral("启动"), &CBrisk7ServerDlg::OnSwitchOn);
  add(ID_TRAY_STOP, QStringLiteral("停止"), &CBrisk7ServerDlg::OnSwitchOff);
  add(ID_TRAY_EXIT, QStringLiteral("退出"), &CBrisk7ServerDlg::OnExitCommand);
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

QWidget* CBrisk7ServerDlg::Control(int id) const {
  const auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : it->second;
}

QString CBrisk7ServerDlg::PortLine() const { return static_cast<QLabel*>(Control(1011))->text(); }

void CBrisk7ServerDlg::SetPortLine(const QString& text) {
  static_cast<QLabel*>(Control(1011))->setText(text);
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
  static_cast<QCheckBox*>(Control(1032))->setChecked(autoRun.checked.value_or(false));
  AddTrayIcon();
  static_cast<QCheckBox*>(Control(1040))->setChecked(m_settings.m_logSwitch != 0);
  static_cast<QCheckBox*>(Control(1033))->setChecked(m_settings.m_autoStartService != 0);
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
  if (const auto combo = FillPortCombo(m_portList, m_settings.m_portNumber)) {
    for (const std::string& item : combo->items) m_portCombo->addItem(QString::fromStdString(item));
    m_portCombo->setCurrentIndex(combo->selected);
  }
  // Collapsed: the configuration panel is hidden.
  setFixedSize(width() / 2, height());
  m_expanded = 0;
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
// Tray

void CBrisk7ServerDlg::AddTrayIcon() {
  m_trayMode = 0;
  m_trayTip = QStringLiteral("读卡服务");
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    m_trayIcon = new QSystemTrayIcon(m_hIcon, this);
    m_trayIcon->setObjectName(QStringLiteral("trayIcon"));
    m_trayIcon->setToolTip(m_trayTip);
    m_trayIcon->setContextMenu(m_commandMenu);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                OnShowWindow();
            });
    m_trayIcon->show();
    WriteLog("tray icon added");
    return;
  }
  // At login the panel may come after us; a platform without windows never gets one.
  if (m_options.trayWaitMs > 0 && QGuiApplication::platformName() != QLatin1String("offscreen"))
    WaitForTray(m_options.trayWaitMs);
  else
    ShowWithoutTray();
}

void CBrisk7ServerDlg::WaitForTray(int remainingMs) {
  QTimer::singleShot(kTrayPollMs, this, [this, remainingMs] {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      const int mode = m_trayMode;
      AddTrayIcon();
      SetTrayMode(mode);
    } else if (remainingMs > kTrayPollMs) {
      WaitForTray(remainingMs - kTrayPollMs);
    } else {
      ShowWithoutTray();
    }
  });
}

void CBrisk7ServerDlg::ShowWithoutTray() {
  WriteLog("no system tray: the window is shown");
  m_noTray = true;
  show();
}

void CBrisk7ServerDlg::SetTrayMode(int mode) {
  QString icon = QStringLiteral("brisk-netservice");
  if (mode == 1) {
    icon = QStringLiteral("brisk-netservice-usb");
    m_trayTip = QStringLiteral("读卡服务(USB模式)");
  } else if (mode == 2) {
    icon = QStringLiteral("brisk-netservice-cat1");
    m_trayTip = QStringLiteral("读卡服务(Cat1模式)");
  } else {
    m_trayTip = QStringLiteral("读卡服务");
  }
  m_trayMode = (mode == 1 || mode == 2) ? mode : 0;
  if (m_trayIcon) {
    m_trayIcon->setIcon(LoadIcon(icon));
    m_trayIcon->setToolTip(m_trayTip);
  }
  emit stateChanged();
}

void CBrisk7ServerDlg::contextMenuEvent(QContextMenuEvent* event) {
  // Without a tray the window is the only way in: it offers the tray's commands.
  if (m_noTray) CommandMenu()->exec(event->globalPos());
}

void CBrisk7ServerDlg::OnShowWindow() { show(); }

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

void CBrisk7ServerDlg::ExpandPanel() {
  setFixedSize(width() * 2, height());
  m_expanded = 1;
}

void CBrisk7ServerDlg::CollapsePanel() {
  if (!m_expanded) return;
  setFixedSize(width() / 2, height());
  m_expanded = 0;
}

void CBrisk7ServerDlg::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  const QRect client = rect();
  if (event->button() == Qt::LeftButton && !m_expanded && p.x() >= client.left() &&
      p.x() < client.left() + 10 && p.y() > client.bottom() - 10 && p.y() <= client.bottom())
    ExpandPanel();
  QDialog::mouseDoubleClickEvent(event);
}

}  // namespace brisk::app
