#include "app/panels/HeartbeatPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

namespace brisk::app {

namespace {
constexpr int kMin = 60;
constexpr int kMax = 600;
}  // namespace

HeartbeatPanel::HeartbeatPanel(QWidget* parent) : QGroupBox(tr("服务器心跳"), parent) {
  auto* layout = new QGridLayout(this);
  auto* digits =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
  const auto row = [&](int r, const QString& caption, const QString& editName,
                       const QString& spinName, bool usbRow) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(editName);
    edit->setValidator(digits);
    edit->setMaxLength(8);
    auto* spin = new QWidget(this);
    spin->setObjectName(spinName);
    auto* spinLayout = new QVBoxLayout(spin);
    spinLayout->setContentsMargins(0, 0, 0, 0);
    spinLayout->setSpacing(0);
    // The two arrows together about as tall as the edit beside them, at any font size.
    const int line = fontMetrics().height();
    for (bool up : {true, false}) {
      auto* b = new QToolButton(spin);
      b->setArrowType(up ? Qt::UpArrow : Qt::DownArrow);
      b->setObjectName(spinName + (up ? QStringLiteral("Up") : QStringLiteral("Down")));
      b->setIconSize(QSize(line * 2 / 3, line / 3));
      spinLayout->addWidget(b);
      connect(b, &QToolButton::clicked, this,
              [this, usbRow, up] { emit stepRequested(usbRow, up); });
    }
    layout->addWidget(new QLabel(caption, this), r, 0);
    layout->addWidget(edit, r, 1);
    layout->addWidget(spin, r, 2);
    layout->addWidget(new QLabel(tr("秒"), this), r, 3);
    return edit;
  };
  m_usb = row(0, tr("USB心跳间隔："), QStringLiteral("usbHeartbeatEdit"),
              QStringLiteral("usbHeartbeatSpin"), true);
  m_cat1 = row(1, tr("CAT1心跳间隔："), QStringLiteral("cat1HeartbeatEdit"),
               QStringLiteral("cat1HeartbeatSpin"), false);
  m_query = new QPushButton(tr("查询"), this);
  m_query->setObjectName(QStringLiteral("heartbeatQueryButton"));
  m_change = new QPushButton(tr("修改"), this);
  m_change->setObjectName(QStringLiteral("heartbeatChangeButton"));
  layout->addWidget(m_query, 2, 1);
  layout->addWidget(m_change, 2, 2, 1, 2);
  connect(m_query, &QPushButton::clicked, this, &HeartbeatPanel::queryRequested);
  connect(m_change, &QPushButton::clicked, this, &HeartbeatPanel::changeRequested);
}

void HeartbeatPanel::ShowValues(int usb, int cat1) {
  m_usb->setText(QString::number(usb));
  m_cat1->setText(QString::number(cat1));
}

bool HeartbeatPanel::Values(int* usb, int* cat1) {
  for (auto [edit, field] : {std::pair{m_usb, usb}, std::pair{m_cat1, cat1}}) {
    bool ok = false;
    const int value = edit->text().trimmed().toInt(&ok);
    if (!ok || value < kMin || value > kMax) {
      edit->setFocus();
      return false;
    }
    *field = value;
  }
  return true;
}

void HeartbeatPanel::Step(bool usbRow, bool up) {
  QLineEdit* edit = usbRow ? m_usb : m_cat1;
  int value = edit->text().trimmed().toInt();
  if (up) {
    if (value < kMax) ++value;
  } else if (value > kMin) {
    --value;
  }
  edit->setText(QString::number(value));
}

void HeartbeatPanel::ShowFree(bool free) {
  m_query->setEnabled(free);
  m_change->setEnabled(free);
}

}  // namespace brisk::app
