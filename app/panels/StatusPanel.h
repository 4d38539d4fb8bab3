#pragma once
// "状态": the port and the platform connection with their byte counts, and the Cat1 module.
#include <QCoreApplication>
#include <QGroupBox>

class QLabel;

namespace brisk::app {

class StatusPanel : public QGroupBox {
  Q_DECLARE_TR_FUNCTIONS(StatusPanel)
 public:
  explicit StatusPanel(QWidget* parent);
  QLabel* comState;
  QLabel* serverState;
  QLabel* comBytesRead;
  QLabel* comBytesWritten;
  QLabel* serverBytesReceived;
  QLabel* serverBytesSent;
  QLabel* cat1Present;
  QLabel* cat1Model;
};

}  // namespace brisk::app
