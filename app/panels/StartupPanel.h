#pragma once
// "启动设置": start with the session, start the service with the program.
#include <QCoreApplication>
#include <QGroupBox>

class QCheckBox;

namespace brisk::app {

class StartupPanel : public QGroupBox {
  Q_DECLARE_TR_FUNCTIONS(StartupPanel)
 public:
  explicit StartupPanel(QWidget* parent);
  QCheckBox* autoRun;
  QCheckBox* autoStartService;
};

}  // namespace brisk::app
