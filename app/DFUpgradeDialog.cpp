#include "app/DFUpgradeDialog.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include "app/Prompt.h"
#include "app/core/UpgradeRun.h"

namespace brisk::app {
namespace {

// The dialog's text width, in average characters of its font: its longest fixed text on a line.
constexpr int kTextWidthChars = 56;

// The cause of a failed operation, for the person at the reader.
QString Cause(const dfu::DfuFailure& failure) {
  using dfu::FailureKind;
  if (failure.code == MXUPDPRT_ERR_UNPLUGGED) return DFUpgradeDialog::tr("读卡器连接已断开");
  if (failure.code == MXUPDPRT_ERR_TIMEOUT) return DFUpgradeDialog::tr("读卡器无响应");
  if (failure.code == MXUPDPRT_ERR_UNSUPPORTED)
    return DFUpgradeDialog::tr("读卡器固件不支持该操作");
  if (failure.code == MXUPDFILES_ERR_OUTSIDE)
    return DFUpgradeDialog::tr("升级文件超出读卡器存储范围");
  if (failure.kind == FailureKind::ReadProtected)
    return DFUpgradeDialog::tr("读卡器处于读保护状态");
  if (failure.kind == FailureKind::WriteProtected) return DFUpgradeDialog::tr("读卡器存储区写保护");
  if (failure.kind == FailureKind::VerifyMismatch)
    return DFUpgradeDialog::tr("读回数据与升级文件不一致");
  if (failure.code)
    return DFUpgradeDialog::tr("错误码 0x") + QString::asprintf("%08X", failure.code);
  return DFUpgradeDialog::tr("未知错误");
}

}  // namespace

DFUpgradeDialog::DFUpgradeDialog(Prompt& prompt, UpgradeRun* run)
    : QDialog(nullptr), m_prompt(prompt) {
  setWindowTitle(tr("DFU升级"));
  setObjectName(QStringLiteral("upgradeDialog"));
  setModal(true);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  auto* layout = new QVBoxLayout(this);
  auto* warning = new QLabel(tr("在程序升级成功或失败前，请勿关闭本对话框！"), this);
  warning->setObjectName(QStringLiteral("warningText"));
  warning->setWordWrap(true);
  m_Status = new QLabel(this);
  m_Status->setObjectName(QStringLiteral("statusText"));
  m_Status->setWordWrap(true);  // a failure names its cause and what to do
  m_Progress = new QProgressBar(this);
  m_Progress->setObjectName(QStringLiteral("progressBar"));
  m_Progress->setRange(0, 100);
  m_Progress->setValue(0);
  m_Progress->setFormat(QString());
  m_Progress->setAlignment(Qt::AlignCenter);
  m_sizeLabel = new QLabel(this);
  m_sizeLabel->setObjectName(QStringLiteral("sizeText"));
  m_sizeLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_sizeLabel->setWordWrap(true);
  // Two lines each for the texts that change, so that the dialog keeps its size as they do.
  const int line = fontMetrics().lineSpacing();
  for (QLabel* text : {m_Status, m_sizeLabel}) text->setMinimumHeight(2 * line);
  layout->addWidget(warning);
  layout->addWidget(m_Status);
  layout->addWidget(m_Progress);
  layout->addWidget(m_sizeLabel);
  warning->setMinimumWidth(kTextWidthChars * fontMetrics().averageCharWidth());
  layout->setSizeConstraint(QLayout::SetFixedSize);

  if (!run) {
    m_ownRun = std::make_unique<UpgradeRun>();
    run = m_ownRun.get();
  }
  m_run = run;
  connect(run, &UpgradeRun::statusChanged, this, &DFUpgradeDialog::SetStatus);
  connect(run, &UpgradeRun::progressChanged, this, &DFUpgradeDialog::SetProgress);
  connect(run, &UpgradeRun::progressTextChanged, m_Progress, &QProgressBar::setFormat);
  connect(run, &UpgradeRun::sizeTextChanged, this,
          [this](const QString& text) { SetSizeText(text.toStdString()); });
  connect(run, &UpgradeRun::messageShown, this,
          [this](const QString& text) { m_prompt.Message(this, text); });
  connect(run, &UpgradeRun::failureShown, this, &DFUpgradeDialog::ShowFailure);
}

DFUpgradeDialog::~DFUpgradeDialog() {
  m_run->disconnect(this);
  m_run->Stop();
}

void DFUpgradeDialog::StartUpgrade(const std::string& path) { m_run->StartUpgrade(path); }
void DFUpgradeDialog::SetHasDFUDevice(int value) { m_run->SetHasDFUDevice(value); }
int DFUpgradeDialog::FindDfuDevices() { return m_run->FindDfuDevices(); }
bool DFUpgradeDialog::TimerPending(int id) const { return m_run->Pause() == id; }

void DFUpgradeDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  m_run->Begin();
}

void DFUpgradeDialog::keyPressEvent(QKeyEvent* event) {
  // Escape and Enter close it, as the standard dialog keys do.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void DFUpgradeDialog::done(int result) {
  // Closing mid-way stops the operation in the background; the reader is left in DFU mode,
  // where the start-up check finds it again.
  m_run->Stop();
  QDialog::done(result);
}

QString DFUpgradeDialog::StatusText() const { return m_Status->text(); }
QString DFUpgradeDialog::SizeText() const { return m_sizeLabel->text(); }
QString DFUpgradeDialog::ProgressText() const { return m_Progress->format(); }
int DFUpgradeDialog::Progress() const { return m_Progress->value(); }

void DFUpgradeDialog::SetStatus(dfu::Status status) {
  ShowStatus(QCoreApplication::translate("DfuUpgradeEngine", dfu::TextOf(status).chinese));
}

void DFUpgradeDialog::ShowStatus(const QString& text) {
  m_Status->setText(text);
  emit statusChanged(text);
}

void DFUpgradeDialog::SetProgress(int percent) { m_Progress->setValue(percent); }

void DFUpgradeDialog::SetProgressText(const std::string& text) {
  m_Progress->setFormat(QString::fromStdString(text));
}

void DFUpgradeDialog::SetSizeText(const std::string& text) {
  const QString t = QString::fromStdString(text);
  m_sizeLabel->setText(t);
  emit sizeTextChanged(t);
}

void DFUpgradeDialog::ShowMessage(const std::string& text) {
  m_prompt.Message(this, QString::fromStdString(text));
}

void DFUpgradeDialog::ShowFailure(const dfu::DfuFailure& failure) {
  // Steps that fail before an operation keep their own texts.
  if (failure.operation < 0) return;
  QString status;
  if (failure.operation == OPERATION_LEAVE)
    status = tr("升级完成，但重启读卡器失败（%1），请重新插拔读卡器");
  else if (failure.operation == OPERATION_UPLOAD)
    status = tr("校验失败（%1），请重新插拔读卡器后重试升级");
  else
    status = tr("升级失败（%1），请重新插拔读卡器后重试升级");
  ShowStatus(status.arg(Cause(failure)));
  SetSizeText(failure.reason);
}

}  // namespace brisk::app
