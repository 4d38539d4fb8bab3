#pragma once
// The reader ports the window lists, offers and hands to the link service.
#include <optional>
#include <string>
#include <vector>

#include "app/core/Settings.h"
#include "platform/SerialPort.h"

namespace brisk::platform::devices {
struct TtyDevice;
}

namespace brisk::app {

// Entry 0 of every port list.
inline constexpr const char* kAutoPortName = "自动";

// True when the upper-cased hardware id holds both parts of one reader identity row.
bool IsReaderHardwareId(const std::string& hardwareId);

// The one COM-name rule, shared with the link.
using platform::PortNameToNumber;
using platform::PortNumberToName;

// The COM name of a reader tty through the one COM<n> <-> device mapping; empty when the
// device has no COM name.
std::string PortNameForDevice(const platform::devices::TtyDevice& device);

// Rebuilds the list: "自动", then each reader tty's COM name in enumeration order.
void DiscoverPorts(std::vector<std::string>& portList);

// What the port combo box is to hold and which entry it selects (-1: none).
struct PortComboContents {
  std::vector<std::string> items;
  int selected = -1;
};
// None when the list is empty (the combo box is left alone).
std::optional<PortComboContents> FillPortCombo(const std::vector<std::string>& portList,
                                               int portNumber);

// The "修改串口" choice: the new port number for the selected index, or none when nothing
// is to change (no entry at that index, or the same port).
std::optional<int> ChoosePort(const std::vector<std::string>& portList, int selectedIndex,
                              int portNumber);
// ChoosePort, then stores the number in settings and in [COM] PORT. True when the port
// changed, and the window is to restart the service.
bool ApplyPortChoice(const std::string& settingPath, BriskSettings& settings,
                     const std::vector<std::string>& portList, int selectedIndex);

}  // namespace brisk::app
