#pragma once
// "启动设置": start with the session, start the service with the program.
#include <QGroupBox>

class QCheckBox;

namespace brisk::app {

class StartupPanel : public QGroupBox {
 public:
  explicit StartupPanel(QWidget* parent);
  QCheckBox* autoRun;
  QCheckBox* autoStartService;
};

}  // namespace brisk::app
