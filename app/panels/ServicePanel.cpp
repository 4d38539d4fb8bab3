#include "app/panels/ServicePanel.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "app/panels/Named.h"

namespace brisk::app {

ServicePanel::ServicePanel(QWidget* parent) : QGroupBox(tr("服务"), parent) {
  auto* layout = new QGridLayout(this);
  start = Named(1041, new QPushButton(tr("启动"), this));
  start->setDefault(true);
  stop = Named(1042, new QPushButton(tr("停止"), this));
  portCombo = Named(1002, new QComboBox(this));
  changePort = Named(1003, new QPushButton(tr("修改串口"), this));
  portLine = Named(1011, new QLabel(tr("当前使用的串口为："), this));
  layout->addWidget(start, 0, 0);
  layout->addWidget(stop, 0, 1);
  layout->addWidget(portCombo, 1, 0);
  layout->addWidget(changePort, 1, 1);
  layout->addWidget(portLine, 2, 0, 1, 2);
}

}  // namespace brisk::app
