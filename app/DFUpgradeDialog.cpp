#include "app/DFUpgradeDialog.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "app/ControlIds.h"
#include "app/Prompt.h"

namespace brisk::app {
namespace {

// The dialog's text width, in average characters of its font: its longest fixed text on a line.
constexpr int kTextWidthChars = 56;

// The engine's status lines, as it writes them: translated when they are shown.
constexpr const char* kEngineContext = "DfuUpgradeEngine";
[[maybe_unused]] constexpr const char* kEngineStatusTexts[] = {
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "DFU设备打开失败"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "DFU设备打开成功，开始升级"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级完成，但重启读卡器失败"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine",
                      "升级完成，请关闭此对话框。如未能成功打开端口，请重新插拔读卡器"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级成功"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级文件与当前设备不匹配，无法升级"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级文件校验失败"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级文件校验成功，正在查找DFU设备"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "启动升级失败"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "开始升级读卡器，请等待升级完成"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "找到DFU设备，正在打开"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "找到匹配的升级包,开始升级"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "未找到匹配的升级包"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "校验成功"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "正在升级，请保持读卡器连接"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "正在查找DFU设备"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "正在查找匹配的升级包"),
    QT_TRANSLATE_NOOP("DfuUpgradeEngine", "正在校验升级，请稍后"),
};

QString Name(int id) { return QString::fromLatin1(ControlObjectName(kUpgradeControls, id)); }

// The cause of a failed operation, for the person at the reader.
QString Cause(const dfu::DfuFailure& failure) {
  const std::string& why = failure.reason;
  if (failure.code == MXUPDPRT_ERR_UNPLUGGED) return DFUpgradeDialog::tr("读卡器连接已断开");
  if (failure.code == MXUPDPRT_ERR_TIMEOUT) return DFUpgradeDialog::tr("读卡器无响应");
  if (failure.code == MXUPDPRT_ERR_UNSUPPORTED)
    return DFUpgradeDialog::tr("读卡器固件不支持该操作");
  if (failure.code == MXUPDFILES_ERR_OUTSIDE)
    return DFUpgradeDialog::tr("升级文件超出读卡器存储范围");
  if (why.find("read-protected") != std::string::npos)
    return DFUpgradeDialog::tr("读卡器处于读保护状态");
  if (why.find("write-protected") != std::string::npos)
    return DFUpgradeDialog::tr("读卡器存储区写保护");
  if (failure.operation == OPERATION_UPLOAD && failure.code == 0)
    return DFUpgradeDialog::tr("读回数据与升级文件不一致");
  if (failure.code)
    return DFUpgradeDialog::tr("错误码 0x") + QString::asprintf("%08X", failure.code);
  return DFUpgradeDialog::tr("未知错误");
}

}  // namespace

// The engine and the thread its steps run on, one step at a time in the order they were
// started. The engine's view and timer calls made on that thread are handed to the dialog on
// its own thread, through relay, which outlives the dialog; once the dialog has closed they go
// nowhere. Destroyed on the dialog's thread after the step thread has ended.
struct DfuStepCore : dfu::DfuView, dfu::TimerScheduler {
  explicit DfuStepCore(DFUpgradeDialog* owner) : dialog(owner), ui(std::this_thread::get_id()) {
    engine = std::make_unique<dfu::DfuUpgradeEngine>(*this, *this);
    thread = std::thread([this] { Run(); });
  }
  ~DfuStepCore() override {
    End();
    thread.join();
    engine.reset();
  }

  void Post(std::function<void()> task) {
    {
      std::lock_guard guard(lock);
      tasks.push_back(std::move(task));
    }
    wake.notify_one();
  }
  // No step after those posted: the thread ends once they ran.
  void End() {
    {
      std::lock_guard guard(lock);
      ending = true;
    }
    wake.notify_one();
  }
  bool Finished() {
    std::lock_guard guard(lock);
    return finished;
  }

  // On the dialog's thread at once (before it is shown, the steps' thread is idle), else later.
  void ToDialog(std::function<void(DFUpgradeDialog&)> call) {
    if (std::this_thread::get_id() == ui) {
      if (dialog) call(*dialog);
      return;
    }
    QMetaObject::invokeMethod(
        &relay,
        [this, call = std::move(call)] {
          if (dialog) call(*dialog);
        },
        Qt::QueuedConnection);
  }

  void SetStatus(const std::string& text) override {
    ToDialog([text](DFUpgradeDialog& d) { d.SetStatus(text); });
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
    if (std::this_thread::get_id() == ui) {
      if (dialog) dialog->ShowMessage(text);
      return;
    }
    auto shown = std::make_shared<std::promise<void>>();
    std::future<void> dismissed = shown->get_future();
    QMetaObject::invokeMethod(
        &relay,
        [this, text, shown] {
          if (dialog) dialog->ShowMessage(text);
          shown->set_value();
        },
        Qt::QueuedConnection);
    while (dismissed.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
      if (closed) return;
  }
  void StartTimer(int id, int periodMs) override {
    ToDialog([id, periodMs](DFUpgradeDialog& d) { d.StartTimer(id, periodMs); });
  }
  void StopTimer(int id) override {
    ToDialog([id](DFUpgradeDialog& d) { d.StopTimer(id); });
  }

  std::unique_ptr<dfu::DfuUpgradeEngine> engine;
  QObject relay;                     // on the dialog's thread
  QPointer<DFUpgradeDialog> dialog;  // read and written on the dialog's thread only
  const std::thread::id ui;
  std::atomic<bool> closed{false};

 private:
  void Run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock guard(lock);
        wake.wait(guard, [this] { return !tasks.empty() || ending; });
        if (tasks.empty()) {
          finished = true;
          return;
        }
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
    }
  }

  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  bool ending = false;
  bool finished = false;
  std::thread thread;
};

namespace {

// Cores whose dialog has closed while their last steps still run; the ones that ended are let
// go at the next close, the rest when the program ends (after their steps have ended).
std::vector<std::shared_ptr<DfuStepCore>>& Closing() {
  static std::vector<std::shared_ptr<DfuStepCore>> cores;
  return cores;
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
  warning->setObjectName(Name(1045));
  warning->setWordWrap(true);
  m_Status = new QLabel(this);
  m_Status->setObjectName(Name(1044));
  m_Status->setWordWrap(true);  // a failure names its cause and what to do
  m_Progress = new QProgressBar(this);
  m_Progress->setObjectName(Name(1043));
  m_Progress->setRange(0, 100);
  m_Progress->setValue(0);
  m_Progress->setFormat(QString());
  m_Progress->setAlignment(Qt::AlignCenter);
  m_sizeLabel = new QLabel(this);
  m_sizeLabel->setObjectName(Name(1046));
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

  for (int id = dfu::TIMER_CHECK_FILE; id <= dfu::TIMER_FINISH; ++id) {
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, id] {
      if (m_closed) return;
      DfuStepCore* core = m_core.get();
      core->Post([core, id] { core->engine->OnTimer(id); });
    });
    m_timers[id] = timer;
  }
  m_core = std::make_shared<DfuStepCore>(this);
}

DFUpgradeDialog::~DFUpgradeDialog() { Release(); }

void DFUpgradeDialog::Release() {
  if (!m_core) return;
  m_closed = true;
  for (auto& [id, timer] : m_timers) timer->stop();
  m_core->closed = true;
  m_core->dialog = nullptr;
  // Stops a running operation and releases the map and the images, after the step in hand.
  DfuStepCore* core = m_core.get();
  core->Post([core] { core->engine->Close(); });
  core->End();
  auto& closing = Closing();
  std::erase_if(closing, [](const auto& c) { return c->Finished(); });
  closing.push_back(std::move(m_core));
}

void DFUpgradeDialog::StartUpgrade(const std::string& path) { m_core->engine->StartUpgrade(path); }
void DFUpgradeDialog::SetHasDFUDevice(int value) { m_core->engine->SetHasDFUDevice(value); }
int DFUpgradeDialog::FindDfuDevices() { return m_core->engine->FindDfuDevices(); }

void DFUpgradeDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (m_started || !m_core) return;
  m_started = true;
  // No step runs yet: the first text and timer are set here, on the dialog's thread.
  m_core->engine->OnInitDialog();
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
bool DFUpgradeDialog::TimerPending(int id) const {
  const auto it = m_timers.find(id);
  return it != m_timers.end() && it->second->isActive();
}

void DFUpgradeDialog::SetStatus(const std::string& text) {
  const QString t = QCoreApplication::translate(kEngineContext, text.c_str());
  m_Status->setText(t);
  emit statusChanged(t);
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
  SetStatus(status.arg(Cause(failure)).toStdString());
  SetSizeText(failure.reason);
}

void DFUpgradeDialog::StartTimer(int id, int periodMs) {
  const auto it = m_timers.find(id);
  if (it != m_timers.end()) it->second->start(periodMs);
}

void DFUpgradeDialog::StopTimer(int id) {
  const auto it = m_timers.find(id);
  if (it != m_timers.end()) it->second->stop();
}

}  // namespace brisk::app
