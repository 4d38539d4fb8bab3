// The controller's life, timers, start and stop, the checks that keep the link going, device
// changes, suspend/resume and the exit paths. Reader commands run on the command thread; what
// they found is applied here, on the controller's thread, if nothing has overtaken it.
#include "app/core/LinkController.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "app/core/CommandRunner.h"
#include "app/core/LogindSleep.h"
#include "app/core/PortDiscovery.h"
#include "app/core/Prompt.h"
#include "app/core/Texts.h"
#include "link/Brisk7Service.h"
#include "log/Log.h"
#include "platform/Autostart.h"
#include "platform/devices/HotplugMonitor.h"

namespace brisk::app {

namespace {
// The watchdog does not look at the port while a command may be opening or closing it.
constexpr int kWatchdogRetryMs = 1000;
constexpr int kHeartbeatMin = 60;
constexpr int kHeartbeatMax = 600;

QString PortLineFor(int port) {
  return port > 0 ? Text("当前使用的端口：COM%1").arg(port) : Text("COM端口打开失败");
}

// What the reader is handed as a heartbeat interval: the file's value when the reader can use
// it, else the default (the reader keeps 16 bits of it).
uint32_t HeartbeatForReader(int seconds) {
  if (seconds >= kHeartbeatMin && seconds <= kHeartbeatMax) return static_cast<uint32_t>(seconds);
  WriteLog("heart beat interval out of range: %d, using 600", seconds);
  return kHeartbeatMax;
}
}  // namespace

struct LinkController::StartOutcome {
  bool started = false;
  int cat1 = 0;
  uint8_t cat1Model = 0;
  link::PlatformInfo platform;
  int mode = 0;
  int modeResult = 0;
  int comPort = 0;
};

LinkController::LinkController(Prompt& prompt, Options options, QObject* parent)
    : QObject(parent), m_prompt(prompt), m_options(options) {
  // Called on the download worker, which ends with m_service, before this QObject goes: the
  // path travels by value to this thread, and a call still queued when it goes is dropped.
  m_service = std::make_unique<link::Brisk7Service>([this](const std::string& path) {
    QMetaObject::invokeMethod(
        this, [this, path] { OnUpgradeFileDownloadFinished(path); }, Qt::QueuedConnection);
  });
  m_runner = std::make_unique<CommandRunner>(
      [service = m_service.get()] { service->InterruptCommands(); });
  connect(m_runner.get(), &CommandRunner::busyChanged, this, [this](bool busy) {
    m_state.busy = busy;
    UpdateControlStates();
  });
  m_settingPath = SettingPath();
  LoadSettings(m_settingPath, m_settings);
  m_service->SetVerifyCertificates(m_settings.m_verifyCertificates != 0);
  WatchDownloads();
  m_service->SetHeartbeat(HeartbeatForReader(m_settings.m_usbHeartbeat),
                          HeartbeatForReader(m_settings.m_cat1Heartbeat), 1, 1);
  for (int id : {TIMER_STATUS, TIMER_NET_CHECK, TIMER_PORT_WATCH, TIMER_DFU_CHECK}) {
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, id] { OnTimer(id); });
    m_timers[id] = timer;
  }
}

LinkController::~LinkController() {
  for (auto& [id, timer] : m_timers) timer->stop();
  // A command in flight ends at once; no result is applied any more.
  m_service->InterruptCommands();
  m_runner.reset();
  m_service->ResumeCommands();
  if (!m_exited && m_service->IsRelayRunning()) {
    WriteLog("ended without the exit path: the reader is told");
    m_service->Stop(1);
  }
}

void LinkController::Message(const QString& text) {
  emit notice(text);
  m_prompt.Message(m_promptParent, text);
}

bool LinkController::Dropped(int generation, const char* what) const {
  if (generation == m_generation) return false;
  WriteLog("%s: result of an earlier request dropped", what);
  return true;
}

bool LinkController::CommandBusy() const { return m_runner->Busy(); }

// ---------------------------------------------------------------------------------------------
// Start-up

void LinkController::OnInitDialog() {
  if (m_initialised) return;
  m_initialised = true;
  const AutoRunResult autoRun = ReadAutoRun(platform::AutostartEntryPath());
  m_autoRunChecked = autoRun.checked.value_or(false);
  emit startupChecksShown(m_autoRunChecked, m_settings.m_autoStartService != 0,
                          m_settings.m_logSwitch != 0);
  emit netModeChoiceShown(m_netModeChoice);
  emit heartbeatsShown(m_settings.m_usbHeartbeat, m_settings.m_cat1Heartbeat);
  if (m_options.watchSleep) {
    m_sleep = std::make_unique<LogindSleepWatcher>();
    connect(m_sleep.get(), &LogindSleepWatcher::suspending, this, &LinkController::OnSuspend);
    connect(m_sleep.get(), &LogindSleepWatcher::resumed, this, &LinkController::OnResume);
  }
  if (m_options.watchDevices) WatchDevices();
  DiscoverPorts(m_portList);
  // A DFU device left waiting is looked for when the start has not linked a reader.
  const auto checkDfu = [this] {
    if (!m_state.linkUp && !Ending()) SetTimer(TIMER_DFU_CHECK, 2000);
  };
  if (m_settings.m_autoStartService) {
    m_state.serviceEnabled = true;
    StartService(checkDfu);
    SetTimer(TIMER_PORT_WATCH, 10000);
  } else {
    m_state.serviceEnabled = false;
  }
  UpdateSleepLock();
  UpdateControlStates();
  if (!m_settings.m_autoStartService) checkDfu();
}

void LinkController::WatchDevices() {
  m_hotplug = platform::devices::HotplugMonitor::Create();
  if (!m_hotplug) {
    WriteLog("device changes are not watched; the port watchdog still runs");
    return;
  }
  m_hotplugNotifier = new QSocketNotifier(m_hotplug->Fd(), QSocketNotifier::Read, this);
  connect(m_hotplugNotifier, &QSocketNotifier::activated, this, [this] {
    for (const platform::devices::HotplugEvent& event : m_hotplug->ReadEvents()) {
      switch (event.kind) {
        case platform::devices::HotplugEvent::Kind::Arrival:
          OnDeviceChange("DBT_DEVICEARRIVAL");
          break;
        case platform::devices::HotplugEvent::Kind::Removal:
          OnDeviceChange("DBT_DEVICEREMOVECOMPLETE");
          break;
        default:
          OnDeviceChange("DBT_DEVNODES_CHANGED");
          break;
      }
    }
  });
}

// ---------------------------------------------------------------------------------------------
// Timers

void LinkController::SetTimer(int id, int periodMs) { m_timers.at(id)->start(periodMs); }
void LinkController::KillTimer(int id) { m_timers.at(id)->stop(); }
bool LinkController::TimerActive(int id) const { return m_timers.at(id)->isActive(); }
int LinkController::TimerInterval(int id) const { return m_timers.at(id)->interval(); }

void LinkController::OnTimer(int id) {
  switch (id) {
    case TIMER_STATUS:
      RefreshStatus();
      break;
    case TIMER_NET_CHECK:
      CheckNetLink();
      break;
    case TIMER_PORT_WATCH:
      PortWatchdog();
      break;
    case TIMER_DFU_CHECK:
      KillTimer(TIMER_DFU_CHECK);
      CheckPendingDfuDevice();
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Start and stop

void LinkController::StartService(std::function<void()> then) {
  if (Ending()) {
    if (then) then();
    return;
  }
  if (m_portList.size() < 2) {
    m_state.linkUp = false;
    SetPortLine(Text("设备未连接"));
    UpdateControlStates();
    if (then) then();
    return;
  }
  const int choice = m_netModeChoice;
  const int generation = m_generation;
  const int modeGeneration = ++m_modeGeneration;
  m_runner->Run(
      [service = m_service.get(), portNumber = m_settings.m_portNumber, ports = m_portList,
       choice] {
        StartOutcome o;
        o.started = service->Start(portNumber, ports) != 0;
        if (o.started) {
          const link::Cat1Module cat1 = service->GetCat1Module();
          o.cat1 = cat1.result;
          if (cat1.result == 1) o.cat1Model = cat1.model;
          o.platform = service->GetPlatform();
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
      [this, generation, modeGeneration, then](StartOutcome o) {
        if (!Dropped(generation, "start")) ApplyStart(o, generation, modeGeneration);
        if (then) then();
      },
      [then] {
        WriteLog("start: dropped before it ran");
        if (then) then();
      });
}

void LinkController::ApplyStart(const StartOutcome& o, int generation, int modeGeneration) {
  m_state.comOpen = o.started;
  if (!o.started) {
    m_state.linkUp = false;
  } else {
    m_state.cat1 = o.cat1;
    m_state.cat1Model = o.cat1Model;
    if (o.platform.result == 0) ApplyPlatformInfo(o.platform);
    // A mode sent after this one has the last word on the tray.
    if (o.modeResult == 0 && modeGeneration == m_modeGeneration) SetTrayMode(o.mode);
    SetTimer(TIMER_NET_CHECK, 30000);
    SetTimer(TIMER_STATUS, 1000);
    m_state.linkUp = true;
  }
  SetPortLine(PortLineFor(o.comPort));
  UpdateControlStates();
  // Only now, with the link's state complete: the box runs an event loop, and a stop
  // arriving meanwhile must find the link as it is.
  if (o.started && o.modeResult > 0 && generation == m_generation)
    Message(Text("设置网络模式失败"));
}

void LinkController::StopService(int notify, std::function<void()> then) {
  WriteLog("StopService");
  m_state.linkUp = false;
  KillTimer(TIMER_STATUS);
  KillTimer(TIMER_NET_CHECK);
  // Every request asked for before is overtaken: the commands waiting are dropped, the one in
  // flight ends at once (unless it is a stop, whose notice must go out), and no result of
  // theirs is applied. The stop's own notice goes out right after.
  ++m_generation;
  ++m_modeGeneration;
  ++m_stopsPending;
  m_runner->RunStop(
      [service = m_service.get(), notify] {
        service->ResumeCommands();
        service->Stop(notify);
      },
      [this, then = std::move(then)] {
        --m_stopsPending;
        m_state.comOpen = false;
        RefreshStatus();
        UpdateSleepLock();
        UpdateControlStates();
        if (then) then();
      });
}

void LinkController::OnSwitchOn() {
  if (Ending()) return;
  m_state.serviceEnabled = true;
  StartService();
  SetTimer(TIMER_PORT_WATCH, 10000);
  UpdateSleepLock();
  UpdateControlStates();
}

void LinkController::OnSwitchOff() {
  if (m_closing) return;
  m_state.serviceEnabled = false;
  KillTimer(TIMER_PORT_WATCH);
  StopService(1);
  UpdateControlStates();
}

void LinkController::OnChangePort(int selectedIndex) {
  // As the button: only while the service runs, which the change restarts.
  const bool running = m_state.serviceEnabled || m_state.linkUp;
  if (Ending() || !running) return;
  if (!ApplyPortChoice(m_settingPath, m_settings, m_portList, selectedIndex)) return;
  StopService(1);
  StartService();
}

void LinkController::UpdateSleepLock() {
  if (!m_sleep) return;
  // Held while the service is on and awake, and while a stop's notice is still to go out.
  const bool wanted =
      !m_exited && ((m_state.serviceEnabled && !m_sleeping && !m_closing) || m_stopsPending > 0);
  if (wanted)
    m_sleep->TakeLock();
  else
    m_sleep->ReleaseLock();
}

void LinkController::SetPortLine(const QString& text) {
  m_state.portLine = text;
  emit stateChanged();
}

void LinkController::UpdateControlStates() {
  // The link a D-Bus start brought up runs although the switch is off: the line says so.
  if (!m_state.serviceEnabled && !m_state.linkUp) m_state.portLine = Text("当前服务未启动");
  const std::optional<PortComboContents> combo = FillPortCombo(m_portList, m_settings.m_portNumber);
  m_state.portChoices = combo ? combo->items : std::vector<std::string>{};
  m_state.portChoice = combo ? combo->selected : -1;
  emit stateChanged();
}

void LinkController::RefreshStatus() {
  // The port itself is only looked at while no command may be opening or closing it.
  if (!m_runner->Busy()) m_state.comOpen = m_service->IsComOpen();
  m_state.comBytesRead = m_service->ComBytesRead();
  m_state.comBytesWritten = m_service->ComBytesWritten();
  m_state.serverBytesReceived = m_service->ServerBytesReceived();
  m_state.serverBytesSent = m_service->ServerBytesSent();
  m_state.serverConnected = m_service->IsServerConnected();
  emit stateChanged();
}

void LinkController::CheckNetLink() {
  if (m_netModeChoice != 0 && m_netModeChoice != 1) return;
  // A command in flight: the next round looks again.
  if (m_runner->Busy() || Ending()) return;
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

void LinkController::PortWatchdog() {
  KillTimer(TIMER_PORT_WATCH);
  if (Ending()) return;
  if (m_runner->Busy()) {
    SetTimer(TIMER_PORT_WATCH, kWatchdogRetryMs);
    return;
  }
  DiscoverPorts(m_portList);
  UpdateControlStates();
  CheckSelectedPort();
  SetTimer(TIMER_PORT_WATCH, 10000);
}

void LinkController::CheckSelectedPort() {
  if (!m_service->IsRelayRunning()) {
    if (!m_state.serviceEnabled) {
      SetPortLine(Text("当前服务未启动"));
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
  StopService(0, [this] { SetPortLine(Text("设备连接已断开")); });
}

void LinkController::SetTrayMode(int mode) {
  m_state.trayMode = (mode == 1 || mode == 2) ? mode : 0;
  emit stateChanged();
}

}  // namespace brisk::app
