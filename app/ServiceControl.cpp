// The window's service control: start and stop, the four checks that keep the link going, the
// D-Bus requests, the exit paths and suspend/resume. Reader commands run on the command
// thread; what they found is applied here, on the window's thread.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSystemTrayIcon>

#include "app/Brisk7ServerDlg.h"
#include "app/CommandRunner.h"
#include "app/LogindSleep.h"
#include "app/Prompt.h"
#include "app/WindowParts.h"
#include "app/core/PortDiscovery.h"
#include "app/panels/AuthPanel.h"
#include "app/panels/ConfigPanel.h"
#include "app/panels/HeartbeatPanel.h"
#include "app/panels/NetModePanel.h"
#include "app/panels/NetTestPanel.h"
#include "app/panels/ServicePanel.h"
#include "app/panels/StatusPanel.h"
#include "log/Log.h"

namespace brisk::app {

namespace {
// The watchdog does not look at the port while a command may be opening or closing it.
constexpr int kWatchdogRetryMs = 1000;

QString PortLineFor(int port) {
  return port > 0 ? CBrisk7ServerDlg::tr("当前使用的端口：COM%1").arg(port)
                  : CBrisk7ServerDlg::tr("COM端口打开失败");
}
}  // namespace

bool CBrisk7ServerDlg::ReadPlatform(link::Brisk7Service& service, PlatformInfo& info) {
  char host[256] = {};
  if (service.GetPlatform(&info.policy, &info.cache, &info.port, host) != 0) return false;
  info.host.assign(host, strnlen(host, 240));
  return true;
}

void CBrisk7ServerDlg::StartService(std::function<void()> then) {
  if (m_portList.size() < 2) {
    m_linkUp = 0;
    SetPortLine(tr("设备未连接"));
    UpdateControlStates();
    if (then) then();
    return;
  }
  const int portNumber = m_settings.m_portNumber;
  const int choice = m_netModeChoice;
  const int epoch = m_commandEpoch;
  m_runner->Run(
      [service = m_service.get(), portNumber, ports = m_portList, choice] {
        StartOutcome o;
        o.started = service->Start(portNumber, ports) != 0;
        if (o.started) {
          o.cat1 = service->GetCat1Module(&o.cat1Model, nullptr);
          o.platformRead = ReadPlatform(*service, o.platform);
          o.mode = 2;
          if (choice == 0)
            o.mode = service->CanReachPlatform() ? 1 : 2;
          else if (choice == 1)
            o.mode = 1;
          o.modeResult = service->SetNetMode(o.mode);
        }
        o.comPort = service->ComPort();
        return o;
      },
      [this, epoch, then = std::move(then)](StartOutcome o) {
        // A stop asked for meanwhile has the last word.
        if (epoch == m_commandEpoch) ApplyStart(o);
        if (then) then();
      });
}

void CBrisk7ServerDlg::ApplyStart(const StartOutcome& o) {
  m_comOpen = o.started;
  if (!o.started) {
    m_linkUp = 0;
  } else {
    QWidget* radioCat1 = m_netModePanel->cat1;
    QLabel* present = m_statusPanel->cat1Present;
    QLabel* model = m_statusPanel->cat1Model;
    model->clear();
    if (o.cat1 == 0) {
      radioCat1->setEnabled(false);
      present->setText(tr("无"));
    } else if (o.cat1 == 1) {
      radioCat1->setEnabled(true);
      present->setText(tr("有"));
      model->setText(QStringLiteral("0x%1").arg(o.cat1Model, 0, 16));
    } else {
      radioCat1->setEnabled(true);
      present->setText(tr("未知"));
    }
    if (o.platformRead) ApplyPlatformInfo(o.platform);
    if (o.modeResult == 0) SetTrayMode(o.mode);
    SetTimer(TIMER_NET_CHECK, 30000);
    SetTimer(TIMER_STATUS, 1000);
    m_linkUp = 1;
  }
  SetPortLine(PortLineFor(o.comPort));
  UpdateControlStates();
  // Only now, with the link's state complete: the box runs an event loop, and a stop
  // arriving meanwhile must find the link as it is.
  if (o.started && o.modeResult > 0) Message(tr("设置网络模式失败"));
}

void CBrisk7ServerDlg::StopService(int notify, std::function<void()> then) {
  WriteLog("StopService");
  m_linkUp = 0;
  KillTimer(TIMER_STATUS);
  KillTimer(TIMER_NET_CHECK);
  // The command in flight ends at once (the network test does not go on), and the commands
  // asked for before the stop fail unsent: the stop's own notice goes out right after. A stop
  // already on its way is not interrupted: its notice must go out.
  ++m_commandEpoch;
  if (m_stopsPending++ == 0) m_service->InterruptCommands();
  m_runner->Run(
      [service = m_service.get(), notify] {
        service->ResumeCommands();
        service->Stop(notify);
      },
      [this, then = std::move(then)] {
        --m_stopsPending;
        m_comOpen = false;
        RefreshStatus();
        UpdateControlStates();
        if (then) then();
      });
}

void CBrisk7ServerDlg::OnSwitchOn() {
  m_serviceEnabled = 1;
  StartService();
  SetTimer(TIMER_PORT_WATCH, 10000);
  if (m_sleep) m_sleep->TakeLock();
  emit stateChanged();
}

void CBrisk7ServerDlg::OnSwitchOff() {
  m_serviceEnabled = 0;
  KillTimer(TIMER_PORT_WATCH);
  StopService(1, [this] {
    if (m_sleep) m_sleep->ReleaseLock();
  });
  emit stateChanged();
}

void CBrisk7ServerDlg::OnChangePort() {
  if (!ApplyPortChoice(m_settingPath, m_settings, m_portList,
                       m_servicePanel->portCombo->currentIndex()))
    return;
  StopService(1);
  StartService();
}

bool CBrisk7ServerDlg::CommandBusy() const { return m_runner->Busy(); }

void CBrisk7ServerDlg::SetBusy(bool busy) {
  if (busy != m_busyCursor) {
    m_busyCursor = busy;
    if (busy)
      QApplication::setOverrideCursor(Qt::WaitCursor);
    else
      QApplication::restoreOverrideCursor();
  }
  UpdateControlStates();
}

void CBrisk7ServerDlg::UpdateControlStates() {
  const bool on = m_serviceEnabled != 0;
  // One command at a time: what would ask the reader waits for the one in flight.
  const bool free = !m_runner->Busy();
  m_servicePanel->start->setEnabled(!on);
  m_servicePanel->stop->setEnabled(on);
  m_servicePanel->portCombo->setEnabled(on);
  m_servicePanel->changePort->setEnabled(on && free);
  if (!on) SetPortLine(tr("当前服务未启动"));
  const bool linked = m_linkUp != 0;
  m_netModePanel->automatic->setEnabled(linked);
  m_netModePanel->usb->setEnabled(linked);
  for (QWidget* command : std::initializer_list<QWidget*>{
           m_netModePanel->switchMode, m_netTestPanel->start, m_authPanel->query,
           m_configPanel->platformQuery, m_configPanel->platformChange, m_configPanel->statusQuery})
    command->setEnabled(linked && free);
  m_heartbeatPanel->query->setEnabled(free);
  m_heartbeatPanel->change->setEnabled(free);
  // The Cat1 radio keeps what the last start's Cat1 answer gave it.
  if (!linked) m_netModePanel->cat1->setEnabled(false);
  CommandMenu();
  emit stateChanged();
}

void CBrisk7ServerDlg::RefreshStatus() {
  // The port itself is only looked at while no command may be opening or closing it.
  if (!m_runner->Busy()) m_comOpen = m_service->IsComOpen();
  StatusPanel& s = *m_statusPanel;
  s.comBytesRead->setText(QString::number(m_service->ComBytesRead()));
  s.comBytesWritten->setText(QString::number(m_service->ComBytesWritten()));
  s.serverBytesReceived->setText(QString::number(m_service->ServerBytesReceived()));
  s.serverBytesSent->setText(QString::number(m_service->ServerBytesSent()));
  s.comState->setText(m_comOpen ? tr("已打开") : tr("未打开"));
  s.serverState->setText(m_service->IsServerConnected() ? tr("已连接") : tr("未连接"));
  emit stateChanged();
}

void CBrisk7ServerDlg::CheckNetLink() {
  if (m_netModeChoice != 0 && m_netModeChoice != 1) return;
  // A command in flight: the next round looks again.
  if (m_runner->Busy()) return;
  if (!m_service->IsRelayRunning() || m_service->IsServerConnected()) return;
  WriteLog("check USB mode, server not connected");
  m_runner->Run(
      [service = m_service.get(), choice = m_netModeChoice] {
        int mode = 1;
        if (choice == 0 && !service->CanReachPlatform()) mode = 2;
        if (mode == 1) service->NotifyDisconnect();
        service->SetNetMode(mode);
      },
      [] {});
}

void CBrisk7ServerDlg::PortWatchdog() {
  KillTimer(TIMER_PORT_WATCH);
  if (m_runner->Busy()) {
    SetTimer(TIMER_PORT_WATCH, kWatchdogRetryMs);
    return;
  }
  DiscoverPorts(m_portList);
  ShowPortChoices();
  CheckSelectedPort();
  SetTimer(TIMER_PORT_WATCH, 10000);
}

void CBrisk7ServerDlg::CheckSelectedPort() {
  if (!m_service->IsRelayRunning()) {
    if (!m_serviceEnabled) {
      SetPortLine(tr("当前服务未启动"));
      return;
    }
    StopService(0);
    StartService();
    return;
  }
  const std::string name = PortNumberToName(m_service->ComPort());
  for (const std::string& entry : m_portList)
    if (entry == name) return;
  WriteLog("could not find select com port");
  StopService(0, [this] { SetPortLine(tr("设备连接已断开")); });
}

void CBrisk7ServerDlg::OnServiceControl(int operation, int argument,
                                        std::function<void(int)> done) {
  switch (operation) {
    case 0: {
      DiscoverPorts(m_portList);
      m_runner->Run(
          [service = m_service.get(), portNumber = m_settings.m_portNumber, ports = m_portList] {
            StartOutcome o;
            o.started = service->Start(portNumber, ports) != 0;
            if (o.started) o.platformRead = ReadPlatform(*service, o.platform);
            o.comPort = o.started ? service->ComPort() : 0;
            return o;
          },
          [this, epoch = m_commandEpoch, done = std::move(done)](StartOutcome o) {
            if (epoch != m_commandEpoch) {
              done(o.started ? 1 : 0);
              return;
            }
            m_comOpen = o.started;
            if (o.started) {
              if (o.platformRead) ApplyPlatformInfo(o.platform);
              SetTimer(TIMER_STATUS, 1000);
            } else if (m_linkUp) {
              // The failed reopen closed the port the link was using.
              m_linkUp = 0;
              KillTimer(TIMER_STATUS);
              KillTimer(TIMER_NET_CHECK);
              UpdateControlStates();
            }
            SetPortLine(PortLineFor(o.comPort));
            done(o.started ? 1 : 0);
          });
      return;
    }
    case 1:
      m_serviceEnabled = 0;
      StopService(1, [this, done = std::move(done)] {
        if (m_sleep) m_sleep->ReleaseLock();
        emit stateChanged();
        done(1);
      });
      KillTimer(TIMER_PORT_WATCH);
      return;
    case 2:
      if (argument != 1 && argument != 2) {
        done(-1);
        return;
      }
      m_netModeChoice = argument;
      SetButtonGroup(m_netModePanel->choice, m_netModeChoice);
      m_runner->Run([service = m_service.get(), argument] { return service->SetNetMode(argument); },
                    [this, argument, done = std::move(done)](int result) {
                      if (result == 0) SetTrayMode(argument);
                      done(result == 0 ? 1 : 0);
                    });
      return;
    case 3:
      m_runner->Run(
          [service = m_service.get()] {
            uint8_t status = 0;
            uint8_t type = 0;
            const int result = service->GetConnectStatus(&status, &type);
            return result != 0 ? std::optional<uint8_t>() : std::optional<uint8_t>(status);
          },
          [done = std::move(done)](std::optional<uint8_t> status) {
            if (!status) {
              done(-1);
              return;
            }
            WriteLog("connect status 0x%x", *status);
            done(static_cast<int8_t>(*status));
          });
      return;
    default:
      done(0);
      return;
  }
}

void CBrisk7ServerDlg::ShowPortChoices() {
  QComboBox* portCombo = m_servicePanel->portCombo;
  portCombo->clear();
  if (const auto combo = FillPortCombo(m_portList, m_settings.m_portNumber)) {
    for (const std::string& item : combo->items)
      portCombo->addItem(item == kAutoPortName ? tr("自动") : QString::fromStdString(item));
    portCombo->setCurrentIndex(combo->selected);
  }
}

}  // namespace brisk::app
