#include "app/panels/StartupPanel.h"

#include <QCheckBox>
#include <QHBoxLayout>

namespace brisk::app {

StartupPanel::StartupPanel(QWidget* parent) : QGroupBox(tr("启动设置"), parent) {
  auto* layout = new QHBoxLayout(this);
  m_autoRun = new QCheckBox(tr("开机自启动"), this);
  m_autoRun->setObjectName(QStringLiteral("autoRunCheck"));
  m_autoStartService = new QCheckBox(tr("自动启动服务"), this);
  m_autoStartService->setObjectName(QStringLiteral("autoStartServiceCheck"));
  layout->addWidget(m_autoRun);
  layout->addWidget(m_autoStartService);
  connect(m_autoRun, &QCheckBox::clicked, this, &StartupPanel::autoRunToggled);
  connect(m_autoStartService, &QCheckBox::clicked, this, &StartupPanel::autoStartServiceToggled);
}

void StartupPanel::ShowChecks(bool autoRun, bool autoStartService) {
  m_autoRun->setChecked(autoRun);
  m_autoStartService->setChecked(autoStartService);
}

}  // namespace brisk::app
