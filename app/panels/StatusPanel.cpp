#include "app/panels/StatusPanel.h"

#include <QGridLayout>
#include <QLabel>

#include "app/core/LinkState.h"
#include "app/core/Texts.h"

namespace brisk::app {

StatusPanel::StatusPanel(QWidget* parent) : QGroupBox(tr("状态"), parent) {
  auto* layout = new QGridLayout(this);
  auto row = [this, layout](int r, const QString& caption, const char* name, const QString& text) {
    layout->addWidget(new QLabel(caption, this), r / 2, (r % 2) * 2);
    auto* value = new QLabel(text, this);
    value->setObjectName(QString::fromLatin1(name));
    layout->addWidget(value, r / 2, (r % 2) * 2 + 1);
    return value;
  };
  m_comState = row(0, tr("串口："), "comStateText", tr("未打开"));
  m_serverState = row(1, tr("服务器："), "serverStateText", tr("未连接"));
  m_comBytesRead = row(2, tr("串口接收："), "comBytesReadText", QStringLiteral("0"));
  m_comBytesWritten = row(3, tr("串口发送："), "comBytesWrittenText", QStringLiteral("0"));
  m_serverBytesReceived =
      row(4, tr("服务器接收："), "serverBytesReceivedText", QStringLiteral("0"));
  m_serverBytesSent = row(5, tr("服务器发送："), "serverBytesSentText", QStringLiteral("0"));
  m_cat1Present = row(6, tr("Cat1模块："), "cat1PresentText", QString());
  m_cat1Model = row(7, tr("型号："), "cat1ModelText", QString());
}

void StatusPanel::Show(const LinkState& s) {
  m_comBytesRead->setText(QString::number(s.comBytesRead));
  m_comBytesWritten->setText(QString::number(s.comBytesWritten));
  m_serverBytesReceived->setText(QString::number(s.serverBytesReceived));
  m_serverBytesSent->setText(QString::number(s.serverBytesSent));
  m_comState->setText(s.comOpen ? Text("已打开") : Text("未打开"));
  m_serverState->setText(s.serverConnected ? Text("已连接") : Text("未连接"));
  // The Cat1 line tells what the last start's answer said, until the next start's answer.
  if (s.cat1 < 0) return;
  m_cat1Present->setText(s.cat1 == 0 ? Text("无") : s.cat1 == 1 ? Text("有") : Text("未知"));
  m_cat1Model->setText(s.cat1 == 1 ? QStringLiteral("0x%1").arg(s.cat1Model, 0, 16) : QString());
}

}  // namespace brisk::app
