// The window's two halves, built of panels: service, status, start-up, network mode and test on
// the left; authorization, configuration and heartbeats on the right.
#include <QPushButton>
#include <QVBoxLayout>

#include "app/AboutDialog.h"
#include "app/Brisk7ServerDlg.h"
#include "app/panels/AuthPanel.h"
#include "app/panels/ConfigPanel.h"
#include "app/panels/HeartbeatPanel.h"
#include "app/panels/NetModePanel.h"
#include "app/panels/NetTestPanel.h"
#include "app/panels/ServicePanel.h"
#include "app/panels/StartupPanel.h"
#include "app/panels/StatusPanel.h"

namespace brisk::app {

void CBrisk7ServerDlg::BuildLeftHalf(QWidget* half) {
  auto* layout = new QVBoxLayout(half);
  // The bottom-left corner stays free for the double-click that opens the panel.
  layout->setContentsMargins(14, 10, 10, 14);
  m_servicePanel = new ServicePanel(half);
  m_statusPanel = new StatusPanel(half);
  m_startupPanel = new StartupPanel(half);
  m_netModePanel = new NetModePanel(half);
  m_netTestPanel = new NetTestPanel(half);
  for (QWidget* panel : std::initializer_list<QWidget*>{
           m_servicePanel, m_statusPanel, m_startupPanel, m_netModePanel, m_netTestPanel})
    layout->addWidget(panel);
  auto* about = new QPushButton(tr("关于"), half);
  about->setObjectName(QStringLiteral("aboutButton"));
  layout->addWidget(about, 0, Qt::AlignRight);
  layout->addStretch();
  connect(about, &QPushButton::clicked, this, [this] {
    CAboutDialog box(this);
    box.exec();
  });
}

void CBrisk7ServerDlg::BuildRightHalf(QWidget* half) {
  auto* layout = new QVBoxLayout(half);
  layout->setContentsMargins(10, 10, 14, 10);
  m_authPanel = new AuthPanel(half);
  m_configPanel = new ConfigPanel(half);
  m_heartbeatPanel = new HeartbeatPanel(half);
  layout->addWidget(m_authPanel);
  layout->addWidget(m_configPanel);
  layout->addWidget(m_heartbeatPanel);
  auto* collapse = new QPushButton(tr("收起"), half);
  collapse->setObjectName(QStringLiteral("collapseButton"));
  layout->addWidget(collapse, 0, Qt::AlignRight);
  layout->addStretch();
  connect(collapse, &QPushButton::clicked, this, &CBrisk7ServerDlg::CollapsePanel);
}

}  // namespace brisk::app
