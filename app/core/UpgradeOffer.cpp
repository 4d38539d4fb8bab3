// The controller's side of a firmware upgrade: a package the reader asked for is ready, or a
// device already waits in DFU mode. The upgrade dialog itself is the view's; one at a time.
#include "app/core/CommandRunner.h"
#include "app/core/LinkController.h"
#include "app/core/Prompt.h"
#include "app/core/Texts.h"
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
    Message(Text("升级文件与当前设备不匹配"));
    return;
  }
  m_upgradeBusy = true;
  const int generation = m_generation;
  // A stop cut the request short: the reader may be restarting in DFU mode all the same, so
  // the device check looks for it instead of a failure being shown.
  const auto overtaken = [this] {
    WriteLog("enter DFU mode overtaken by a stop: looking for a device in DFU mode");
    m_upgradeBusy = false;
    if (!Ending()) SetTimer(TIMER_DFU_CHECK, 2000);
  };
  m_runner->Run([service = m_service.get()] { return service->AskDfuMode(); },
                [this, path, generation, overtaken](int answer) {
                  if (generation != m_generation) {
                    overtaken();
                    return;
                  }
                  if (answer == 0) {
                    emit showRequested(QString());
                    if (m_upgradeRunner) m_upgradeRunner(path);
                  } else {
                    Message(QStringLiteral("Notify Device Enter DFU Mode failed"));
                  }
                  m_upgradeBusy = false;
                },
                overtaken);
}

void LinkController::CheckPendingDfuDevice() {
  if (m_upgradeBusy || Ending()) return;
  if (!DfuDevicePresent()) return;
  m_upgradeBusy = true;
  emit showRequested(QString());
  if (m_prompt.AskYesNo(m_promptParent, Text("提示"), Text("检查到有设备需要升级，是否升级?")) &&
      m_upgradeRunner && !Ending())
    m_upgradeRunner("");
  m_upgradeBusy = false;
}

}  // namespace brisk::app
