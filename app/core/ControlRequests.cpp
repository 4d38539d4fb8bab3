// Requests from other programs over D-Bus. Each is answered once it has had its turn at the
// reader; one that a stop or the exit overtakes is answered at once with its failure value.
#include "app/core/CommandRunner.h"
#include "app/core/LinkController.h"
#include "app/core/PortDiscovery.h"
#include "app/core/Texts.h"
#include "link/Brisk7Service.h"
#include "log/Log.h"

namespace brisk::app {

namespace {
// What an operation answers when it did not get through.
int FailureValue(int operation) {
  switch (operation) {
    case 1:
      return 1;
    case 3:
      return -1;
    default:
      return 0;
  }
}
}  // namespace

void LinkController::OnServiceControl(int operation, int argument, std::function<void(int)> done) {
  // After the exit nothing new starts; the stop that is asked for is already on its way.
  if (Ending()) {
    WriteLog("control request %d refused: exiting", operation);
    done(FailureValue(operation));
    return;
  }
  const auto dropped = [operation, done] {
    WriteLog("control request %d dropped: a stop went ahead", operation);
    done(FailureValue(operation));
  };
  switch (operation) {
    case 0: {
      DiscoverPorts(m_portList);
      ServiceStart(done);
      return;
    }
    case 1:
      m_state.serviceEnabled = false;
      KillTimer(TIMER_PORT_WATCH);
      StopService(1, [done] { done(1); });
      UpdateControlStates();
      return;
    case 2: {
      if (argument != 1 && argument != 2) {
        done(-1);
        return;
      }
      m_netModeChoice = argument;
      emit netModeChoiceShown(argument);
      const int modeGeneration = ++m_modeGeneration;
      m_runner->Run([service = m_service.get(), argument] { return service->SetNetMode(argument); },
                    [this, argument, modeGeneration, done](int result) {
                      if (result == 0 && modeGeneration == m_modeGeneration)
                        SetTrayMode(argument);
                      else if (result == 0)
                        WriteLog("network mode %d: a later choice has the last word", argument);
                      done(result == 0 ? 1 : 0);
                    },
                    dropped);
      return;
    }
    case 3:
      m_runner->Run(
          [service = m_service.get()] {
            const link::ConnectStatus s = service->GetConnectStatus();
            return s.result != 0 ? std::optional<uint8_t>() : std::optional<uint8_t>(s.status);
          },
          [done](std::optional<uint8_t> status) {
            if (!status) {
              done(-1);
              return;
            }
            WriteLog("connect status 0x%x", *status);
            done(static_cast<int8_t>(*status));
          },
          dropped);
      return;
    default:
      done(0);
      return;
  }
}

// Operation 0: the service's start with the platform read, no switch, no mode, no timers 2
// and 3. A link it brings up is a link up, shown as such.
void LinkController::ServiceStart(std::function<void(int)> done) {
  struct Outcome {
    bool started = false;
    link::PlatformInfo platform;
    int comPort = 0;
  };
  const int generation = m_generation;
  m_runner->Run(
      [service = m_service.get(), portNumber = m_settings.m_portNumber, ports = m_portList] {
        Outcome o;
        o.started = service->Start(portNumber, ports) != 0;
        if (o.started) o.platform = service->GetPlatform();
        o.comPort = o.started ? service->ComPort() : 0;
        return o;
      },
      [this, generation, done](Outcome o) {
        if (Dropped(generation, "control start")) {
          done(0);
          return;
        }
        m_state.comOpen = o.started;
        if (o.started) {
          if (o.platform.result == 0) ApplyPlatformInfo(o.platform);
          SetTimer(TIMER_STATUS, 1000);
          m_state.linkUp = true;
        } else if (m_state.linkUp) {
          // The failed reopen closed the port the link was using.
          m_state.linkUp = false;
          KillTimer(TIMER_STATUS);
          KillTimer(TIMER_NET_CHECK);
        }
        SetPortLine(o.started ? Text("当前使用的端口：COM%1").arg(o.comPort)
                              : Text("COM端口打开失败"));
        UpdateControlStates();
        done(o.started ? 1 : 0);
      },
      [done] {
        WriteLog("control request 0 dropped: a stop went ahead");
        done(0);
      });
}

void LinkController::SetServiceEnabled(bool on, std::function<void()> done) {
  if (Ending()) {
    if (done) done();
    return;
  }
  if (on) {
    // Already switched on and linked: nothing to do, as the disabled start button.
    if (m_state.serviceEnabled && m_state.linkUp) {
      if (done) done();
      return;
    }
    if (!m_state.serviceEnabled) {
      m_state.serviceEnabled = true;
      SetTimer(TIMER_PORT_WATCH, 10000);
      UpdateSleepLock();
    }
    StartService(std::move(done));
  } else {
    m_state.serviceEnabled = false;
    KillTimer(TIMER_PORT_WATCH);
    StopService(1, std::move(done));
  }
  UpdateControlStates();
}

}  // namespace brisk::app
