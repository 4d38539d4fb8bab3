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

#include "app/AboutDialog.h"
#include "app/ControlIds.h"
#include "app/DFUpgradeDialog.h"
#include "app/LogindSleep.h"
#include "app/Prompt.h"
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
constexpr int kHeartbeatMin = 60;
constexpr int kHeartbeatMax = 600;
constexpr int kNetworkTestRuns = 10;
constexpr int kTrayPollMs = 500;

// The wait cursor while the window thread waits for the reader.
class BusyCursor {
 public:
  BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

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

// Checks the button of value in an exclusive group; none for a value outside it.
void SetGroup(QButtonGroup* group, int value) {
  if (QAbstractButton* b = group->button(value)) {
    b->setChecked(true);
    return;
  }
  group->setExclusive(false);
  for (QAbstractButton* b : group->buttons()) b->setChecked(false);
  group->setExclusive(true);
}

QString Hex(unsigned value) { return QStringLiteral("0x%1").arg(value, 0, 16); }

}  // namespace

template <typename T>
T* CBrisk7ServerDlg::Named(int id, T* widget) {
  widget->setObjectName(QString::fromLatin1(ControlObjectName(kWindowControls, id)));
  m_controls[id] = widget;
  return widget;
}

CBrisk7ServerDlg::CBrisk7ServerDlg(Prompt& prompt, Options options)
    : QDialog(nullptr), m_prompt(prompt), m_options(options) {
  m_service = std::make_unique<link::Brisk7Service>(this, &PostUpgradeFileReady);
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

CBrisk7ServerDlg::~CBrisk7ServerDlg() = default;

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
  if (m_settings.m_autoStartService) {
    m_serviceEnabled = 1;
    StartService();
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
  if (!m_linkUp) SetTimer(TIMER_DFU_CHECK, 2000);
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
// Service control

void CBrisk7ServerDlg::StartService() {
  if (m_portList.size() < 2) {
    m_linkUp = 0;
    SetPortLine(QStringLiteral("设备未连接"));
    UpdateControlStates();
    return;
  }
  {
    BusyCursor busy;
    if (!m_service->Start(m_settings.m_portNumber, m_portList)) {
      m_linkUp = 0;
    } else {
      auto* radioCat1 = Control(1006);
      auto* present = static_cast<QLabel*>(Control(1013));
      auto* model = static_cast<QLabel*>(Control(1014));
      uint8_t modelCode = 0;
      uint8_t second = 0;
      const int cat1 = m_service->GetCat1Module(&modelCode, &second);
      model->clear();
      if (cat1 == 0) {
        radioCat1->setEnabled(false);
        present->setText(QStringLiteral("无"));
      } else if (cat1 == 1) {
        radioCat1->setEnabled(true);
        present->setText(QStringLiteral("有"));
        model->setText(Hex(modelCode));
      } else {
        radioCat1->setEnabled(true);
        present->setText(QStringLiteral("未知"));
      }
      LoadPlatformInfo();
      int mode = 2;
      if (m_netModeChoice == 0)
        mode = m_service->CanReachPlatform() ? 1 : 2;
      else if (m_netModeChoice == 1)
        mode = 1;
      const int result = m_service->SetNetMode(mode);
      if (result == 0)
        SetTrayMode(mode);
      else if (result > 0)
        Message(QStringLiteral("设置网络模式失败"));
      SetTimer(TIMER_NET_CHECK, 30000);
      SetTimer(TIMER_STATUS, 1000);
      m_linkUp = 1;
    }
  }
  const int port = m_service->ComPort();
  SetPortLine(port > 0 ? QStringLiteral("当前使用的端口：COM%1").arg(port)
                       : QStringLiteral("COM端口打开失败"));
  UpdateControlStates();
}

void CBrisk7ServerDlg::StopService(int notify) {
  WriteLog("StopService");
  m_linkUp = 0;
  KillTimer(TIMER_STATUS);
  KillTimer(TIMER_NET_CHECK);
  {
    BusyCursor busy;
    m_service->Stop(notify);
  }
  RefreshStatus();
  UpdateControlStates();
}

void CBrisk7ServerDlg::OnSwitchOn() {
  m_serviceEnabled = 1;
  StartService();
  SetTimer(TIMER_PORT_WATCH, 10000);
  if (m_sleep) m_sleep->TakeLock();
  emit stateChanged();
}

void CBrisk7ServerDlg::OnSwitchOff() {
  m_serviceEnabled = 0;
  KillTimer(TIMER_PORT_WATCH);
  StopService(1);
  if (m_sleep) m_sleep->ReleaseLock();
  emit stateChanged();
}

void CBrisk7ServerDlg::OnChangePort() {
  if (!ApplyPortChoice(m_settingPath, m_settings, m_portList, m_portCombo->currentIndex())) return;
  StopService(1);
  StartService();
}

void CBrisk7ServerDlg::UpdateControlStates() {
  const bool on = m_serviceEnabled != 0;
  Control(1041)->setEnabled(!on);
  for (int id : {1042, 1003, 1002}) Control(id)->setEnabled(on);
  if (!on) SetPortLine(QStringLiteral("当前服务未启动"));
  const bool linked = m_linkUp != 0;
  for (int id : {1012, 1038, 1026, 1027, 1028, 1034, 1000, 1001}) Control(id)->setEnabled(linked);
  // The Cat1 radio keeps what the last start's Cat1 answer gave it.
  if (!linked) Control(1006)->setEnabled(false);
  CommandMenu();
  emit stateChanged();
}

void CBrisk7ServerDlg::RefreshStatus() {
  auto set = [this](int id, const QString& text) {
    static_cast<QLabel*>(Control(id))->setText(text);
  };
  set(1007, QString::number(m_service->ComBytesRead()));
  set(1009, QString::number(m_service->ComBytesWritten()));
  set(1008, QString::number(m_service->ServerBytesReceived()));
  set(1010, QString::number(m_service->ServerBytesSent()));
  set(1005, m_service->IsComOpen() ? QStringLiteral("已打开") : QStringLiteral("未打开"));
  set(1004, m_service->IsServerConnected() ? QStringLiteral("已连接") : QStringLiteral("未连接"));
  emit stateChanged();
}

void CBrisk7ServerDlg::CheckNetLink() {
  if (m_netModeChoice != 0 && m_netModeChoice != 1) return;
  if (!m_service->IsRelayRunning() || m_service->IsServerConnected()) return;
  WriteLog("check USB mode, server not connected");
  BusyCursor busy;
  int mode = 1;
  if (m_netModeChoice == 0 && !m_service->CanReachPlatform()) mode = 2;
  if (mode == 1) m_service->NotifyDisconnect();
  m_service->SetNetMode(mode);
}

void CBrisk7ServerDlg::PortWatchdog() {
  KillTimer(TIMER_PORT_WATCH);
  DiscoverPorts(m_portList);
  m_portCombo->clear();
  if (const auto combo = FillPortCombo(m_portList, m_settings.m_portNumber)) {
    for (const std::string& item : combo->items) m_portCombo->addItem(QString::fromStdString(item));
    m_portCombo->setCurrentIndex(combo->selected);
  }
  CheckSelectedPort();
  SetTimer(TIMER_PORT_WATCH, 10000);
}

void CBrisk7ServerDlg::CheckSelectedPort() {
  if (!m_service->IsRelayRunning()) {
    if (!m_serviceEnabled) {
      SetPortLine(QStringLiteral("当前服务未启动"));
      return;
    }
    StopService(0);
    StartService();
    return;
  }
  const std::string name = PortNumberToName(m_service->ComPort());
  for (const std::string& entry : m_portList)
    if (entry == name) return;
  WriteLog("could not find select com port");
  StopService(0);
  SetPortLine(QStringLiteral("设备连接已断开"));
}

int CBrisk7ServerDlg::OnServiceControl(int operation, int argument) {
  switch (operation) {
    case 0: {
      DiscoverPorts(m_portList);
      int started = 0;
      {
        BusyCursor busy;
        started = m_service->Start(m_settings.m_portNumber, m_portList) != 0 ? 1 : 0;
        if (started) {
          LoadPlatformInfo();
          SetTimer(TIMER_STATUS, 1000);
        }
      }
      const int port = m_service->ComPort();
      SetPortLine(port > 0 ? QStringLiteral("当前使用的端口：COM%1").arg(port)
                           : QStringLiteral("COM端口打开失败"));
      return started;
    }
    case 1:
      m_serviceEnabled = 0;
      StopService(1);
      KillTimer(TIMER_PORT_WATCH);
      if (m_sleep) m_sleep->ReleaseLock();
      emit stateChanged();
      return 1;
    case 2: {
      if (argument != 1 && argument != 2) return -1;
      m_netModeChoice = argument;
      SetGroup(m_netModeGroup, m_netModeChoice);
      int result = 0;
      {
        BusyCursor busy;
        result = m_service->SetNetMode(argument);
      }
      if (result != 0) return 0;
      SetTrayMode(argument);
      return 1;
    }
    case 3: {
      uint8_t status = 0;
      uint8_t type = 0;
      BusyCursor busy;
      if (m_service->GetConnectStatus(&status, &type) != 0) return -1;
      WriteLog("connect status 0x%x", status);
      return static_cast<int8_t>(status);
    }
    default:
      return 0;
  }
}

void CBrisk7ServerDlg::OnExitCommand() {
  int notify = 1;
  if (m_service->IsRelayRunning()) {
    uint8_t status = 0;
    uint8_t type = 0;
    int result = 0;
    {
      BusyCursor busy;
      result = m_service->GetConnectStatus(&status, &type);
    }
    if (result == 0 && type == 2 &&
        m_prompt.AskYesNo(this, QStringLiteral("提示"),
                          QStringLiteral("当前使用移动数据连接，是否在退出后保持读卡功能?")))
      notify = 0;
  }
  StopService(notify);
  QMetaObject::invokeMethod(this, &CBrisk7ServerDlg::OnDestroy, Qt::QueuedConnection);
}

void CBrisk7ServerDlg::OnTerminate() {
  WriteLog("terminated by a signal");
  KillTimer(TIMER_PORT_WATCH);
  StopService(1);
  QMetaObject::invokeMethod(this, &CBrisk7ServerDlg::OnDestroy, Qt::QueuedConnection);
}

void CBrisk7ServerDlg::OnDestroy() {
  KillTimer(TIMER_PORT_WATCH);
  delete m_trayIcon;
  m_trayIcon = nullptr;
  if (m_sleep) m_sleep->ReleaseLock();
  emit quitRequested(0);
}

void CBrisk7ServerDlg::OnDeviceChange(const char* eventName) {
  WriteLog("%s", eventName);
  if (m_serviceEnabled) SetTimer(TIMER_PORT_WATCH, 500);
}

void CBrisk7ServerDlg::OnSuspend() {
  WriteLog("System Suspend");
  StopService(1);
  KillTimer(TIMER_PORT_WATCH);
  // The reader has had its notice: sleep may go on.
  if (m_sleep) m_sleep->ReleaseLock();
}

void CBrisk7ServerDlg::OnResume() {
  WriteLog("System Resume");
  if (!m_serviceEnabled) return;
  SetTimer(TIMER_PORT_WATCH, 20000);
  if (m_sleep) m_sleep->TakeLock();
}

// ---------------------------------------------------------------------------------------------
// Upgrade prompt

void PostUpgradeFileReady(void* window, const char* path) {
  auto* self = static_cast<CBrisk7ServerDlg*>(window);
  if (!self) return;
  // The path travels by value inside the queued call: nothing for the window to free.
  const std::string copy = path ? path : "";
  QMetaObject::invokeMethod(
      self, [self, copy] { self->OnUpgradeFileDownloadFinished(copy); }, Qt::QueuedConnection);
}

int CBrisk7ServerDlg::OnUpgradeFileDownloadFinished(const std::string& path) {
  WriteLog("OnUpgradeFileDownloadFinished %s", path.c_str());
  // One upgrade at a time: two dialogs would drive the same device.
  if (m_upgradeDialog) {
    WriteLog("an upgrade is running, %s left in the cache", path.c_str());
    return 1;
  }
  int answer = 0;
  {
    BusyCursor busy;
    answer = m_service->AskDfuMode();
  }
  if (answer == 0) {
    show();
    DFUpgradeDialog dialog(m_prompt);
    m_upgradeDialog = &dialog;
    dialog.SetHasDFUDevice(1);
    dialog.StartUpgrade(path);
    emit upgradeDialogShown(&dialog);
    dialog.exec();
    m_upgradeDialog = nullptr;
  } else {
    Message(QStringLiteral("Notify Device Enter DFU Mode failed"));
  }
  return 1;
}

void CBrisk7ServerDlg::CheckPendingDfuDevice() {
  if (m_upgradeDialog) return;
  DFUpgradeDialog dialog(m_prompt);
  if (!dialog.FindDfuDevices()) return;
  show();
  if (!m_prompt.AskYesNo(this, QStringLiteral("提示"),
                         QStringLiteral("检查到有设备需要升级，是否升级?")))
    return;
  dialog.SetHasDFUDevice(1);
  dialog.StartUpgrade("");
  m_upgradeDialog = &dialog;
  emit upgradeDialogShown(&dialog);
  dialog.exec();
  m_upgradeDialog = nullptr;
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

// ---------------------------------------------------------------------------------------------
// Fields and controls

bool CBrisk7ServerDlg::UpdateData(bool save) {
  if (!save) {
    SetGroup(m_netModeGroup, m_netModeChoice);
    SetGroup(m_connectModeGroup, m_platformConnectMode);
    SetGroup(m_cacheGroup, m_dataCache);
    m_usbEdit->setText(QString::number(m_usbHeartbeat));
    m_cat1Edit->setText(QString::number(m_cat1Heartbeat));
    return true;
  }
  m_netModeChoice = m_netModeGroup->checkedId();
  m_platformConnectMode = m_connectModeGroup->checkedId();
  m_dataCache = m_cacheGroup->checkedId();
  for (auto [edit, field] :
       {std::pair{m_usbEdit, &m_usbHeartbeat}, std::pair{m_cat1Edit, &m_cat1Heartbeat}}) {
    bool ok = false;
    const int value = edit->text().trimmed().toInt(&ok);
    if (!ok || value < kHeartbeatMin || value > kHeartbeatMax) {
      Message(QStringLiteral("请输入 %1 到 %2 之间的整数。").arg(kHeartbeatMin).arg(kHeartbeatMax));
      edit->setFocus();
      return false;
    }
    *field = value;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Configuration panel

void CBrisk7ServerDlg::OnToggleAutoRun() {
  const AutoRunResult r = ToggleAutoRun(platform::AutostartEntryPath(), platform::ProgramPath());
  auto* box = static_cast<QCheckBox*>(Control(1032));
  if (r.result == 0)
    box->setChecked(false);
  else if (r.checked)
    box->setChecked(*r.checked);
}

void CBrisk7ServerDlg::OnToggleAutoStartService() {
  static_cast<QCheckBox*>(Control(1033))
      ->setChecked(ToggleAutoStartService(m_settingPath, m_settings) != 0);
}

void CBrisk7ServerDlg::OnToggleLog() {
  static_cast<QCheckBox*>(Control(1040))
      ->setChecked(ToggleLogSwitch(m_settingPath, m_settings) != 0);
}

void CBrisk7ServerDlg::OnSwitchNetMode() {
  UpdateData(true);  // a heartbeat range message does not stop the switch
  if (m_netModeChoice == m_settings.m_savedNetMode) return;
  int mode = 2;
  QString success = QStringLiteral("切换到使用Cat1");
  QString failure = QStringLiteral("设置使用Cat1失败");
  int result = 0;
  {
    BusyCursor busy;
    if (m_netModeChoice == 0) {
      if (m_service->CanReachPlatform()) {
        mode = 1;
        success = QStringLiteral("使用本机网络");
        failure = QStringLiteral("设置使用本机网络失败");
      } else {
        success = QStringLiteral("使用Cat1");
      }
    } else if (m_netModeChoice == 1) {
      mode = 1;
      success = QStringLiteral("切换到使用本机网络");
      failure = QStringLiteral("设置使用本机网络失败");
    }
    result = m_service->SetNetMode(mode);
  }
  if (result == 0) {
    SetTrayMode(mode);
    m_settings.m_savedNetMode = m_netModeChoice;
    SaveNetMode(m_settingPath, m_netModeChoice);
    KillTimer(TIMER_NET_CHECK);
    SetTimer(TIMER_NET_CHECK, 30000);
  } else {
    m_netModeChoice = m_settings.m_savedNetMode;
    UpdateData(false);
  }
  Message(result == 0 ? success : failure);
}

void CBrisk7ServerDlg::OnNetworkTest() {
  link::NetworkTestSummary s;
  {
    BusyCursor busy;
    s = link::SummarizeNetworkTest(link::RunNetworkTest(*m_service, kNetworkTestRuns));
  }
  auto* text = static_cast<QLabel*>(Control(1039));
  if (s.successes == 0)
    text->setText(QStringLiteral("测试读卡器网络质量失败"));
  else
    text->setText(QStringLiteral("当前平均延时为%1毫秒，最大%2毫秒，成功%3次，失败%4次")
                      .arg(s.average)
                      .arg(s.maximum)
                      .arg(s.successes)
                      .arg(s.failures));
}

void CBrisk7ServerDlg::OnAbout() {
  CAboutDialog about(this);
  about.exec();
}

void CBrisk7ServerDlg::OnQueryAuth() {
  uint8_t licence[32] = {};
  char mac[12] = {};
  char iccid[20] = {};
  int result = 0;
  {
    BusyCursor busy;
    result = m_service->GetAuthInfo(licence, mac, iccid);
  }
  if (result != 0) {
    Message(QStringLiteral("获取授权信息失败"));
    return;
  }
  QString hex;
  for (uint8_t b : licence) hex += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
  static_cast<QPlainTextEdit*>(Control(1029))->setPlainText(hex);
  QString macText;
  for (int i = 0; i < 12; i += 2) {
    if (i) macText += QLatin1Char(':');
    macText += QString::fromLatin1(mac + i, 2);
  }
  static_cast<QLineEdit*>(Control(1030))->setText(macText);
  static_cast<QLineEdit*>(Control(1031))->setText(QString::fromLatin1(iccid, strnlen(iccid, 20)));
}

int CBrisk7ServerDlg::LoadPlatformInfo() {
  uint8_t policy = 0;
  uint8_t cache = 0;
  uint32_t port = 0;
  char host[256] = {};
  {
    BusyCursor busy;
    if (m_service->GetPlatform(&policy, &cache, &port, host) != 0) return 0;
  }
  m_platformConnectMode = policy;
  m_dataCache = cache;
  static_cast<QLineEdit*>(Control(1018))->setText(QString::number(port));
  static_cast<QLineEdit*>(Control(1017))->setText(QString::fromUtf8(host, strnlen(host, 240)));
  UpdateData(false);
  return 1;
}

void CBrisk7ServerDlg::OnQueryPlatform() {
  if (!LoadPlatformInfo()) Message(QStringLiteral("获取平台信息失败"));
}

void CBrisk7ServerDlg::OnChangePlatform() {
  UpdateData(true);  // a heartbeat range message does not stop the change
  const int policy = static_cast<uint8_t>(m_platformConnectMode);
  const int cache = static_cast<uint8_t>(m_dataCache);
  // Only a port the person can mean is sent: never its low 16 bits.
  const QString portText = static_cast<QLineEdit*>(Control(1018))->text().trimmed();
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
  const int port = digits.match(portText).hasMatch() ? portText.toInt() : 0;
  if (port < 1 || port > 65535) {
    WriteLog("platform port \"%s\" refused", portText.left(16).toUtf8().constData());
    Message(QStringLiteral("端口号必须是1到65535之间的数字"));
    return;
  }
  const QByteArray address = static_cast<QLineEdit*>(Control(1017))->text().toUtf8();
  if (address.size() > 250) {
    WriteLog("platform address of %d bytes refused", static_cast<int>(address.size()));
    Message(QStringLiteral("服务器地址不能超过250个字符"));
    return;
  }
  int result = 0;
  {
    BusyCursor busy;
    result =
        m_service->SetPlatform(policy, cache, static_cast<uint32_t>(port), address.constData());
  }
  Message(result == 0 ? QStringLiteral("修改平台信息成功") : QStringLiteral("修改平台信息失败"));
}

void CBrisk7ServerDlg::OnQueryConnectStatus() {
  uint8_t status = 0;
  uint8_t type = 0;
  int result = 0;
  {
    BusyCursor busy;
    result = m_service->GetConnectStatus(&status, &type);
  }
  if (result != 0) {
    Message(QStringLiteral("查询连接状态失败"));
    return;
  }
  static_cast<QLabel*>(Control(1035))->setText(Hex(status));
  static_cast<QLabel*>(Control(1036))->setText(Hex(type));
}

void CBrisk7ServerDlg::OnQueryHeartbeat() {
  uint32_t usb = 0;
  uint32_t cat1 = 0;
  int result = 0;
  {
    BusyCursor busy;
    result = m_service->GetHeartbeat(&usb, &cat1);
  }
  if (result != 0) {
    Message(QStringLiteral("获取心跳间隔失败"));
    return;
  }
  m_usbHeartbeat = static_cast<int>(usb);
  m_cat1Heartbeat = static_cast<int>(cat1);
  UpdateData(false);
  Message(QStringLiteral("获取心跳间隔成功"));
}

void CBrisk7ServerDlg::OnChangeHeartbeat() {
  if (!UpdateData(true)) return;
  int result = 0;
  {
    BusyCursor busy;
    result = m_service->SetHeartbeat(static_cast<uint32_t>(m_usbHeartbeat),
                                     static_cast<uint32_t>(m_cat1Heartbeat), 0, 0);
  }
  if (result == 0) {
    SaveHeartbeats(m_settingPath, m_usbHeartbeat, m_cat1Heartbeat);
    Message(QStringLiteral("设置心跳间隔成功"));
  } else {
    Message(QStringLiteral("设置心跳间隔失败"));
  }
}

void CBrisk7ServerDlg::OnSpin(int editId, int delta) {
  if (!UpdateData(true)) return;
  int& value = editId == 1048 ? m_usbHeartbeat : m_cat1Heartbeat;
  if (delta < 0) {
    if (value < kHeartbeatMax) ++value;
  } else if (value > kHeartbeatMin) {
    --value;
  }
  UpdateData(false);
}

}  // namespace brisk::app
