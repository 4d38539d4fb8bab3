#include "app/panels/HeartbeatPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/panels/Named.h"

namespace brisk::app {

HeartbeatPanel::HeartbeatPanel(QWidget* parent) : QGroupBox(tr("服务器心跳"), parent) {
  auto* layout = new QGridLayout(this);
  auto* digits =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
  const auto row = [&](int r, const QString& caption, int editId, int spinId) {
    Row made;
    made.edit = Named(editId, new QLineEdit(this));
    made.edit->setValidator(digits);
    made.edit->setMaxLength(8);
    auto* spin = Named(spinId, new QWidget(this));
    auto* spinLayout = new QVBoxLayout(spin);
    spinLayout->setContentsMargins(0, 0, 0, 0);
    spinLayout->setSpacing(0);
    made.up = new QToolButton(spin);
    made.up->setArrowType(Qt::UpArrow);
    made.up->setObjectName(spin->objectName() + QStringLiteral("Up"));
    made.down = new QToolButton(spin);
    made.down->setArrowType(Qt::DownArrow);
    made.down->setObjectName(spin->objectName() + QStringLiteral("Down"));
    // The two arrows together about as tall as the edit beside them, at any font size.
    const int line = fontMetrics().height();
    for (QToolButton* b : {made.up, made.down}) {
      b->setIconSize(QSize(line * 2 / 3, line / 3));
      spinLayout->addWidget(b);
    }
    layout->addWidget(new QLabel(caption, this), r, 0);
    layout->addWidget(made.edit, r, 1);
    layout->addWidget(spin, r, 2);
    layout->addWidget(new QLabel(tr("秒"), this), r, 3);
    return made;
  };
  usb = row(0, tr("USB心跳间隔："), 1048, 1049);
  cat1 = row(1, tr("CAT1心跳间隔："), 1052, 1053);
  query = Named(1050, new QPushButton(tr("查询"), this));
  change = Named(1051, new QPushButton(tr("修改"), this));
  layout->addWidget(query, 2, 1);
  layout->addWidget(change, 2, 2, 1, 2);
}

}  // namespace brisk::app
