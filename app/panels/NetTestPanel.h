#pragma once
// "网络质量检测": the reader's network test and its summary.
#include <QGroupBox>

class QLabel;
class QPushButton;

namespace brisk::app {

class NetTestPanel : public QGroupBox {
  Q_OBJECT
 public:
  explicit NetTestPanel(QWidget* parent);
  // The summary of a test: its successes, failures, mean and largest delay.
  void ShowResult(int successes, int failures, int average, int maximum);
  void ShowLink(bool usable);

 signals:
  void testRequested();

 private:
  QPushButton* m_start;
  QLabel* m_result;
};

}  // namespace brisk::app
