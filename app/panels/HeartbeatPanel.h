#pragma once
// "服务器心跳": the USB and Cat1 heartbeat intervals, each with its up/down arrows.
#include <QGroupBox>

class QLineEdit;
class QPushButton;
class QToolButton;

namespace brisk::app {

class HeartbeatPanel : public QGroupBox {
  Q_OBJECT
 public:
  explicit HeartbeatPanel(QWidget* parent);
  void ShowValues(int usb, int cat1);
  // Both edits read back; false (the edit at fault focused) when one is outside 60..600.
  bool Values(int* usb, int* cat1);
  // An arrow's step on the values just read back, kept within 60..600.
  void Step(bool usbRow, bool up);
  void ShowFree(bool free);

 signals:
  void queryRequested();
  void changeRequested();
  // An arrow was pressed: the window reads its fields back before the step.
  void stepRequested(bool usbRow, bool up);

 private:
  QLineEdit* m_usb;
  QLineEdit* m_cat1;
  QPushButton* m_query;
  QPushButton* m_change;
};

}  // namespace brisk::app
