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

#include "app/panels/Named.h"

namespace brisk::app {

ConfigPanel::ConfigPanel(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);

  auto* modes = new QGroupBox(tr("配置"), this);
  auto* ml = new QGridLayout(modes);
  connectMode = new QButtonGroup(this);
  cache = new QButtonGroup(this);
  const auto pair = [&](int row, const QString& caption, QButtonGroup* group, int firstId,
                        const QString& first, const QString& second) {
    ml->addWidget(new QLabel(caption, modes), row, 0);
    int value = 0;
    for (const QString& text : {first, second}) {
      auto* radio = Named(firstId + value, new QRadioButton(text, modes));
      group->addButton(radio, value);
      ml->addWidget(radio, row, 1 + value++);
    }
  };
  pair(0, tr("连接平台方式："), connectMode, 1019, tr("开机自动连接"), tr("等待上位机连接"));
  pair(1, tr("启用数据缓存："), cache, 1021, tr("不启用"), tr("启用"));
  layout->addWidget(modes);

  auto* platform = new QGridLayout;
  address = Named(1017, new QLineEdit(this));
  address->setMaxLength(254);
  port = Named(1018, new QLineEdit(this));
  platformQuery = Named(1027, new QPushButton(tr("查询"), this));
  platformChange = Named(1028, new QPushButton(tr("修改"), this));
  platform->addWidget(new QLabel(tr("服务器地址："), this), 0, 0);
  platform->addWidget(address, 0, 1, 1, 2);
  platform->addWidget(new QLabel(tr("端口号："), this), 1, 0);
  platform->addWidget(port, 1, 1, 1, 2);
  platform->addWidget(platformQuery, 2, 1);
  platform->addWidget(platformChange, 2, 2);
  layout->addLayout(platform);

  auto* status = new QGridLayout;
  statusQuery = Named(1034, new QPushButton(tr("查询终端连接状态"), this));
  statusCode = Named(1035, new QLabel(this));
  connectType = Named(1036, new QLabel(this));
  status->addWidget(statusQuery, 0, 0, 2, 1);
  status->addWidget(new QLabel(tr("状态码："), this), 0, 1);
  status->addWidget(statusCode, 0, 2);
  status->addWidget(new QLabel(tr("连接类型："), this), 1, 1);
  status->addWidget(connectType, 1, 2);
  layout->addLayout(status);

  log = Named(1040, new QCheckBox(tr("记录日志"), this));
  layout->addWidget(log);
}

void ConfigPanel::ShowPlatform(uint32_t portNumber, const std::string& host) {
  port->setText(QString::number(portNumber));
  address->setText(QString::fromStdString(host));
}

void ConfigPanel::ShowConnectStatus(uint8_t status, uint8_t type) {
  statusCode->setText(QStringLiteral("0x%1").arg(status, 0, 16));
  connectType->setText(QStringLiteral("0x%1").arg(type, 0, 16));
}

}  // namespace brisk::app
