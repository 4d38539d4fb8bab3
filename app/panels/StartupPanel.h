#pragma once
// "启动设置": start with the session, start the service with the program.
#include <QGroupBox>

class QCheckBox;

namespace brisk::app {

class StartupPanel : public QGroupBox {
  Q_OBJECT
 public:
  explicit StartupPanel(QWidget* parent);
  void ShowChecks(bool autoRun, bool autoStartService);

 signals:
  void autoRunToggled();
  void autoStartServiceToggled();

 private:
  QCheckBox* m_autoRun;
  QCheckBox* m_autoStartService;
};

}  // namespace brisk::app
