// The configuration commands: start-up switches, network mode and test, authorization,
// platform, connection status and heartbeats. Each asks the reader on the command thread and
// publishes the answer here, with the same texts and in the same order as ever.
#include <QRegularExpression>
#include <array>
#include <cstring>

#include "app/core/CommandRunner.h"
#include "app/core/LinkController.h"
#include "app/core/Prompt.h"
#include "app/core/Texts.h"
#include "link/Brisk7Service.h"
#include "link/NetworkQuality.h"
#include "log/Log.h"
#include "platform/Autostart.h"
#include "platform/Clock.h"

namespace brisk::app {
namespace {
constexpr int kNetworkTestRuns = 10;
}  // namespace

void LinkController::OnToggleAutoRun() {
  const AutoRunResult r = ToggleAutoRun(platform::AutostartEntryPath(), platform::ProgramPath());
  if (r.result == 0)
    m_autoRunChecked = false;
  else if (r.checked)
    m_autoRunChecked = *r.checked;
  emit startupChecksShown(m_autoRunChecked, m_settings.m_autoStartService != 0,
                          m_settings.m_logSwitch != 0);
}

void LinkController::OnToggleAutoStartService() {
  std::string failure;
  ToggleAutoStartService(m_settingPath, m_settings, &failure);
  // The box shows the file's value at once; the person is told once why it did not change.
  emit startupChecksShown(m_autoRunChecked, m_settings.m_autoStartService != 0,
                          m_settings.m_logSwitch != 0);
  if (!failure.empty()) Message(Text("设置未能保存：%1").arg(QString::fromStdString(failure)));
}

void LinkController::OnToggleLog() {
  ToggleLogSwitch(m_settingPath, m_settings);
  emit startupChecksShown(m_autoRunChecked, m_settings.m_autoStartService != 0,
                          m_settings.m_logSwitch != 0);
}

struct LinkController::NetModeOutcome {
  int mode = 2;
  QString success;
  QString failure;
  int result = 0;
};

void LinkController::OnSwitchNetMode(int choice) {
  m_netModeChoice = choice;
  if (Ending() || choice == m_settings.m_savedNetMode) return;
  const int generation = m_generation;
  const int modeGeneration = ++m_modeGeneration;
  m_runner->Run(
      [service = m_service.get(), choice] {
        NetModeOutcome o;
        o.success = Text("切换到使用Cat1");
        o.failure = Text("设置使用Cat1失败");
        if (choice == 0) {
          if (service->CanReachPlatform()) {
            o.mode = 1;
            o.success = Text("使用本机网络");
            o.failure = Text("设置使用本机网络失败");
          } else {
            o.success = Text("使用Cat1");
          }
        } else if (choice == 1) {
          o.mode = 1;
          o.success = Text("切换到使用本机网络");
          o.failure = Text("设置使用本机网络失败");
        }
        o.result = service->SetNetMode(o.mode);
        return o;
      },
      [this, choice, generation, modeGeneration](NetModeOutcome o) {
        // A stop, or a mode sent after this one, has overtaken it: the reader's mode is the
        // later one's, and nothing of this answer is stored.
        if (Dropped(generation, "network mode switch")) return;
        if (modeGeneration != m_modeGeneration) {
          WriteLog("network mode switch: a later mode has the last word");
          return;
        }
        if (o.result == 0) {
          SetTrayMode(o.mode);
          // The choice that was sent, whatever the radios show now.
          m_settings.m_savedNetMode = choice;
          SaveNetMode(m_settingPath, choice);
          if (m_state.linkUp) {
            KillTimer(TIMER_NET_CHECK);
            SetTimer(TIMER_NET_CHECK, 30000);
          }
        } else if (m_netModeChoice == choice) {
          // Back to the stored mode, unless the person has chosen again meanwhile.
          m_netModeChoice = m_settings.m_savedNetMode;
          emit netModeChoiceShown(m_netModeChoice);
        }
        Message(o.result == 0 ? o.success : o.failure);
      },
      [] { WriteLog("network mode switch: dropped before it ran"); });
}

// The test's probes go one by one, so that a D-Bus request for the reader takes its turn
// between two of them instead of waiting for all ten.
void LinkController::OnNetworkTest() {
  if (m_networkTest || Ending()) return;
  m_networkTest = std::make_unique<std::vector<int>>();
  RunNetworkProbe(m_generation);
}

void LinkController::RunNetworkProbe(int generation) {
  m_runner->Run([service = m_service.get()] { return link::RunNetworkProbe(*service); },
                [this, generation](int result) {
                  // A stop ends the test with what it had before.
                  if (Dropped(generation, "network test")) {
                    EndNetworkTest();
                    return;
                  }
                  m_networkTest->push_back(result);
                  if (static_cast<int>(m_networkTest->size()) < kNetworkTestRuns)
                    RunNetworkProbe(generation);
                  else
                    EndNetworkTest();
                },
                [this] { EndNetworkTest(); });
}

void LinkController::EndNetworkTest() {
  if (!m_networkTest) return;
  const link::NetworkTestSummary s = link::SummarizeNetworkTest(*m_networkTest);
  m_networkTest.reset();
  emit networkTestDone(s.successes, s.failures, s.average, s.maximum);
}

void LinkController::OnQueryAuth() {
  const int generation = m_generation;
  m_runner->Run([service = m_service.get()] { return service->GetAuthInfo(); },
                [this, generation](link::AuthInfo info) {
                  if (Dropped(generation, "authorization query")) return;
                  if (info.result != 0) {
                    Message(Text("获取授权信息失败"));
                    return;
                  }
                  emit authRead(info);
                });
}

// The service has adopted the address for its own connection already.
void LinkController::ApplyPlatformInfo(const link::PlatformInfo& info) {
  m_platform = info;
  emit stateChanged();
  emit platformRead(info);
}

void LinkController::OnQueryPlatform() {
  const int generation = m_generation;
  m_runner->Run([service = m_service.get()] { return service->GetPlatform(); },
                [this, generation](link::PlatformInfo info) {
                  if (Dropped(generation, "platform query")) return;
                  if (info.result == 0)
                    ApplyPlatformInfo(info);
                  else
                    Message(Text("获取平台信息失败"));
                });
}

void LinkController::OnChangePlatform(int policy, int cache, const QString& portText,
                                      const QString& address) {
  // Only a port the person can mean is sent: never its low 16 bits.
  const QString trimmed = portText.trimmed();
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
  const int port = digits.match(trimmed).hasMatch() ? trimmed.toInt() : 0;
  if (port < 1 || port > 65535) {
    WriteLog("platform port \"%s\" refused", trimmed.left(16).toUtf8().constData());
    Message(Text("端口号必须是1到65535之间的数字"));
    return;
  }
  const QByteArray bytes = address.toUtf8();
  if (bytes.size() > 250) {
    WriteLog("platform address of %d bytes refused", static_cast<int>(bytes.size()));
    Message(Text("服务器地址不能超过250个字符"));
    return;
  }
  const int generation = m_generation;
  m_runner->Run(
      [service = m_service.get(), policy = static_cast<uint8_t>(policy),
       cache = static_cast<uint8_t>(cache), port, bytes] {
        return service->SetPlatform(policy, cache, static_cast<uint32_t>(port), bytes.constData());
      },
      [this, generation](int result) {
        if (Dropped(generation, "platform change")) return;
        Message(result == 0 ? Text("修改平台信息成功") : Text("修改平台信息失败"));
      });
}

void LinkController::OnQueryConnectStatus() {
  const int generation = m_generation;
  m_runner->Run([service = m_service.get()] { return service->GetConnectStatus(); },
                [this, generation](link::ConnectStatus s) {
                  if (Dropped(generation, "connection status query")) return;
                  if (s.result != 0) {
                    Message(Text("查询连接状态失败"));
                    return;
                  }
                  emit connectStatusRead(s.status, s.type);
                });
}

void LinkController::OnQueryHeartbeat() {
  const int generation = m_generation;
  m_runner->Run([service = m_service.get()] { return service->GetHeartbeat(); },
                [this, generation](link::HeartbeatInfo beats) {
                  if (Dropped(generation, "heartbeat query")) return;
                  if (beats.result != 0) {
                    Message(Text("获取心跳间隔失败"));
                    return;
                  }
                  m_settings.m_usbHeartbeat = static_cast<int>(beats.usb);
                  m_settings.m_cat1Heartbeat = static_cast<int>(beats.cat1);
                  emit heartbeatsShown(m_settings.m_usbHeartbeat, m_settings.m_cat1Heartbeat);
                  Message(Text("获取心跳间隔成功"));
                });
}

void LinkController::OnChangeHeartbeat(int usb, int cat1) {
  m_settings.m_usbHeartbeat = usb;
  m_settings.m_cat1Heartbeat = cat1;
  const int generation = m_generation;
  m_runner->Run(
      [service = m_service.get(), usb, cat1] {
        return service->SetHeartbeat(static_cast<uint32_t>(usb), static_cast<uint32_t>(cat1), 0, 0);
      },
      [this, generation, usb, cat1](int result) {
        if (Dropped(generation, "heartbeat change")) return;
        if (result == 0) {
          SaveHeartbeats(m_settingPath, usb, cat1);
          Message(Text("设置心跳间隔成功"));
        } else {
          Message(Text("设置心跳间隔失败"));
        }
      });
}

}  // namespace brisk::app
