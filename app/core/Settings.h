#pragma once
// The settings file setting.ini and the start-at-logon entry, as the window uses them.
#include <optional>
#include <string>
#include <vector>

namespace brisk::app {

// The window's fields that the settings file loads, with their defaults.
struct BriskSettings {
  int m_portNumber = 0;          // [COM] port; 0 = automatic
  int m_savedNetMode = 0;        // [CONNECT] TYPE
  int m_netModeChoice = 0;       // [CONNECT] TYPE
  int m_autoStartService = 1;    // [SETTING] AutoStart
  int m_logSwitch = 0;           // [Set] Log, also handed to the process-wide log switch
  int m_usbHeartbeat = 600;      // [HeartBeat] Usb
  int m_cat1Heartbeat = 600;     // [HeartBeat] Cat1
  int m_verifyCertificates = 0;  // [Set] VerifyCertificates: HTTPS downloads verify the server
};

// $XDG_CONFIG_HOME/BriskNetService/setting.ini; empty when no configuration folder is known.
std::string SettingPath();

// The seat's defaults (platform::SeatSettingPaths) are only read, never written.
// Reads the keys: a key the person's file lacks takes the seat's default, and one that neither
// has its built-in default; nothing validated. Sets the log switch. Creates nothing.
void LoadSettings(const std::string& settingPath, BriskSettings& settings);

// The writers: each stores its key(s), creating the folder, file and section as needed,
// keeping every other line. False when the file could not be written (logged); the old
// file is then unchanged.
bool SavePortNumber(const std::string& settingPath, int port);           // [COM] PORT
bool SaveNetMode(const std::string& settingPath, int mode);              // [CONNECT] TYPE
bool SaveAutoStartService(const std::string& settingPath, bool on);      // [SETTING] AutoStart
bool SaveLogSwitch(const std::string& settingPath, bool on);             // [Set] Log
bool SaveHeartbeats(const std::string& settingPath, int usb, int cat1);  // [HeartBeat] Usb, Cat1

// The "自动启动服务" check box: re-reads AutoStart from the file (default 1), stores its
// negation in settings and in the file. Returns the new value, which the box shows. When the
// file cannot be written, settings and the result keep the file's value, and failure (if
// given) says why.
int ToggleAutoStartService(const std::string& settingPath, BriskSettings& settings,
                           std::string* failure = nullptr);

// The "记录日志" check box: flips the log switch and stores "1" or "0". Returns the new value.
int ToggleLogSwitch(const std::string& settingPath, BriskSettings& settings);

// Start at logon. result: 0 when the autostart place cannot be used, else 1.
// checked: the state the "开机自启动" check box is to show; none = leave it as it is.
struct AutoRunResult {
  int result = 0;
  std::optional<bool> checked;
};
AutoRunResult ReadAutoRun(const std::string& entryPath);
// Turns the entry's present state over (present: removed; absent: written for programPath).
AutoRunResult ToggleAutoRun(const std::string& entryPath, const std::string& programPath);

}  // namespace brisk::app
