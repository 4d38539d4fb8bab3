#pragma once
// "网络质量检测": the reader's network test and its summary.
#include <QCoreApplication>
#include <QGroupBox>

class QLabel;
class QPushButton;

namespace brisk::app {

class NetTestPanel : public QGroupBox {
  Q_DECLARE_TR_FUNCTIONS(NetTestPanel)
 public:
  explicit NetTestPanel(QWidget* parent);
  // The summary of a test: its successes, failures, mean and largest delay.
  void ShowResult(int successes, int failures, int average, int maximum);
  QPushButton* start;
  QLabel* result;
};

}  // namespace brisk::app
