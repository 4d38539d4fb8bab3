#pragma once
// "网络模式": automatic, USB only or Cat1, and the switch.
#include <QGroupBox>

class QButtonGroup;
class QPushButton;
class QRadioButton;

namespace brisk::app {

class NetModePanel : public QGroupBox {
  Q_OBJECT
 public:
  explicit NetModePanel(QWidget* parent);
  // The checked radio: 0 automatic, 1 USB, 2 Cat1; -1 when none is.
  int Choice() const;
  // Checks the radio of choice; none for a value outside 0..2.
  void ShowChoice(int choice);
  // cat1: the last start's Cat1 answer (0: no module, the radio stays off while linked).
  void ShowLink(bool linked, bool free, int cat1);

 signals:
  void switchRequested();

 private:
  QButtonGroup* m_choice;
  QRadioButton* m_automatic;
  QRadioButton* m_usb;
  QRadioButton* m_cat1;
  QPushButton* m_switch;
};

}  // namespace brisk::app
