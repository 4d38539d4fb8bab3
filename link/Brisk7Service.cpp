#include "link/Brisk7Service.h"

#include "log/Log.h"
#include "platform/SerialPort.h"

namespace brisk::link {

Brisk7Service::Brisk7Service(EnterDfuCallback callback)
    : m_firmware(std::move(callback),
                 [this](const uint8_t* data, int size) { return m_relay.WriteCom(data, size); }),
      m_commands(m_relay) {
  m_relay.SetHandlers([this](const uint8_t* data, size_t size) { m_commands.OnAnswer(data, size); },
                      [this](const uint8_t* data, size_t size) { m_firmware.Handle(data, size); });
}

std::unique_ptr<ReaderPort> Brisk7Service::InitComm(int port, int baud) {
  // A COM number of more than eight digits has no device name.
  if (port < 1 || port > 99999999) return nullptr;
  return OpenSerialReaderPort(platform::SerialDevicePath(port), baud);
}

// Two relay threads must never run on one object: a start stops the one that runs.
void Brisk7Service::StopForStart() {
  m_relay.StopThread();
  if (IsComOpen()) {
    WriteLog("COM is already open while start service, close it");
    m_relay.ClosePort();
  }
}

int Brisk7Service::StartOn(std::unique_ptr<ReaderPort> port, int number, const std::string& name) {
  if (!port) {
    WriteLog("open %s failed", name.c_str());
    return 0;
  }
  m_comPort = number;
  m_relay.Start(std::move(port));
  return 1;
}

int Brisk7Service::Start(int port, const std::vector<std::string>& candidates) {
  StopForStart();
  if (port != 0) {
    WriteLog("Open port %d", port);
    return StartOn(InitComm(port, 115200), port, std::to_string(port));
  }
  for (size_t i = 1; i < candidates.size(); ++i) {
    WriteLog("try to open %s", candidates[i].c_str());
    const int number = platform::PortNameToNumber(candidates[i]);
    if (StartOn(InitComm(number, 115200), number, candidates[i])) return 1;
  }
  return 0;
}

int Brisk7Service::StartDevice(const std::string& path) {
  StopForStart();
  WriteLog("Open device %s", path.c_str());
  return StartOn(OpenSerialReaderPort(path, 115200), 0, path);
}

int Brisk7Service::Stop(int notify) {
  WriteLog("enter Brisk7Service::Stop");
  m_comPort = -1;
  if (notify) NotifyDisconnect();
  StopServerConnect();
  m_relay.StopThread();
  UninitComm();
  WriteLog("leave Brisk7Service::Stop");
  return 1;
}

void Brisk7Service::UninitComm() {
  WriteLog("UninitComm");
  if (IsComOpen()) {
    WriteLog("Close Com Handle");
    m_relay.ClosePort();
  }
}

}  // namespace brisk::link
