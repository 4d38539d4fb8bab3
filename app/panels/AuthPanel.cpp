#include "app/panels/AuthPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstring>

#include "app/panels/Named.h"

namespace brisk::app {

AuthPanel::AuthPanel(QWidget* parent) : QGroupBox(tr("授权信息"), parent) {
  auto* layout = new QGridLayout(this);
  licence = Named(1029, new QPlainTextEdit(this));
  licence->setFixedHeight(48);
  mac = Named(1030, new QLineEdit(this));
  iccid = Named(1031, new QLineEdit(this));
  query = Named(1026, new QPushButton(tr("查询"), this));
  layout->addWidget(new QLabel(QStringLiteral("License："), this), 0, 0);
  layout->addWidget(licence, 0, 1, 1, 2);
  layout->addWidget(new QLabel(QStringLiteral("mac:"), this), 1, 0);
  layout->addWidget(mac, 1, 1, 1, 2);
  layout->addWidget(new QLabel(QStringLiteral("iccid:"), this), 2, 0);
  layout->addWidget(iccid, 2, 1);
  layout->addWidget(query, 2, 2);
}

void AuthPanel::ShowAnswer(const uint8_t* licenceBytes, const char* macDigits,
                           const char* iccidDigits) {
  QString hex;
  for (int i = 0; i < 32; ++i)
    hex += QStringLiteral("%1").arg(licenceBytes[i], 2, 16, QLatin1Char('0'));
  licence->setPlainText(hex);
  QString macText;
  for (int i = 0; i < 12; i += 2) {
    if (i) macText += QLatin1Char(':');
    macText += QString::fromLatin1(macDigits + i, 2);
  }
  mac->setText(macText);
  iccid->setText(QString::fromLatin1(iccidDigits, static_cast<int>(strnlen(iccidDigits, 20))));
}

}  // namespace brisk::app
