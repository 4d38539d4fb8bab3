// The window's side of a firmware upgrade: a package the reader asked for is ready, or a
// device already waits in DFU mode. One upgrade dialog at a time.
#include "app/Brisk7ServerDlg.h"
#include "app/CommandRunner.h"
#include "app/DFUpgradeDialog.h"
#include "app/Prompt.h"
#include "log/Log.h"

namespace brisk::app {

void CBrisk7ServerDlg::OnUpgradeFileDownloadFinished(const std::string& path) {
  WriteLog("OnUpgradeFileDownloadFinished %s", path.c_str());
  // One upgrade at a time: two dialogs would drive the same device. The guard holds from the
  // question on, not only while a dialog runs.
  if (m_upgradeBusy) {
    WriteLog("an upgrade is running, %s left in the cache", path.c_str());
    return;
  }
  // Compared before the reader is told to restart in its boot loader: a package for another
  // product would leave it there with the link down.
  if (!dfu::DfuUpgradeEngine::PackageFitsReader(path)) {
    Message(tr("升级文件与当前设备不匹配"));
    return;
  }
  m_upgradeBusy = true;
  m_runner->Run([service = m_service.get()] { return service->AskDfuMode(); },
                [this, path](int answer) {
                  if (answer == 0) {
                    show();
                    DFUpgradeDialog dialog(m_prompt);
                    m_upgradeDialog = &dialog;
                    dialog.SetHasDFUDevice(1);
                    dialog.StartUpgrade(path);
                    emit upgradeDialogShown(&dialog);
                    dialog.exec();
                    m_upgradeDialog = nullptr;
                  } else {
                    Message(QStringLiteral("Notify Device Enter DFU Mode failed"));
                  }
                  m_upgradeBusy = false;
                });
}

void CBrisk7ServerDlg::CheckPendingDfuDevice() {
  if (m_upgradeBusy) return;
  m_upgradeBusy = true;
  struct Release {
    bool& flag;
    ~Release() { flag = false; }
  } release{m_upgradeBusy};
  DFUpgradeDialog dialog(m_prompt);
  if (!dialog.FindDfuDevices()) return;
  show();
  if (!m_prompt.AskYesNo(this, tr("提示"), tr("检查到有设备需要升级，是否升级?"))) return;
  dialog.SetHasDFUDevice(1);
  dialog.StartUpgrade("");
  m_upgradeDialog = &dialog;
  emit upgradeDialogShown(&dialog);
  dialog.exec();
  m_upgradeDialog = nullptr;
}

}  // namespace brisk::app
