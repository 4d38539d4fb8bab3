#include "app/AboutDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brisk::app {

const char* ProductVersion() { return BRISK_PRODUCT_VERSION; }

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("关于"));
  auto* layout = new QVBoxLayout(this);
  auto centred = [this, layout](const QString& text, const char* name) {
    auto* label = new QLabel(text, this);
    label->setAlignment(Qt::AlignCenter);
    if (name) label->setObjectName(name);
    layout->addWidget(label);
    return label;
  };
  // Wide enough for a title bar's buttons; the texts and the font set the rest.
  centred(tr("BriskNetService 读卡服务"), "productNameText")
      ->setMinimumWidth(24 * fontMetrics().averageCharWidth());
  centred(QString::fromLatin1(ProductVersion()), "versionText");
  centred(QStringLiteral("Copyright (C) 2026 Brisk"), "copyrightText");
  auto* ok = new QPushButton(tr("确定"), this);
  ok->setObjectName(QStringLiteral("okButton"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(ok, 0, Qt::AlignCenter);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace brisk::app
