#include "app/panels/StartupPanel.h"

#include <QCheckBox>
#include <QHBoxLayout>

#include "app/panels/Named.h"

namespace brisk::app {

StartupPanel::StartupPanel(QWidget* parent) : QGroupBox(tr("启动设置"), parent) {
  auto* layout = new QHBoxLayout(this);
  autoRun = Named(1032, new QCheckBox(tr("开机自启动"), this));
  autoStartService = Named(1033, new QCheckBox(tr("自动启动服务"), this));
  layout->addWidget(autoRun);
  layout->addWidget(autoStartService);
}

}  // namespace brisk::app
