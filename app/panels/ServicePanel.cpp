#include "app/panels/ServicePanel.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "app/core/LinkState.h"
#include "app/core/PortDiscovery.h"
#include "app/core/Texts.h"

namespace brisk::app {

ServicePanel::ServicePanel(QWidget* parent) : QGroupBox(tr("服务"), parent) {
  auto* layout = new QGridLayout(this);
  m_start = new QPushButton(tr("启动"), this);
  m_start->setObjectName(QStringLiteral("startButton"));
  m_start->setDefault(true);
  m_stop = new QPushButton(tr("停止"), this);
  m_stop->setObjectName(QStringLiteral("stopButton"));
  m_portCombo = new QComboBox(this);
  m_portCombo->setObjectName(QStringLiteral("portCombo"));
  m_changePort = new QPushButton(tr("修改串口"), this);
  m_changePort->setObjectName(QStringLiteral("changePortButton"));
  m_portLine = new QLabel(tr("当前使用的串口为："), this);
  m_portLine->setObjectName(QStringLiteral("portLine"));
  layout->addWidget(m_start, 0, 0);
  layout->addWidget(m_stop, 0, 1);
  layout->addWidget(m_portCombo, 1, 0);
  layout->addWidget(m_changePort, 1, 1);
  layout->addWidget(m_portLine, 2, 0, 1, 2);
  connect(m_start, &QPushButton::clicked, this, &ServicePanel::startRequested);
  connect(m_stop, &QPushButton::clicked, this, &ServicePanel::stopRequested);
  connect(m_changePort, &QPushButton::clicked, this,
          [this] { emit portChangeRequested(m_portCombo->currentIndex()); });
}

void ServicePanel::Show(const LinkState& state) {
  // A link that runs with the switch off (a D-Bus start) is shown running: it can be stopped.
  const bool running = state.serviceEnabled || state.linkUp;
  m_start->setEnabled(!running);
  m_stop->setEnabled(running);
  m_portCombo->setEnabled(running);
  m_changePort->setEnabled(running && !state.busy);
  m_portLine->setText(state.portLine);
  // The list is refilled only when it changed: an open drop-down is not closed under the person.
  QStringList items;
  for (const std::string& item : state.portChoices)
    items << (item == kAutoPortName ? Text("自动") : QString::fromStdString(item));
  QStringList shown;
  for (int i = 0; i < m_portCombo->count(); ++i) shown << m_portCombo->itemText(i);
  if (items.isEmpty()) return;
  if (items != shown) {
    m_portCombo->clear();
    m_portCombo->addItems(items);
    m_portCombo->setCurrentIndex(state.portChoice);
  }
}

QString ServicePanel::PortLine() const { return m_portLine->text(); }

}  // namespace brisk::app
