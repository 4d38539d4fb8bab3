#include "app/core/Settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

#include "log/Log.h"
#include "platform/Autostart.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"

namespace brisk::app {

namespace {

// reason: why it failed, in the system's words.
bool Save(const std::string& settingPath, const std::vector<platform::IniEntry>& entries,
          std::string* reason = nullptr) {
  std::string error;
  const size_t slash = settingPath.rfind('/');
  if (settingPath.empty() || slash == std::string::npos) {
    WriteLog("settings not saved: no configuration folder");
    if (reason) *reason = std::strerror(ENOENT);
    return false;
  }
  // The folder comes into being at the first write.
  if (slash > 0 && !platform::MakeFolders(settingPath.substr(0, slash), 0700)) {
    error = std::strerror(errno);
    WriteLog("settings not saved: cannot create %s: %s", settingPath.substr(0, slash).c_str(),
             error.c_str());
    if (reason) *reason = error;
    return false;
  }
  if (!platform::WriteIniStrings(settingPath, entries, &error)) {
    WriteLog("settings not saved: %s", error.c_str());
    if (reason) *reason = error;
    return false;
  }
  return true;
}

std::string Decimal(int value) { return std::to_string(value); }

// With the log off (its switch lives in that very file) nothing else would tell the user that
// every setting is at its default; said once per file for the process.
void ReportUnreadOnce(const std::string& settingPath, const std::string& error) {
  static std::mutex lock;
  static std::set<std::string> reported;
  std::lock_guard<std::mutex> guard(lock);
  if (!reported.insert(settingPath).second) return;
  std::fprintf(stderr,
               "BriskNetService: settings file not read, every setting is at its default and "
               "the file is left as it is: %s\n",
               error.c_str());
}

}  // namespace

std::string SettingPath() {
  const std::string folder = platform::ConfigFolder();
  return folder.empty() ? std::string() : folder + "/setting.ini";
}

namespace {

// The seat files that exist and parse, the first folder first.
std::vector<platform::IniDocument> LoadSeatDefaults() {
  std::vector<platform::IniDocument> seats;
  for (const std::string& path : platform::SeatSettingPaths()) {
    platform::IniDocument doc;
    bool exists = false;
    std::string error;
    if (platform::LoadIniFile(path, &doc, &exists, &error)) {
      for (const std::string& problem : doc.Problems())
        WriteLog("seat defaults %s: %s", path.c_str(), problem.c_str());
      seats.push_back(std::move(doc));
    } else if (exists) {
      WriteLog("seat defaults not read: %s", error.c_str());
    }
  }
  return seats;
}

// The person's value, else the seat's, else none.
std::optional<std::string> Lookup(const platform::IniDocument& own,
                                  const std::vector<platform::IniDocument>& seats,
                                  const char* section, const char* key) {
  if (auto value = own.Get(section, key)) return value;
  for (const platform::IniDocument& seat : seats)
    if (auto value = seat.Get(section, key)) return value;
  return std::nullopt;
}

// One key read as the program starts: the person's file, the seat's, the built-in default.
int ReadSetting(const std::string& settingPath, const char* section, const char* key, int def) {
  platform::IniDocument own;
  bool exists = false;
  std::string error;
  if (!settingPath.empty()) platform::LoadIniFile(settingPath, &own, &exists, &error);
  return platform::IniValueToInt(Lookup(own, LoadSeatDefaults(), section, key), def);
}

}  // namespace

void LoadSettings(const std::string& settingPath, BriskSettings& settings) {
  platform::IniDocument doc;
  bool exists = false;
  std::string error;
  const bool read =
      !settingPath.empty() && platform::LoadIniFile(settingPath, &doc, &exists, &error);
  const std::vector<platform::IniDocument> seats = LoadSeatDefaults();
  auto get = [&doc, &seats](const char* section, const char* key, int def) {
    return platform::IniValueToInt(Lookup(doc, seats, section, key), def);
  };
  // The table's order; a file that could not be read gives every default.
  settings.m_portNumber = get("COM", "port", 0);
  settings.m_savedNetMode = get("CONNECT", "TYPE", 0);
  settings.m_netModeChoice = settings.m_savedNetMode;
  settings.m_autoStartService = get("SETTING", "AutoStart", 1);
  settings.m_logSwitch = get("Set", "Log", 0);
  SetLogSwitch(settings.m_logSwitch);
  settings.m_usbHeartbeat = get("HeartBeat", "Usb", 600);
  settings.m_cat1Heartbeat = get("HeartBeat", "Cat1", 600);
  settings.m_verifyCertificates = get("Set", "VerifyCertificates", 0);
  if (!read && !settingPath.empty()) {
    WriteLog("settings file not read, defaults used: %s", error.c_str());
    ReportUnreadOnce(settingPath, error);
  }
  for (const std::string& problem : doc.Problems())
    WriteLog("settings file %s: %s", settingPath.c_str(), problem.c_str());
}

bool SavePortNumber(const std::string& settingPath, int port) {
  return Save(settingPath, {{"COM", "PORT", Decimal(port)}});
}

bool SaveNetMode(const std::string& settingPath, int mode) {
  return Save(settingPath, {{"CONNECT", "TYPE", Decimal(mode)}});
}

bool SaveAutoStartService(const std::string& settingPath, bool on) {
  return Save(settingPath, {{"SETTING", "AutoStart", on ? "1" : "0"}});
}

bool SaveLogSwitch(const std::string& settingPath, bool on) {
  return Save(settingPath, {{"Set", "Log", on ? "1" : "0"}});
}

bool SaveHeartbeats(const std::string& settingPath, int usb, int cat1) {
  // Both keys in one replacement of the file: never one new and one old.
  return Save(settingPath,
              {{"HeartBeat", "Usb", Decimal(usb)}, {"HeartBeat", "Cat1", Decimal(cat1)}});
}

int ToggleAutoStartService(const std::string& settingPath, BriskSettings& settings,
                           std::string* failure) {
  const int current = ReadSetting(settingPath, "SETTING", "AutoStart", 1);
  const int wanted = current == 0 ? 1 : 0;
  std::string reason;
  if (Save(settingPath, {{"SETTING", "AutoStart", wanted ? "1" : "0"}}, &reason)) {
    settings.m_autoStartService = wanted;
    return wanted;
  }
  // What the file holds is what the next start does: that is what the box shows.
  settings.m_autoStartService = ReadSetting(settingPath, "SETTING", "AutoStart", 1);
  if (failure) *failure = reason.empty() ? std::strerror(EIO) : reason;
  return settings.m_autoStartService;
}

int ToggleLogSwitch(const std::string& settingPath, BriskSettings& settings) {
  const int now = LogSwitch() == 0 ? 1 : 0;
  SetLogSwitch(now);
  settings.m_logSwitch = now;
  SaveLogSwitch(settingPath, now != 0);
  return now;
}

AutoRunResult ReadAutoRun(const std::string& entryPath) {
  if (entryPath.empty()) return {0, false};
  return {1, platform::AutostartEntryExists(entryPath)};
}

AutoRunResult ToggleAutoRun(const std::string& entryPath, const std::string& programPath) {
  if (entryPath.empty()) {
    WriteLog("autostart: no configuration folder");
    return {0, false};
  }
  std::string error;
  AutoRunResult r{1, std::nullopt};
  if (!platform::AutostartEntryExists(entryPath)) {
    if (platform::WriteAutostartEntry(entryPath, programPath, &error))
      r.checked = true;
    else
      WriteLog("autostart entry not written: %s", error.c_str());
  } else {
    if (platform::RemoveAutostartEntry(entryPath, &error))
      r.checked = false;
    else
      WriteLog("autostart entry not removed: %s", error.c_str());
  }
  return r;
}

}  // namespace brisk::app
