#include "app/core/PortDiscovery.h"

#include <cctype>

#include "log/Log.h"
#include "platform/SerialPort.h"
#include "platform/devices/ReaderIdentities.h"
#include "platform/devices/UdevDevices.h"

namespace brisk::app {

namespace {

// The kernel gives CDC ACM at most this many minors.
constexpr int kHighestComNumber = 256;

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IsReaderHardwareId(const std::string& hardwareId) {
  std::string upper = hardwareId;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  namespace devices = platform::devices;
  for (const devices::ReaderIdentity& id : devices::IdentitiesOffering(devices::kSerialPort))
    if (upper.find(devices::VendorIdText(id.vendorId)) != std::string::npos &&
        upper.find(devices::ProductIdText(id.productId)) != std::string::npos)
      return true;
  return false;
}

std::string PortNameForDevice(const platform::devices::TtyDevice& device) {
  if (device.sysName.empty()) return {};
  // Searched through SerialDevicePath so the COM<n> mapping is written only once.
  for (int n = 1; n <= kHighestComNumber; ++n)
    if (BaseName(platform::SerialDevicePath(n)) == device.sysName) return PortNumberToName(n);
  return {};
}

void DiscoverPorts(std::vector<std::string>& portList) {
  portList.clear();
  portList.emplace_back(kAutoPortName);
  for (const platform::devices::TtyDevice& device : platform::devices::EnumerateTtyDevices()) {
    if (!device.hasUsbIdentity || !IsReaderHardwareId(device.hardwareId)) continue;
    std::string name = PortNameForDevice(device);
    if (name.empty()) {
      WriteLog("reader tty %s has no COM name, not listed", device.sysPath.c_str());
      continue;
    }
    portList.push_back(std::move(name));
  }
}

std::optional<PortComboContents> FillPortCombo(const std::vector<std::string>& portList,
                                               int portNumber) {
  if (portList.empty()) return std::nullopt;
  const std::string wanted =
      portNumber == 0 ? std::string(kAutoPortName) : PortNumberToName(portNumber);
  PortComboContents out;
  int match = -1;
  for (size_t i = 0; i < portList.size(); ++i) {
    out.items.push_back(portList[i]);
    if (portList[i] == wanted) match = static_cast<int>(i);
  }
  out.selected = portNumber == 0 ? 0 : match;
  return out;
}

std::optional<int> ChoosePort(const std::vector<std::string>& portList, int selectedIndex,
                              int portNumber) {
  int chosen = 0;
  if (selectedIndex != 0) {
    if (selectedIndex < 0 || static_cast<size_t>(selectedIndex) >= portList.size())
      return std::nullopt;
    chosen = PortNameToNumber(portList[static_cast<size_t>(selectedIndex)]);
  }
  if (chosen == portNumber) return std::nullopt;
  return chosen;
}

bool ApplyPortChoice(const std::string& settingPath, BriskSettings& settings,
                     const std::vector<std::string>& portList, int selectedIndex) {
  const auto chosen = ChoosePort(portList, selectedIndex, settings.m_portNumber);
  if (!chosen) return false;
  settings.m_portNumber = *chosen;
  SavePortNumber(settingPath, *chosen);
  return true;
}

}  // namespace brisk::app
