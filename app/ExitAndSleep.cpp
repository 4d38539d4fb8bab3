// The window's ends and pauses: the exit command with its question, a termination signal,
// device changes, and suspend/resume. Each stop sends the reader its notice before it is done.
#include <QSystemTrayIcon>

#include "app/Brisk7ServerDlg.h"
#include "app/CommandRunner.h"
#include "app/LogindSleep.h"
#include "app/Prompt.h"
#include "log/Log.h"

namespace brisk::app {

void CBrisk7ServerDlg::OnExitCommand() {
  if (m_closing) return;
  if (!m_service->IsRelayRunning()) {
    FinishExit(1);
    return;
  }
  m_runner->Run(
      [service = m_service.get()] {
        uint8_t status = 0;
        uint8_t type = 0;
        return service->GetConnectStatus(&status, &type) == 0 ? static_cast<int>(type) : -1;
      },
      [this](int type) {
        if (m_closing) return;
        int notify = 1;
        if (type == 2 && m_prompt.AskYesNo(this, tr("提示"),
                                           tr("当前使用移动数据连接，是否在退出后保持读卡功能?")))
          notify = 0;
        // A signal may have ended the program while the question was open.
        if (!m_closing) FinishExit(notify);
      });
}

void CBrisk7ServerDlg::FinishExit(int notify) {
  m_closing = true;
  StopService(notify, [this] {
    QMetaObject::invokeMethod(this, &CBrisk7ServerDlg::OnDestroy, Qt::QueuedConnection);
  });
}

void CBrisk7ServerDlg::OnTerminate() {
  WriteLog("terminated by a signal");
  if (m_closing) return;
  KillTimer(TIMER_PORT_WATCH);
  FinishExit(1);
}

void CBrisk7ServerDlg::OnDestroy() {
  KillTimer(TIMER_PORT_WATCH);
  delete m_trayIcon;
  m_trayIcon = nullptr;
  if (m_sleep) m_sleep->ReleaseLock();
  emit quitRequested(0);
}

void CBrisk7ServerDlg::OnDeviceChange(const char* eventName) {
  WriteLog("%s", eventName);
  if (m_serviceEnabled) SetTimer(TIMER_PORT_WATCH, 500);
}

void CBrisk7ServerDlg::OnSuspend() {
  WriteLog("System Suspend");
  KillTimer(TIMER_PORT_WATCH);
  // The reader has had its notice once the stop is through: sleep may go on.
  StopService(1, [this] {
    if (m_sleep) m_sleep->ReleaseLock();
  });
}

void CBrisk7ServerDlg::OnResume() {
  WriteLog("System Resume");
  if (!m_serviceEnabled) return;
  SetTimer(TIMER_PORT_WATCH, 20000);
  if (m_sleep) m_sleep->TakeLock();
}

}  // namespace brisk::app
