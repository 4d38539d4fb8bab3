#pragma once
// "网络模式": automatic, USB only or Cat1, and the switch.
#include <QCoreApplication>
#include <QGroupBox>

class QButtonGroup;
class QPushButton;
class QRadioButton;

namespace brisk::app {

class NetModePanel : public QGroupBox {
  Q_DECLARE_TR_FUNCTIONS(NetModePanel)
 public:
  explicit NetModePanel(QWidget* parent);
  // Button ids are the choices 0 (automatic), 1 (USB), 2 (Cat1).
  QButtonGroup* choice;
  QRadioButton* automatic;
  QRadioButton* usb;
  QRadioButton* cat1;
  QPushButton* switchMode;
};

}  // namespace brisk::app
