#pragma once
// "授权信息": the reader's licence, MAC address and SIM's ICCID.
#include <QCoreApplication>
#include <QGroupBox>
#include <cstdint>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace brisk::app {

class AuthPanel : public QGroupBox {
  Q_DECLARE_TR_FUNCTIONS(AuthPanel)
 public:
  explicit AuthPanel(QWidget* parent);
  // The answer of an authorization query: 32 licence bytes, 12 MAC digits, up to 20 ICCID ones.
  void ShowAnswer(const uint8_t* licence, const char* mac, const char* iccid);
  QPlainTextEdit* licence;
  QLineEdit* mac;
  QLineEdit* iccid;
  QPushButton* query;
};

}  // namespace brisk::app
