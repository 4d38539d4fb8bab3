// The controller's side of a firmware upgrade: a package the reader asked for is ready, or a
// device already waits in DFU mode. The upgrade dialog itself is the view's; one at a time.
#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/core/CommandRunner.h"
#include "app/core/LinkController.h"
#include "app/core/Prompt.h"
#include "app/core/Texts.h"
#include "app/core/UpgradeRun.h"
#include "dfu/DfuUpgradeEngine.h"
#include "link/Brisk7Service.h"
#include "log/Log.h"
#include "platform/devices/DfuDevices.h"

namespace brisk::app {

namespace {

// The command thread's turn, lent to an upgrade's worker for its one request to the reader.
class CommandTurn {
 public:
  // On the command thread: the turn has come; waits until it is given back.
  void Hold() {
    std::unique_lock guard(m_lock);
    m_held = true;
    m_changed.notify_all();
    m_changed.wait(guard, [this] { return m_released; });
  }
  // On the worker: waits for the turn; false when it never comes (a stop dropped the job).
  bool Take() {
    std::unique_lock guard(m_lock);
    m_changed.wait(guard, [this] { return m_held || m_released; });
    return !m_released;
  }
  void Release() {
    std::lock_guard guard(m_lock);
    m_released = true;
    m_changed.notify_all();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_held = false;
  bool m_released = false;
};

// Gives the turn back when the last copy of what carries it goes: a job dropped before it ran,
// a request never sent (the package did not fit), or the request's end.
struct TurnTicket {
  explicit TurnTicket(std::shared_ptr<CommandTurn> t) : turn(std::move(t)) {}
  ~TurnTicket() { turn->Release(); }
  std::shared_ptr<CommandTurn> turn;
};

// A device in DFU mode of either interface class is attached.
bool DfuDevicePresent() {
  for (int cls = 1; cls <= 2; ++cls)
    if (!platform::devices::EnumerateDfuInterfaces(cls).empty()) return true;
  return false;
}
}  // namespace

void LinkController::OnUpgradeFileDownloadFinished(const std::string& path) {
  WriteLog("OnUpgradeFileDownloadFinished %s", path.c_str());
  if (Ending()) {
    WriteLog("exiting: %s left in the cache", path.c_str());
    return;
  }
  // One upgrade at a time: two dialogs would drive the same device. The guard holds from the
  // question on, not only while a dialog runs.
  if (m_upgradeBusy) {
    WriteLog("an upgrade is running, %s left in the cache", path.c_str());
    return;
  }
  m_upgradeBusy = true;
  SetUpgradeState("entering-dfu", 0);
  UpgradeRun* run = NewUpgradeRun(path);
  const int generation = m_generation;
  // Commands are one at a time: the command thread waits in a job of its own while the run's
  // worker sends the request, and a stop that goes ahead of that job or cuts it short reaches
  // the request as it reaches any command.
  auto turn = std::make_shared<CommandTurn>();
  auto lent = std::make_shared<TurnTicket>(turn);
  m_runner->Run([lent] { lent->turn->Hold(); }, [] {});
  lent.reset();
  auto back = std::make_shared<TurnTicket>(turn);
  // The package is read and compared on the worker before the reader is told to restart in
  // its boot loader: a package for another product would leave it there with the link down.
  run->Prepare(
      [service = m_service.get(), back] {
        if (!back->turn->Take()) return -1;
        const int answer = service->AskDfuMode();
        back->turn->Release();
        return answer;
      },
      [this, run, generation](int answer) {
        if (answer == UpgradeRun::kPackageUnfit) {
          DropUpgradeRun(run);
          UpgradeFailed(QStringLiteral("the package is not for this reader"));
          Message(Text("升级文件与当前设备不匹配"));
          return;
        }
        // A stop cut the request short: the reader may be restarting in DFU mode all the
        // same, so the device check looks for it instead of a failure being shown.
        if (generation != m_generation || Ending()) {
          WriteLog("enter DFU mode overtaken by a stop: looking for a device in DFU mode");
          DropUpgradeRun(run);
          UpgradeFailed(QStringLiteral("the request to enter DFU mode was cut short by a stop"));
          if (!Ending()) SetTimer(TIMER_DFU_CHECK, 2000);
          return;
        }
        if (answer == 0) {
          RunUpgrade(run);
          return;
        }
        DropUpgradeRun(run);
        UpgradeFailed(
            QStringLiteral("the reader did not acknowledge the request to enter DFU mode"));
        Message(QStringLiteral("Notify Device Enter DFU Mode failed"));
      });
}

void LinkController::CheckPendingDfuDevice() {
  if (m_upgradeBusy || Ending()) return;
  if (!DfuDevicePresent()) return;
  m_upgradeBusy = true;
  emit showRequested(QString());
  if (m_prompt.AskYesNo(m_promptParent, Text("提示"), PendingDfuQuestion()) && !Ending()) {
    RunUpgrade(NewUpgradeRun(""));
    return;
  }
  m_upgradeBusy = false;
}

void LinkController::SetUpgradeState(const char* state, int progress) {
  m_state.upgradeState = QString::fromLatin1(state);
  m_state.upgradeProgress = static_cast<uint32_t>(progress);
  emit stateChanged();
}

void LinkController::WatchDownloads() {
  // Only a download for a DFU flash is the upgrade's first step; the reader flashes the rest.
  m_service->SetDownloadActivityCallback([this](int32_t state, bool forDfu) {
    if (!forDfu) return;
    QMetaObject::invokeMethod(
        this, [this, state] { OnDownloadActivity(state); }, Qt::QueuedConnection);
  });
}

void LinkController::OnDownloadActivity(int state) {
  if (state == download::DOWNLOAD_RUNNING) {
    if (!m_upgradeBusy) SetUpgradeState("downloading", 0);
  } else if (m_state.upgradeState == QLatin1String("downloading")) {
    UpgradeFailed(state == download::DOWNLOAD_BAD_DIGEST
                      ? QStringLiteral("the package's digest did not match")
                      : QStringLiteral("the package could not be downloaded"));
  }
}

void LinkController::UpgradeFailed(const QString& cause) {
  SetUpgradeState("failed", 0);
  emit upgradeFinished(false, cause);
}

UpgradeRun* LinkController::NewUpgradeRun(const std::string& path) {
  auto* run = new UpgradeRun(this);
  m_upgrade = run;
  run->SetHasDFUDevice(1);
  run->StartUpgrade(path);
  connect(run, &UpgradeRun::stateChanged, this,
          [this, run] { SetUpgradeState(run->StateName(), run->Progress()); });
  return run;
}

void LinkController::DropUpgradeRun(UpgradeRun* run) {
  if (m_upgrade == run) m_upgrade = nullptr;
  m_upgradeBusy = false;
  run->Stop();
  run->deleteLater();
}

void LinkController::RunUpgrade(UpgradeRun* run) {
  m_upgradeBusy = true;
  // A view shows the engine's messages itself; without one they are the program's notices.
  const bool viewed = static_cast<bool>(m_upgradeRunner);
  connect(run, &UpgradeRun::messageShown, this, [this, viewed](const QString& text) {
    if (viewed)
      emit notice(text);
    else
      Message(text);
  });
  connect(run, &UpgradeRun::finished, this, [this, run, viewed](bool ok, const QString& cause) {
    emit upgradeFinished(ok, cause);
    if (viewed) return;  // its view still shows it: it goes once the view has closed
    DropUpgradeRun(run);
  });
  SetUpgradeState("entering-dfu", 0);
  if (!viewed) {
    run->Begin();
    return;
  }
  emit showRequested(QString());
  m_upgradeRunner(*run);
  // The view has closed, and with it the run.
  run->Stop();
  if (m_upgrade == run) m_upgrade = nullptr;
  m_upgradeBusy = false;
  delete run;
}

}  // namespace brisk::app
