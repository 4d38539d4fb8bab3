#pragma once
// The reader's configuration: how it reaches its platform, data caching, the platform's address,
// the connection status query and the log switch.
#include <QCoreApplication>
#include <QWidget>
#include <cstdint>
#include <string>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace brisk::app {

class ConfigPanel : public QWidget {
  Q_DECLARE_TR_FUNCTIONS(ConfigPanel)
 public:
  explicit ConfigPanel(QWidget* parent);
  void ShowPlatform(uint32_t port, const std::string& host);
  void ShowConnectStatus(uint8_t status, uint8_t type);
  // Button ids 0 and 1: connect at power-on / wait for the host; cache off / on.
  QButtonGroup* connectMode;
  QButtonGroup* cache;
  QLineEdit* address;
  QLineEdit* port;
  QPushButton* platformQuery;
  QPushButton* platformChange;
  QPushButton* statusQuery;
  QLabel* statusCode;
  QLabel* connectType;
  QCheckBox* log;
};

}  // namespace brisk::app
