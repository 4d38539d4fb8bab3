#include "app/panels/StatusPanel.h"

#include <QGridLayout>
#include <QLabel>

#include "app/panels/Named.h"

namespace brisk::app {

StatusPanel::StatusPanel(QWidget* parent) : QGroupBox(tr("状态"), parent) {
  auto* layout = new QGridLayout(this);
  auto row = [this, layout](int r, const QString& caption, int id, const QString& text) {
    layout->addWidget(new QLabel(caption, this), r / 2, (r % 2) * 2);
    auto* value = Named(id, new QLabel(text, this));
    layout->addWidget(value, r / 2, (r % 2) * 2 + 1);
    return value;
  };
  comState = row(0, tr("串口："), 1005, tr("未打开"));
  serverState = row(1, tr("服务器："), 1004, tr("未连接"));
  comBytesRead = row(2, tr("串口接收："), 1007, QStringLiteral("0"));
  comBytesWritten = row(3, tr("串口发送："), 1009, QStringLiteral("0"));
  serverBytesReceived = row(4, tr("服务器接收："), 1008, QStringLiteral("0"));
  serverBytesSent = row(5, tr("服务器发送："), 1010, QStringLiteral("0"));
  cat1Present = row(6, tr("Cat1模块："), 1013, QString());
  cat1Model = row(7, tr("型号："), 1014, QString());
}

}  // namespace brisk::app
