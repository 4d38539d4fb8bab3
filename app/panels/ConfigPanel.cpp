#include "app/panels/ConfigPanel.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/panels/ButtonGroup.h"
#include "link/ReaderCommands.h"

namespace brisk::app {

namespace {
template <typename T>
T* Named(const char* name, T* widget) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}
}  // namespace

ConfigPanel::ConfigPanel(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* modes = new QGroupBox(tr("配置"), this);
  auto* ml = new QGridLayout(modes);
  m_connectMode = new QButtonGroup(this);
  m_cache = new QButtonGroup(this);
  const auto pair = [&](int row, const QString& caption, QButtonGroup* group, const char* firstName,
                        const QString& first, const char* secondName, const QString& second) {
    ml->addWidget(new QLabel(caption, modes), row, 0);
    group->addButton(Named(firstName, new QRadioButton(first, modes)), 0);
    group->addButton(Named(secondName, new QRadioButton(second, modes)), 1);
    ml->addWidget(group->button(0), row, 1);
    ml->addWidget(group->button(1), row, 2);
  };
  pair(0, tr("连接平台方式："), m_connectMode, "connectAtPowerOnRadio", tr("开机自动连接"),
       "waitForHostRadio", tr("等待上位机连接"));
  pair(1, tr("启用数据缓存："), m_cache, "cacheOffRadio", tr("不启用"), "cacheOnRadio", tr("启用"));
  layout->addWidget(modes);
  auto* platform = new QGridLayout;
  m_address = Named("platformAddressEdit", new QLineEdit(this));
  m_address->setMaxLength(254);
  m_port = Named("platformPortEdit", new QLineEdit(this));
  m_platformQuery = Named("platformQueryButton", new QPushButton(tr("查询"), this));
  m_platformChange = Named("platformChangeButton", new QPushButton(tr("修改"), this));
  platform->addWidget(new QLabel(tr("服务器地址："), this), 0, 0);
  platform->addWidget(m_address, 0, 1, 1, 2);
  platform->addWidget(new QLabel(tr("端口号："), this), 1, 0);
  platform->addWidget(m_port, 1, 1, 1, 2);
  platform->addWidget(m_platformQuery, 2, 1);
  platform->addWidget(m_platformChange, 2, 2);
  layout->addLayout(platform);
  auto* status = new QGridLayout;
  m_statusQuery = Named("connectStatusButton", new QPushButton(tr("查询终端连接状态"), this));
  m_statusCode = Named("statusCodeText", new QLabel(this));
  m_connectType = Named("connectTypeText", new QLabel(this));
  status->addWidget(m_statusQuery, 0, 0, 2, 1);
  status->addWidget(new QLabel(tr("状态码："), this), 0, 1);
  status->addWidget(m_statusCode, 0, 2);
  status->addWidget(new QLabel(tr("连接类型："), this), 1, 1);
  status->addWidget(m_connectType, 1, 2);
  layout->addLayout(status);
  m_log = Named("logCheck", new QCheckBox(tr("记录日志"), this));
  layout->addWidget(m_log);

  connect(m_platformQuery, &QPushButton::clicked, this, &ConfigPanel::platformQueryRequested);
  connect(m_platformChange, &QPushButton::clicked, this,
          [this] { emit platformChangeRequested(m_port->text(), m_address->text()); });
  connect(m_statusQuery, &QPushButton::clicked, this, &ConfigPanel::statusQueryRequested);
  connect(m_log, &QCheckBox::clicked, this, &ConfigPanel::logToggled);
}

void ConfigPanel::ShowPlatform(const link::PlatformInfo& info) {
  SetButtonGroup(m_connectMode, info.policy);
  SetButtonGroup(m_cache, info.cache);
  m_port->setText(QString::number(info.port));
  m_address->setText(QString::fromStdString(info.host));
}

void ConfigPanel::ShowConnectStatus(int status, int type) {
  m_statusCode->setText(QStringLiteral("0x%1").arg(status, 0, 16));
  m_connectType->setText(QStringLiteral("0x%1").arg(type, 0, 16));
}

void ConfigPanel::ShowLog(bool on) { m_log->setChecked(on); }

void ConfigPanel::ShowLink(bool usable) {
  for (QPushButton* b : {m_platformQuery, m_platformChange, m_statusQuery}) b->setEnabled(usable);
}

int ConfigPanel::ConnectMode() const { return m_connectMode->checkedId(); }
int ConfigPanel::Cache() const { return m_cache->checkedId(); }

}  // namespace brisk::app
