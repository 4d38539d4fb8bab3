#include "app/panels/NetModePanel.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>

#include "app/panels/ButtonGroup.h"

namespace brisk::app {

NetModePanel::NetModePanel(QWidget* parent) : QGroupBox(tr("网络模式"), parent) {
  auto* layout = new QHBoxLayout(this);
  m_choice = new QButtonGroup(this);
  m_automatic = new QRadioButton(tr("自动(USB优先)"), this);
  m_automatic->setObjectName(QStringLiteral("netModeAutoRadio"));
  m_usb = new QRadioButton(tr("仅USB"), this);
  m_usb->setObjectName(QStringLiteral("netModeUsbRadio"));
  m_cat1 = new QRadioButton(QStringLiteral("Cat1"), this);
  m_cat1->setObjectName(QStringLiteral("netModeCat1Radio"));
  int id = 0;
  for (QRadioButton* radio : {m_automatic, m_usb, m_cat1}) {
    m_choice->addButton(radio, id++);
    layout->addWidget(radio);
  }
  m_switch = new QPushButton(tr("切换网络模式"), this);
  m_switch->setObjectName(QStringLiteral("switchNetModeButton"));
  layout->addWidget(m_switch);
  connect(m_switch, &QPushButton::clicked, this, &NetModePanel::switchRequested);
}

int NetModePanel::Choice() const { return m_choice->checkedId(); }

void NetModePanel::ShowChoice(int choice) { SetButtonGroup(m_choice, choice); }

void NetModePanel::ShowLink(bool linked, bool free, int cat1) {
  m_automatic->setEnabled(linked);
  m_usb->setEnabled(linked);
  m_switch->setEnabled(linked && free);
  // The Cat1 radio keeps what the last start's Cat1 answer gave it.
  m_cat1->setEnabled(linked && cat1 != 0);
}

}  // namespace brisk::app
