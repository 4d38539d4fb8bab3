// The window's two halves, built of panels: service, status, start-up, network mode and test on
// the left; authorization, configuration and heartbeats on the right. The window's handlers are
// connected here.
#include <QButtonGroup>
#include <QCheckBox>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/Brisk7ServerDlg.h"
#include "app/panels/AuthPanel.h"
#include "app/panels/ConfigPanel.h"
#include "app/panels/HeartbeatPanel.h"
#include "app/panels/Named.h"
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
  m_aboutButton = Named(1037, new QPushButton(tr("关于"), half));
  layout->addWidget(m_aboutButton, 0, Qt::AlignRight);
  layout->addStretch();

  connect(m_servicePanel->start, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnSwitchOn);
  connect(m_servicePanel->stop, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnSwitchOff);
  connect(m_servicePanel->changePort, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnChangePort);
  connect(m_startupPanel->autoRun, &QCheckBox::clicked, this, &CBrisk7ServerDlg::OnToggleAutoRun);
  connect(m_startupPanel->autoStartService, &QCheckBox::clicked, this,
          &CBrisk7ServerDlg::OnToggleAutoStartService);
  connect(m_netModePanel->switchMode, &QPushButton::clicked, this,
          &CBrisk7ServerDlg::OnSwitchNetMode);
  connect(m_netTestPanel->start, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnNetworkTest);
  connect(m_aboutButton, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnAbout);
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
  auto* collapse = Named(1016, new QPushButton(tr("收起"), half));
  layout->addWidget(collapse, 0, Qt::AlignRight);
  layout->addStretch();

  connect(m_authPanel->query, &QPushButton::clicked, this, &CBrisk7ServerDlg::OnQueryAuth);
  connect(m_configPanel->platformQuery, &QPushButton::clicked, this,
          &CBrisk7ServerDlg::OnQueryPlatform);
  connect(m_configPanel->platformChange, &QPushButton::clicked, this,
          &CBrisk7ServerDlg::OnChangePlatform);
  connect(m_configPanel->statusQuery, &QPushButton::clicked, this,
          &CBrisk7ServerDlg::OnQueryConnectStatus);
  connect(m_configPanel->log, &QCheckBox::clicked, this, &CBrisk7ServerDlg::OnToggleLog);
  connect(m_heartbeatPanel->query, &QPushButton::clicked, this,
          &CBrisk7ServerDlg::OnQueryHeartbeat);
  connect(m_heartbeatPanel->change, &QPushButton::clicked, this,
          &CBrisk7ServerDlg::OnChangeHeartbeat);
  // The up arrow is a negative position change with the control's default range.
  for (auto [row, editId] :
       {std::pair{&m_heartbeatPanel->usb, 1048}, std::pair{&m_heartbeatPanel->cat1, 1052}}) {
    connect(row->up, &QToolButton::clicked, this, [this, id = editId] { OnSpin(id, -1); });
    connect(row->down, &QToolButton::clicked, this, [this, id = editId] { OnSpin(id, 1); });
  }
  connect(collapse, &QPushButton::clicked, this, &CBrisk7ServerDlg::CollapsePanel);
}

}  // namespace brisk::app
