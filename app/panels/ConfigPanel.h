#pragma once
// The reader's configuration: how it reaches its platform, data caching, the platform's address,
// the connection status query and the log switch.
#include <QWidget>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace brisk::link {
struct PlatformInfo;
}

namespace brisk::app {

class ConfigPanel : public QWidget {
  Q_OBJECT
 public:
  explicit ConfigPanel(QWidget* parent);
  void ShowPlatform(const link::PlatformInfo& info);
  void ShowConnectStatus(int status, int type);
  void ShowLog(bool on);
  void ShowLink(bool usable);
  // The radios read back: 0 or 1, -1 when none is checked.
  int ConnectMode() const;
  int Cache() const;

 signals:
  void platformQueryRequested();
  void platformChangeRequested(const QString& port, const QString& address);
  void statusQueryRequested();
  void logToggled();

 private:
  QButtonGroup* m_connectMode;
  QButtonGroup* m_cache;
  QLineEdit* m_address;
  QLineEdit* m_port;
  QPushButton* m_platformQuery;
  QPushButton* m_platformChange;
  QPushButton* m_statusQuery;
  QLabel* m_statusCode;
  QLabel* m_connectType;
  QCheckBox* m_log;
};

}  // namespace brisk::app
