// The controller's ends and pauses: the exit command with its question, a termination signal or
// a quit from outside, device changes, and suspend/resume. Each stop sends the reader its notice
// before it is done; after the exit nothing new starts.
#include "app/core/CommandRunner.h"
#include "app/core/LinkController.h"
#include "app/core/Prompt.h"
#include "app/core/Texts.h"
#include "link/Brisk7Service.h"
#include "log/Log.h"

#include <QTimer>

namespace brisk::app {

void LinkController::OnExitCommand() {
  // Clicked twice: one question, one exit.
  if (m_closing || m_exitAsked) return;
  m_exitAsked = true;
  if (!m_service->IsRelayRunning()) {
    FinishExit(1);
    return;
  }
  m_runner->Run(
      [service = m_service.get()] {
        const link::ConnectStatus s = service->GetConnectStatus();
        return s.result == 0 ? static_cast<int>(s.type) : -1;
      },
      [this](int type) {
        if (m_closing) return;
        int notify = 1;
        if (type == 2 && m_prompt.AskYesNo(m_promptParent, Text("提示"),
                                           Text("当前使用移动数据连接，是否在退出后保持读卡功能?")))
          notify = 0;
        // A signal may have ended the program while the question was open.
        if (!m_closing) FinishExit(notify);
      },
      // A stop went ahead of the question (a sleep): the exit goes on with its notice.
      [this] {
        if (!m_closing) FinishExit(1);
      });
}

void LinkController::FinishExit(int notify) {
  m_closing = true;
  m_state.exiting = true;
  for (auto& [id, timer] : m_timers) timer->stop();
  StopService(notify, [this] {
    m_exited = true;
    UpdateSleepLock();
    emit quitRequested(0);
  });
  // Nothing new reaches the reader after the exit's stop.
  m_runner->Seal();
  emit stateChanged();
}

void LinkController::OnTerminate() {
  WriteLog("terminated by a signal");
  if (m_closing) return;
  FinishExit(1);
}

void LinkController::OnDeviceChange(const char* eventName) {
  WriteLog("%s", eventName);
  if (m_state.serviceEnabled && !Ending()) SetTimer(TIMER_PORT_WATCH, 500);
}

void LinkController::OnSuspend() {
  WriteLog("System Suspend");
  m_sleeping = true;
  KillTimer(TIMER_PORT_WATCH);
  // The exit's own stop is already on its way with its notice.
  if (m_closing) return;
  // The reader has had its notice once the stop is through: the lock goes then, and sleep
  // may go on.
  StopService(1);
  UpdateSleepLock();
}

void LinkController::OnResume() {
  WriteLog("System Resume");
  m_sleeping = false;
  if (!m_state.serviceEnabled || Ending()) return;
  SetTimer(TIMER_PORT_WATCH, 20000);
  UpdateSleepLock();
}

}  // namespace brisk::app
