// The controller's side of a firmware upgrade: a package the reader asked for is ready, or a
// device already waits in DFU mode. The upgrade dialog itself is the view's; one at a time.
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
  // Compared before the reader is told to restart in its boot loader: a package for another
  // product would leave it there with the link down.
  if (!dfu::DfuUpgradeEngine::PackageFitsReader(path)) {
    UpgradeFailed(QStringLiteral("the package is not for this reader"));
    Message(Text("升级文件与当前设备不匹配"));
    return;
  }
  m_upgradeBusy = true;
  SetUpgradeState("entering-dfu", 0);
  const int generation = m_generation;
  // A stop cut the request short: the reader may be restarting in DFU mode all the same, so
  // the device check looks for it instead of a failure being shown.
  const auto overtaken = [this] {
    WriteLog("enter DFU mode overtaken by a stop: looking for a device in DFU mode");
    m_upgradeBusy = false;
    UpgradeFailed(QStringLiteral("the request to enter DFU mode was cut short by a stop"));
    if (!Ending()) SetTimer(TIMER_DFU_CHECK, 2000);
  };
  m_runner->Run([service = m_service.get()] { return service->AskDfuMode(); },
                [this, path, generation, overtaken](int answer) {
                  if (generation != m_generation) {
                    overtaken();
                    return;
                  }
                  if (answer == 0) {
                    RunUpgrade(path);
                    return;
                  }
                  m_upgradeBusy = false;
                  UpgradeFailed(
                      QStringLiteral("the reader did not acknowledge the request to "
                                     "enter DFU mode"));
                  Message(QStringLiteral("Notify Device Enter DFU Mode failed"));
                },
                overtaken);
}

void LinkController::CheckPendingDfuDevice() {
  if (m_upgradeBusy || Ending()) return;
  if (!DfuDevicePresent()) return;
  m_upgradeBusy = true;
  emit showRequested(QString());
  if (m_prompt.AskYesNo(m_promptParent, Text("提示"), PendingDfuQuestion()) && !Ending()) {
    RunUpgrade("");
    return;
  }
  m_upgradeBusy = false;
}

void LinkController::SetUpgradeState(const char* state, int progress) {
  m_state.upgradeState = QString::fromLatin1(state);
  m_state.upgradeProgress = static_cast<uint32_t>(progress);
  emit stateChanged();
}

void LinkController::UpgradeFailed(const QString& cause) {
  SetUpgradeState("failed", 0);
  emit upgradeFinished(false, cause);
}

void LinkController::RunUpgrade(const std::string& path) {
  m_upgradeBusy = true;
  auto* run = new UpgradeRun(this);
  m_upgrade = run;
  run->SetHasDFUDevice(1);
  run->StartUpgrade(path);
  connect(run, &UpgradeRun::stateChanged, this,
          [this, run] { SetUpgradeState(run->StateName(), run->Progress()); });
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
    if (m_upgrade == run) m_upgrade = nullptr;
    m_upgradeBusy = false;
    run->deleteLater();
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
