#pragma once
// "服务": start, stop, the port to use and the line that tells which one is in use.
#include <QCoreApplication>
#include <QGroupBox>

class QComboBox;
class QLabel;
class QPushButton;

namespace brisk::app {

class ServicePanel : public QGroupBox {
  Q_DECLARE_TR_FUNCTIONS(ServicePanel)
 public:
  explicit ServicePanel(QWidget* parent);
  QPushButton* start;
  QPushButton* stop;
  QComboBox* portCombo;
  QPushButton* changePort;
  QLabel* portLine;
};

}  // namespace brisk::app
