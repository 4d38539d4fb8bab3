#include "app/DFUpgradeDialog.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QVBoxLayout>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Prompt.h"

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

// The engine and the worker its sequence runs on. What the engine shows is handed to the
// dialog on its own thread through relay, which outlives the dialog; once the dialog has
// closed it goes nowhere, and the next pause ends the sequence. Destroyed on the dialog's
// thread after the worker has ended.
struct DfuSession : dfu::DfuView, dfu::StepPacer {
  explicit DfuSession(DFUpgradeDialog* owner)
      : dialog(owner), ui(std::this_thread::get_id()), engine(*this) {}
  ~DfuSession() override {
    Stop();
    if (worker.joinable()) worker.join();
  }

  void Start() {
    worker = std::thread([this] {
      engine.Run(*this);
      ToDialog([](DFUpgradeDialog&) {});  // no step pending any more
      // Stops a running operation and releases the map and the images.
      engine.Close();
      finished = true;
    });
  }
  void Stop() {
    {
      std::lock_guard guard(lock);
      stopping = true;
    }
    wake.notify_all();
  }

  // On the dialog's thread at once (before it is shown, no worker runs), else later, together
  // with the step the sequence is at (0 once it has ended), so that the dialog never shows the
  // end of the sequence with a step still pending.
  void ToDialog(std::function<void(DFUpgradeDialog&)> call) {
    if (std::this_thread::get_id() == ui) {
      if (dialog) call(*dialog);
      return;
    }
    const int at = engine.Outcome() == dfu::DfuOutcome::Running ? step : 0;
    QMetaObject::invokeMethod(
        &relay,
        [this, at, call = std::move(call)] {
          if (!dialog) return;
          dialog->SetPause(at);
          call(*dialog);
        },
        Qt::QueuedConnection);
  }

  bool Before(dfu::Step next, int periodMs) override {
    step = int(next);
    ToDialog([](DFUpgradeDialog&) {});
    std::unique_lock guard(lock);
    return !wake.wait_for(guard, std::chrono::milliseconds(periodMs), [this] { return stopping; });
  }
  void SetStatus(dfu::Status status) override {
    ToDialog([status](DFUpgradeDialog& d) { d.SetStatus(status); });
  }
  void SetProgress(int percent) override {
    ToDialog([percent](DFUpgradeDialog& d) { d.SetProgress(percent); });
  }
  void SetProgressText(const std::string& text) override {
    ToDialog([text](DFUpgradeDialog& d) { d.SetProgressText(text); });
  }
  void SetSizeText(const std::string& text) override {
    ToDialog([text](DFUpgradeDialog& d) { d.SetSizeText(text); });
  }
  void ShowFailure(const dfu::DfuFailure& failure) override {
    ToDialog([failure](DFUpgradeDialog& d) { d.ShowFailure(failure); });
  }
  // Waits until the message was dismissed, or the dialog closed.
  void ShowMessage(const std::string& text) override {
    auto shown = std::make_shared<std::promise<void>>();
    std::future<void> dismissed = shown->get_future();
    ToDialog([text, shown](DFUpgradeDialog& d) {
      d.ShowMessage(text);
      shown->set_value();
    });
    while (dismissed.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      std::lock_guard guard(lock);
      if (stopping) return;
    }
  }

  QObject relay;                     // on the dialog's thread
  QPointer<DFUpgradeDialog> dialog;  // read and written on the dialog's thread only
  const std::thread::id ui;
  dfu::DfuUpgradeEngine engine;
  std::atomic<bool> finished{false};

 private:
  int step = 0;  // on the worker: the step the sequence is at
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
  std::thread worker;
};

namespace {

// Sessions whose dialog has closed while their last steps still run; the ones that ended are
// let go at the next close, the rest when the program ends (after their steps have ended).
std::vector<std::shared_ptr<DfuSession>>& Closing() {
  static std::vector<std::shared_ptr<DfuSession>> sessions;
  return sessions;
}

}  // namespace

DFUpgradeDialog::DFUpgradeDialog(Prompt& prompt) : QDialog(nullptr), m_prompt(prompt) {
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

  m_session = std::make_shared<DfuSession>(this);
}

DFUpgradeDialog::~DFUpgradeDialog() { Release(); }

void DFUpgradeDialog::Release() {
  if (!m_session) return;
  m_pause = 0;
  m_session->dialog = nullptr;
  m_session->Stop();
  auto& closing = Closing();
  std::erase_if(closing, [](const auto& s) { return s->finished.load(); });
  // Never started: nothing runs, it goes at once.
  if (m_started) closing.push_back(std::move(m_session));
  m_session.reset();
}

void DFUpgradeDialog::StartUpgrade(const std::string& path) {
  m_session->engine.StartUpgrade(path);
}
void DFUpgradeDialog::SetHasDFUDevice(int value) { m_session->engine.SetHasDFUDevice(value); }
int DFUpgradeDialog::FindDfuDevices() { return m_session->engine.FindDfuDevices(); }

void DFUpgradeDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (m_started || !m_session) return;
  m_started = true;
  // The first text and pause are set here, on the dialog's thread, before the worker starts.
  m_session->engine.OnInitDialog();
  m_pause = int(dfu::Step::CheckFile);
  m_session->Start();
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
  Release();
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
