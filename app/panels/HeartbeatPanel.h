#pragma once
// "服务器心跳": the USB and Cat1 heartbeat intervals, each with its up/down arrows.
#include <QCoreApplication>
#include <QGroupBox>

class QLineEdit;
class QPushButton;
class QToolButton;

namespace brisk::app {

class HeartbeatPanel : public QGroupBox {
  Q_DECLARE_TR_FUNCTIONS(HeartbeatPanel)
 public:
  explicit HeartbeatPanel(QWidget* parent);
  struct Row {
    QLineEdit* edit;
    QToolButton* up;
    QToolButton* down;
  };
  Row usb;
  Row cat1;
  QPushButton* query;
  QPushButton* change;
};

}  // namespace brisk::app
