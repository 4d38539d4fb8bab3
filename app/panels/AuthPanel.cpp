#include "app/panels/AuthPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstring>

#include "app/core/LinkState.h"

namespace brisk::app {

AuthPanel::AuthPanel(QWidget* parent) : QGroupBox(tr("授权信息"), parent) {
  auto* layout = new QGridLayout(this);
  m_licence = new QPlainTextEdit(this);
  m_licence->setObjectName(QStringLiteral("licenceEdit"));
  m_licence->setFixedHeight(48);
  m_mac = new QLineEdit(this);
  m_mac->setObjectName(QStringLiteral("macEdit"));
  m_iccid = new QLineEdit(this);
  m_iccid->setObjectName(QStringLiteral("iccidEdit"));
  m_query = new QPushButton(tr("查询"), this);
  m_query->setObjectName(QStringLiteral("authQueryButton"));
  layout->addWidget(new QLabel(QStringLiteral("License："), this), 0, 0);
  layout->addWidget(m_licence, 0, 1, 1, 2);
  layout->addWidget(new QLabel(QStringLiteral("mac:"), this), 1, 0);
  layout->addWidget(m_mac, 1, 1, 1, 2);
  layout->addWidget(new QLabel(QStringLiteral("iccid:"), this), 2, 0);
  layout->addWidget(m_iccid, 2, 1);
  layout->addWidget(m_query, 2, 2);
  connect(m_query, &QPushButton::clicked, this, &AuthPanel::queryRequested);
}

void AuthPanel::ShowLink(bool usable) { m_query->setEnabled(usable); }

void AuthPanel::ShowAnswer(const AuthInfo& info) {
  QString hex;
  for (uint8_t byte : info.licence) hex += QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
  m_licence->setPlainText(hex);
  QString macText;
  for (int i = 0; i < 12; i += 2) {
    if (i) macText += QLatin1Char(':');
    macText += QString::fromLatin1(info.mac + i, 2);
  }
  m_mac->setText(macText);
  m_iccid->setText(QString::fromLatin1(info.iccid, static_cast<int>(strnlen(info.iccid, 20))));
}

}  // namespace brisk::app
