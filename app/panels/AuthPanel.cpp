#include "app/panels/AuthPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "link/ReaderCommands.h"

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

void AuthPanel::ShowAnswer(const link::AuthInfo& info) {
  const link::AuthText text = link::FormatAuthInfo(info);
  m_licence->setPlainText(QString::fromStdString(text.licence));
  m_mac->setText(QString::fromLatin1(text.mac.data(), static_cast<int>(text.mac.size())));
  m_iccid->setText(QString::fromLatin1(text.iccid.data(), static_cast<int>(text.iccid.size())));
}

}  // namespace brisk::app
