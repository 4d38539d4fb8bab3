#pragma once
// "授权信息": the reader's licence, MAC address and SIM's ICCID.
#include <QGroupBox>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace brisk::link {
struct AuthInfo;
}

namespace brisk::app {

class AuthPanel : public QGroupBox {
  Q_OBJECT
 public:
  explicit AuthPanel(QWidget* parent);
  // The answer of an authorization query: 32 licence bytes, 12 MAC digits, up to 20 ICCID ones.
  void ShowAnswer(const link::AuthInfo& info);
  void ShowLink(bool usable);

 signals:
  void queryRequested();

 private:
  QPlainTextEdit* m_licence;
  QLineEdit* m_mac;
  QLineEdit* m_iccid;
  QPushButton* m_query;
};

}  // namespace brisk::app
