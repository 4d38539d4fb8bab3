#pragma once
// "状态": the port and the platform connection with their byte counts, and the Cat1 module.
#include <QGroupBox>

class QLabel;

namespace brisk::app {

struct LinkState;

class StatusPanel : public QGroupBox {
  Q_OBJECT
 public:
  explicit StatusPanel(QWidget* parent);
  void Show(const LinkState& state);

 private:
  QLabel* m_comState;
  QLabel* m_serverState;
  QLabel* m_comBytesRead;
  QLabel* m_comBytesWritten;
  QLabel* m_serverBytesReceived;
  QLabel* m_serverBytesSent;
  QLabel* m_cat1Present;
  QLabel* m_cat1Model;
};

}  // namespace brisk::app
