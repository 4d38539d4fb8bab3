// The window's configuration commands: network mode and test, authorization, platform,
// connection status and heartbeats. Each asks the reader on the command thread and shows the
// answer here, with the same texts and in the same order as when the window waited for it.
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <array>

#include "app/AboutDialog.h"
#include "app/Brisk7ServerDlg.h"
#include "app/CommandRunner.h"
#include "app/WindowParts.h"
#include "app/panels/AuthPanel.h"
#include "app/panels/ConfigPanel.h"
#include "app/panels/HeartbeatPanel.h"
#include "app/panels/NetModePanel.h"
#include "app/panels/NetTestPanel.h"
#include "app/panels/StartupPanel.h"
#include "link/NetworkQuality.h"
#include "log/Log.h"
#include "platform/Autostart.h"
#include "platform/Clock.h"

namespace brisk::app {
namespace {

constexpr int kHeartbeatMin = 60;
constexpr int kHeartbeatMax = 600;
constexpr int kNetworkTestRuns = 10;
constexpr int kNetworkProbeGapMs = 50;

}  // namespace

bool CBrisk7ServerDlg::UpdateData(bool save) {
  if (!save) {
    SetButtonGroup(m_netModePanel->choice, m_netModeChoice);
    SetButtonGroup(m_configPanel->connectMode, m_platformConnectMode);
    SetButtonGroup(m_configPanel->cache, m_dataCache);
    m_heartbeatPanel->usb.edit->setText(QString::number(m_usbHeartbeat));
    m_heartbeatPanel->cat1.edit->setText(QString::number(m_cat1Heartbeat));
    return true;
  }
  m_netModeChoice = m_netModePanel->choice->checkedId();
  m_platformConnectMode = m_configPanel->connectMode->checkedId();
  m_dataCache = m_configPanel->cache->checkedId();
  for (auto [edit, field] : {std::pair{m_heartbeatPanel->usb.edit, &m_usbHeartbeat},
                             std::pair{m_heartbeatPanel->cat1.edit, &m_cat1Heartbeat}}) {
    bool ok = false;
    const int value = edit->text().trimmed().toInt(&ok);
    if (!ok || value < kHeartbeatMin || value > kHeartbeatMax) {
      Message(tr("请输入 %1 到 %2 之间的整数。").arg(kHeartbeatMin).arg(kHeartbeatMax));
      edit->setFocus();
      return false;
    }
    *field = value;
  }
  return true;
}

void CBrisk7ServerDlg::OnToggleAutoRun() {
  const AutoRunResult r = ToggleAutoRun(platform::AutostartEntryPath(), platform::ProgramPath());
  QCheckBox* box = m_startupPanel->autoRun;
  if (r.result == 0)
    box->setChecked(false);
  else if (r.checked)
    box->setChecked(*r.checked);
}

void CBrisk7ServerDlg::OnToggleAutoStartService() {
  m_startupPanel->autoStartService->setChecked(ToggleAutoStartService(m_settingPath, m_settings) !=
                                               0);
}

void CBrisk7ServerDlg::OnToggleLog() {
  m_configPanel->log->setChecked(ToggleLogSwitch(m_settingPath, m_settings) != 0);
}

void CBrisk7ServerDlg::OnSwitchNetMode() {
  UpdateData(true);  // a heartbeat range message does not stop the switch
  if (m_netModeChoice == m_settings.m_savedNetMode) return;
  struct Outcome {
    int mode = 2;
    QString success = tr("切换到使用Cat1");
    QString failure = tr("设置使用Cat1失败");
    int result = 0;
  };
  m_runner->Run(
      [service = m_service.get(), choice = m_netModeChoice] {
        Outcome o;
        if (choice == 0) {
          if (service->CanReachPlatform()) {
            o.mode = 1;
            o.success = tr("使用本机网络");
            o.failure = tr("设置使用本机网络失败");
          } else {
            o.success = tr("使用Cat1");
          }
        } else if (choice == 1) {
          o.mode = 1;
          o.success = tr("切换到使用本机网络");
          o.failure = tr("设置使用本机网络失败");
        }
        o.result = service->SetNetMode(o.mode);
        return o;
      },
      [this](Outcome o) {
        if (o.result == 0) {
          SetTrayMode(o.mode);
          m_settings.m_savedNetMode = m_netModeChoice;
          SaveNetMode(m_settingPath, m_netModeChoice);
          KillTimer(TIMER_NET_CHECK);
          SetTimer(TIMER_NET_CHECK, 30000);
        } else {
          m_netModeChoice = m_settings.m_savedNetMode;
          UpdateData(false);
        }
        Message(o.result == 0 ? o.success : o.failure);
      });
}

// The test's probes go one by one, so that a D-Bus request for the reader takes its turn
// between two of them instead of waiting for all ten.
void CBrisk7ServerDlg::OnNetworkTest() {
  if (m_networkTest) return;
  m_networkTest = std::make_unique<std::vector<int>>();
  RunNetworkProbe(m_commandEpoch);
}

void CBrisk7ServerDlg::RunNetworkProbe(int epoch) {
  m_runner->Run(
      [service = m_service.get()] {
        const int result = service->TestNetwork(1, 50);
        platform::SleepMs(kNetworkProbeGapMs);
        return result;
      },
      [this, epoch](int result) {
        m_networkTest->push_back(result);
        // A stop ends the test with what it has.
        if (static_cast<int>(m_networkTest->size()) < kNetworkTestRuns && epoch == m_commandEpoch)
          RunNetworkProbe(epoch);
        else
          ShowNetworkTestResult();
      });
}

void CBrisk7ServerDlg::ShowNetworkTestResult() {
  const link::NetworkTestSummary s = link::SummarizeNetworkTest(*m_networkTest);
  m_networkTest.reset();
  m_netTestPanel->ShowResult(s.successes, s.failures, s.average, s.maximum);
}

void CBrisk7ServerDlg::OnAbout() {
  CAboutDialog about(this);
  about.exec();
}

void CBrisk7ServerDlg::OnQueryAuth() {
  struct Outcome {
    std::array<uint8_t, 32> licence{};
    std::array<char, 12> mac{};
    std::array<char, 20> iccid{};
    int result = 0;
  };
  m_runner->Run(
      [service = m_service.get()] {
        Outcome o;
        o.result = service->GetAuthInfo(o.licence.data(), o.mac.data(), o.iccid.data());
        return o;
      },
      [this](Outcome o) {
        if (o.result != 0) {
          Message(tr("获取授权信息失败"));
          return;
        }
        m_authPanel->ShowAnswer(o.licence.data(), o.mac.data(), o.iccid.data());
      });
}

void CBrisk7ServerDlg::ApplyPlatformInfo(const PlatformInfo& info) {
  m_platformConnectMode = info.policy;
  m_dataCache = info.cache;
  m_configPanel->ShowPlatform(info.port, info.host);
  UpdateData(false);
}

void CBrisk7ServerDlg::OnQueryPlatform() {
  m_runner->Run(
      [service = m_service.get()] {
        PlatformInfo info;
        return ReadPlatform(*service, info) ? std::optional<PlatformInfo>(info) : std::nullopt;
      },
      [this](std::optional<PlatformInfo> info) {
        if (info)
          ApplyPlatformInfo(*info);
        else
          Message(tr("获取平台信息失败"));
      });
}

void CBrisk7ServerDlg::OnChangePlatform() {
  UpdateData(true);  // a heartbeat range message does not stop the change
  const int policy = static_cast<uint8_t>(m_platformConnectMode);
  const int cache = static_cast<uint8_t>(m_dataCache);
  // Only a port the person can mean is sent: never its low 16 bits.
  const QString portText = m_configPanel->port->text().trimmed();
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
  const int port = digits.match(portText).hasMatch() ? portText.toInt() : 0;
  if (port < 1 || port > 65535) {
    WriteLog("platform port \"%s\" refused", portText.left(16).toUtf8().constData());
    Message(tr("端口号必须是1到65535之间的数字"));
    return;
  }
  const QByteArray address = m_configPanel->address->text().toUtf8();
  if (address.size() > 250) {
    WriteLog("platform address of %d bytes refused", static_cast<int>(address.size()));
    Message(tr("服务器地址不能超过250个字符"));
    return;
  }
  m_runner->Run(
      [service = m_service.get(), policy, cache, port, address] {
        return service->SetPlatform(policy, cache, static_cast<uint32_t>(port),
                                    address.constData());
      },
      [this](int result) {
        Message(result == 0 ? tr("修改平台信息成功") : tr("修改平台信息失败"));
      });
}

void CBrisk7ServerDlg::OnQueryConnectStatus() {
  m_runner->Run(
      [service = m_service.get()] {
        std::array<uint8_t, 3> o{};
        o[0] = static_cast<uint8_t>(service->GetConnectStatus(&o[1], &o[2]) != 0);
        return o;
      },
      [this](std::array<uint8_t, 3> o) {
        if (o[0]) {
          Message(tr("查询连接状态失败"));
          return;
        }
        m_configPanel->ShowConnectStatus(o[1], o[2]);
      });
}

void CBrisk7ServerDlg::OnQueryHeartbeat() {
  m_runner->Run(
      [service = m_service.get()] {
        std::array<uint32_t, 2> beats{};
        const bool ok = service->GetHeartbeat(&beats[0], &beats[1]) == 0;
        return ok ? std::optional(beats) : std::nullopt;
      },
      [this](std::optional<std::array<uint32_t, 2>> beats) {
        if (!beats) {
          Message(tr("获取心跳间隔失败"));
          return;
        }
        m_usbHeartbeat = static_cast<int>((*beats)[0]);
        m_cat1Heartbeat = static_cast<int>((*beats)[1]);
        UpdateData(false);
        Message(tr("获取心跳间隔成功"));
      });
}

void CBrisk7ServerDlg::OnChangeHeartbeat() {
  if (!UpdateData(true)) return;
  const int usb = m_usbHeartbeat;
  const int cat1 = m_cat1Heartbeat;
  m_runner->Run(
      [service = m_service.get(), usb, cat1] {
        return service->SetHeartbeat(static_cast<uint32_t>(usb), static_cast<uint32_t>(cat1), 0, 0);
      },
      [this, usb, cat1](int result) {
        if (result == 0) {
          SaveHeartbeats(m_settingPath, usb, cat1);
          Message(tr("设置心跳间隔成功"));
        } else {
          Message(tr("设置心跳间隔失败"));
        }
      });
}

void CBrisk7ServerDlg::OnSpin(int editId, int delta) {
  if (!UpdateData(true)) return;
  int& value = editId == 1048 ? m_usbHeartbeat : m_cat1Heartbeat;
  if (delta < 0) {
    if (value < kHeartbeatMax) ++value;
  } else if (value > kHeartbeatMin) {
    --value;
  }
  UpdateData(false);
}

}  // namespace brisk::app
