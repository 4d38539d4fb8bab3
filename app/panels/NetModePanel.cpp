#include "app/panels/NetModePanel.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>

#include "app/panels/Named.h"

namespace brisk::app {

NetModePanel::NetModePanel(QWidget* parent) : QGroupBox(tr("网络模式"), parent) {
  auto* layout = new QHBoxLayout(this);
  choice = new QButtonGroup(this);
  automatic = Named(1000, new QRadioButton(tr("自动(USB优先)"), this));
  usb = Named(1001, new QRadioButton(tr("仅USB"), this));
  cat1 = Named(1006, new QRadioButton(QStringLiteral("Cat1"), this));
  int id = 0;
  for (QRadioButton* radio : {automatic, usb, cat1}) {
    choice->addButton(radio, id++);
    layout->addWidget(radio);
  }
  switchMode = Named(1012, new QPushButton(tr("切换网络模式"), this));
  layout->addWidget(switchMode);
}

}  // namespace brisk::app
