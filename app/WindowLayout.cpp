// The window's two halves: the service, status, start-up, network and test groups on the left,
// the reader's configuration on the right. Each control carries its object name from the id
// table; the window's handlers are connected here.
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

namespace brisk::app {

template <typename T>
T* CBrisk7ServerDlg::Named(int id, T* widget) {
  widget->setObjectName(QString::fromLatin1(ControlObjectName(kWindowControls, id)));
  m_controls[id] = widget;
  return widget;
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

}  // namespace brisk::app
