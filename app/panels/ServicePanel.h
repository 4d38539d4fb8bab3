#pragma once
// "服务": start, stop, the port to use and the line that tells which one is in use.
#include <QGroupBox>

class QComboBox;
class QLabel;
class QPushButton;

namespace brisk::app {

struct LinkState;

class ServicePanel : public QGroupBox {
  Q_OBJECT
 public:
  explicit ServicePanel(QWidget* parent);
  void Show(const LinkState& state);
  QString PortLine() const;

 signals:
  void startRequested();
  void stopRequested();
  void portChangeRequested(int selectedIndex);

 private:
  QPushButton* m_start;
  QPushButton* m_stop;
  QComboBox* m_portCombo;
  QPushButton* m_changePort;
  QLabel* m_portLine;
};

}  // namespace brisk::app
