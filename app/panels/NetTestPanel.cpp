#include "app/panels/NetTestPanel.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brisk::app {

NetTestPanel::NetTestPanel(QWidget* parent) : QGroupBox(tr("网络质量检测"), parent) {
  auto* layout = new QVBoxLayout(this);
  m_start = new QPushButton(tr("开始检测"), this);
  m_start->setObjectName(QStringLiteral("networkTestButton"));
  m_result = new QLabel(this);
  m_result->setObjectName(QStringLiteral("networkTestResultText"));
  m_result->setWordWrap(true);
  layout->addWidget(m_start, 0, Qt::AlignLeft);
  layout->addWidget(m_result);
  connect(m_start, &QPushButton::clicked, this, &NetTestPanel::testRequested);
}

void NetTestPanel::ShowLink(bool usable) { m_start->setEnabled(usable); }

void NetTestPanel::ShowResult(int successes, int failures, int average, int maximum) {
  if (successes == 0)
    m_result->setText(tr("测试读卡器网络质量失败"));
  else
    m_result->setText(tr("当前平均延时为%1毫秒，最大%2毫秒，成功%3次，失败%4次")
                          .arg(average)
                          .arg(maximum)
                          .arg(successes)
                          .arg(failures));
}

}  // namespace brisk::app
