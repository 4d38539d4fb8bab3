#include "app/core/UpgradeRun.h"

#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "log/Log.h"

namespace brisk::app {

// The engine and the worker its sequence runs on. What the engine shows is handed to the run on
// its own thread through relay, which outlives the run; once the run has stopped it goes
// nowhere, and the next pause ends the sequence. Destroyed on the run's thread after the worker
// has ended.
struct DfuSession : dfu::DfuView, dfu::StepPacer {
  explicit DfuSession(UpgradeRun* owner)
      : run(owner), ui(std::this_thread::get_id()), engine(*this) {}
  ~DfuSession() override {
    Stop();
    if (worker.joinable()) worker.join();
  }

  // Jobs run in order on the worker, which starts with the first and ends once stopped.
  void Post(std::function<void()> job) {
    {
      std::lock_guard guard(lock);
      jobs.push_back(std::move(job));
    }
    wake.notify_all();
    if (!worker.joinable()) worker = std::thread([this] { Loop(); });
  }
  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock guard(lock);
        wake.wait(guard, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty()) break;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      job();
    }
    finished = true;
  }
  // The sequence from first; with the package read and checked already, the check's pause and
  // text come first, as when the engine checks it itself.
  void RunSequence(bool prepared) {
    dfu::DfuOutcome outcome = dfu::DfuOutcome::Paused;
    if (!prepared) {
      outcome = engine.Run(*this);
    } else if (Before(dfu::Step::CheckFile, dfu::kStepPeriodMs)) {
      SetStatus(dfu::Status::FileChecked);
      WriteLog("Check DFU file success, m_HasDFUDevice = %d", engine.m_HasDFUDevice);
      outcome = engine.Run(*this, dfu::Step::FindDevice);
    }
    const std::string cause = engine.Failure().reason;
    ToRun([outcome, cause](UpgradeRun& r) { r.End(outcome, cause); });
    // Stops a running operation and releases the map and the images.
    engine.Close();
  }
  void Stop() {
    {
      std::lock_guard guard(lock);
      stopping = true;
    }
    wake.notify_all();
  }

  // On the run's thread at once (before it has begun, no worker runs), else later, together
  // with the step the sequence is at (0 once it has ended), so that no view shows the end of
  // the sequence with a step still pending.
  void ToRun(std::function<void(UpgradeRun&)> call) {
    if (std::this_thread::get_id() == ui) {
      if (run) call(*run);
      return;
    }
    const int at = engine.Outcome() == dfu::DfuOutcome::Running ? step : 0;
    QMetaObject::invokeMethod(
        &relay,
        [this, at, call = std::move(call)] {
          if (!run) return;
          run->SetPause(at);
          call(*run);
        },
        Qt::QueuedConnection);
  }

  bool Before(dfu::Step next, int periodMs) override {
    step = int(next);
    ToRun([](UpgradeRun&) {});
    std::unique_lock guard(lock);
    return !wake.wait_for(guard, std::chrono::milliseconds(periodMs), [this] { return stopping; });
  }
  void SetStatus(dfu::Status status) override {
    ToRun([status](UpgradeRun& r) { r.ShowStatus(status); });
  }
  void SetProgress(int percent) override {
    ToRun([percent](UpgradeRun& r) { r.ShowProgress(percent); });
  }
  void SetProgressText(const std::string& text) override {
    ToRun([text](UpgradeRun& r) { r.ShowProgressText(text); });
  }
  void SetSizeText(const std::string& text) override {
    ToRun([text](UpgradeRun& r) { r.ShowSizeText(text); });
  }
  void ShowFailure(const dfu::DfuFailure& failure) override {
    ToRun([failure](UpgradeRun& r) { r.ShowFailure(failure); });
  }
  // Waits until the message was dismissed, or the run stopped.
  void ShowMessage(const std::string& text) override {
    auto shown = std::make_shared<std::promise<void>>();
    std::future<void> dismissed = shown->get_future();
    ToRun([text, shown](UpgradeRun& r) {
      r.ShowMessage(text);
      shown->set_value();
    });
    while (dismissed.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      std::lock_guard guard(lock);
      if (stopping) return;
    }
  }

  QObject relay;             // on the run's thread
  QPointer<UpgradeRun> run;  // read and written on the run's thread only
  const std::thread::id ui;
  dfu::DfuUpgradeEngine engine;
  std::atomic<bool> finished{false};

 private:
  int step = 0;  // on the worker: the step the sequence is at
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
  std::deque<std::function<void()>> jobs;
  std::thread worker;
};

namespace {

// Sessions whose run has stopped while their last steps still run; the ones that ended are let
// go at the next stop, the rest when the program ends (after their steps have ended).
std::vector<std::shared_ptr<DfuSession>>& Closing() {
  static std::vector<std::shared_ptr<DfuSession>> sessions;
  return sessions;
}

const char* StateOf(dfu::Status status, const char* current) {
  using dfu::Status;
  switch (status) {
    case Status::Starting:
    case Status::SearchingDevice:
    case Status::FileChecked:
    case Status::DeviceFound:
    case Status::SearchingPackage:
    case Status::PackageFound:
    case Status::DeviceOpened:
      return "entering-dfu";
    case Status::Upgrading:
    case Status::Written:
      return "flashing";
    case Status::Verifying:
      return "verifying";
    case Status::Verified:
    case Status::Done:
      return "leaving";
    default:
      // A failure's status: the end says failed.
      return current;
  }
}

}  // namespace

UpgradeRun::UpgradeRun(QObject* parent)
    : QObject(parent), m_session(std::make_shared<DfuSession>(this)) {}

UpgradeRun::~UpgradeRun() {
  // Not announced any more: whoever listened goes with it.
  blockSignals(true);
  Stop();
}

void UpgradeRun::StartUpgrade(const std::string& path) { m_session->engine.StartUpgrade(path); }
void UpgradeRun::SetHasDFUDevice(int value) { m_session->engine.SetHasDFUDevice(value); }
int UpgradeRun::FindDfuDevices() { return m_session->engine.FindDfuDevices(); }

void UpgradeRun::Prepare(std::function<int()> ask, std::function<void(int)> ready) {
  if (m_begun || m_prepared || !m_session) return;
  m_prepared = true;
  DfuSession* session = m_session.get();
  const std::string path = session->engine.m_DfuFilePath;
  session->Post([session, path, ask = std::move(ask), ready = std::move(ready)] {
    dfu::DfuUpgradeEngine& engine = session->engine;
    const bool fits = engine.LoadDfuFile(path) && engine.MatchReaderAndFile();
    const int answer = fits ? ask() : kPackageUnfit;
    session->ToRun([answer, ready](UpgradeRun&) { ready(answer); });
  });
}

void UpgradeRun::Begin() {
  if (m_begun || !m_session) return;
  m_begun = true;
  // The first text and pause are set here, on this thread, before the sequence's job runs
  // (the worker is idle meanwhile).
  m_session->engine.OnInitDialog();
  m_pause = int(dfu::Step::CheckFile);
  m_session->Post(
      [session = m_session.get(), prepared = m_prepared] { session->RunSequence(prepared); });
}

void UpgradeRun::Stop() {
  if (!m_session) return;
  m_pause = 0;
  m_session->run = nullptr;
  m_session->Stop();
  auto& closing = Closing();
  std::erase_if(closing, [](const auto& s) { return s->finished.load(); });
  // No worker started: nothing runs, it goes at once.
  if (m_begun || m_prepared) closing.push_back(std::move(m_session));
  m_session.reset();
  if (m_begun && !m_ended) End(dfu::DfuOutcome::Paused, "the upgrade was stopped before it ended");
}

void UpgradeRun::SetState(const char* name) {
  if (name == m_state) return;
  m_state = name;
  emit stateChanged();
}

void UpgradeRun::ShowStatus(dfu::Status status) {
  m_status = status;
  emit statusChanged(status);
  SetState(StateOf(status, m_state));
}

void UpgradeRun::ShowProgress(int percent) {
  m_progress = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  emit progressChanged(percent);
  emit stateChanged();
}

void UpgradeRun::ShowProgressText(const std::string& text) {
  emit progressTextChanged(QString::fromStdString(text));
}

void UpgradeRun::ShowSizeText(const std::string& text) {
  emit sizeTextChanged(QString::fromStdString(text));
}

void UpgradeRun::ShowMessage(const std::string& text) {
  emit messageShown(QString::fromStdString(text));
}

void UpgradeRun::ShowFailure(const dfu::DfuFailure& failure) { emit failureShown(failure); }

void UpgradeRun::End(dfu::DfuOutcome outcome, const std::string& cause) {
  if (m_ended) return;
  m_ended = true;
  const bool ok = outcome == dfu::DfuOutcome::Finished;
  WriteLog("upgrade %s%s%s", ok ? "done" : "failed", cause.empty() ? "" : ": ", cause.c_str());
  SetState(ok ? "done" : "failed");
  emit finished(ok, ok ? QString() : QString::fromStdString(cause));
}

}  // namespace brisk::app
