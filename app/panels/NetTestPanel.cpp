#include "app/panels/NetTestPanel.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/panels/Named.h"

namespace brisk::app {

NetTestPanel::NetTestPanel(QWidget* parent) : QGroupBox(tr("网络质量检测"), parent) {
  auto* layout = new QVBoxLayout(this);
  start = Named(1038, new QPushButton(tr("开始检测"), this));
  result = Named(1039, new QLabel(this));
  result->setWordWrap(true);
  layout->addWidget(start, 0, Qt::AlignLeft);
  layout->addWidget(result);
}

void NetTestPanel::ShowResult(int successes, int failures, int average, int maximum) {
  if (successes == 0)
    result->setText(tr("测试读卡器网络质量失败"));
  else
    result->setText(tr("当前平均延时为%1毫秒，最大%2毫秒，成功%3次，失败%4次")
                        .arg(average)
                        .arg(maximum)
                        .arg(successes)
                        .arg(failures));
}

}  // namespace brisk::app
