// brisk-ctl doctor: the settings files as the program reads them.

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "Doctor.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/SerialPort.h"
#include "platform/devices/ReaderIdentities.h"
#include "platform/devices/UdevDevices.h"

namespace brisk::tools {

namespace {

namespace devices = platform::devices;

// The keys the program reads, with their defaults; every one is an integer.
struct Key {
  const char* section;
  const char* key;
  int defaultValue;
  bool isSwitch;  // 0 off, anything else on
};
constexpr Key kKeys[] = {
    {"COM", "port", 0, false},
    {"CONNECT", "TYPE", 0, false},
    {"SETTING", "AutoStart", 1, true},
    {"Set", "Log", 0, true},
    {"HeartBeat", "Usb", 600, false},
    {"HeartBeat", "Cat1", 600, false},
    {"Set", "VerifyCertificates", 0, true},
};
constexpr int kHeartbeatLow = 60;
constexpr int kHeartbeatHigh = 600;

struct SettingsFile {
  std::string path;  // as the program names it (without the root prefix)
  bool exists = false;
  std::string unreadable;  // why it could not be read at all
  platform::IniDocument doc;
};

SettingsFile Load(const std::string& root, const std::string& path) {
  SettingsFile file;
  file.path = path;
  std::string error;
  if (!platform::LoadIniFile(root + path, &file.doc, &file.exists, &error)) {
    file.exists = true;
    file.unreadable = error;
  }
  return file;
}

// A UTF-16 file reads as lines of NUL bytes: the program takes none of its values.
bool LooksUtf16(const platform::IniDocument& doc) {
  const std::string text = doc.Text();
  if (text.size() >= 2 &&
      ((text[0] == '\xff' && text[1] == '\xfe') || (text[0] == '\xfe' && text[1] == '\xff')))
    return true;
  size_t nul = 0;
  for (char c : text) nul += c == '\0';
  return nul > 0 && nul * 4 >= text.size();
}

bool WholeInteger(const std::string& value) {
  size_t i = value.empty() || (value[0] != '-' && value[0] != '+') ? 0 : 1;
  if (i == value.size()) return false;
  for (; i < value.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(value[i]))) return false;
  return true;
}

std::string Named(const Key& k, const std::string& value) {
  return std::string("[") + k.section + "] " + k.key + "=" + value;
}

// What in one file the program would read otherwise than its writer meant.
std::vector<std::string> Misreadings(const SettingsFile& file) {
  std::vector<std::string> found;
  if (!file.unreadable.empty()) return {"cannot be read (" + file.unreadable + "): all defaults"};
  if (LooksUtf16(file.doc))
    return {"is UTF-16 text: the program reads none of its values and uses the defaults"};
  for (const std::string& problem : file.doc.Problems()) found.push_back(problem);
  for (const Key& k : kKeys) {
    const auto text = file.doc.Get(k.section, k.key);
    if (!text) continue;
    const int value = platform::IniValueToInt(text, k.defaultValue);
    const std::string is = std::to_string(value);
    if (!WholeInteger(*text)) {
      found.push_back(Named(k, *text) + " is read as " + is +
                      (k.isSwitch ? (value ? " (on)" : " (off)") : "") + ": it takes a number");
    } else if (std::string(k.section) == "HeartBeat" &&
               (value < kHeartbeatLow || value > kHeartbeatHigh)) {
      found.push_back(Named(k, *text) + " is outside " + std::to_string(kHeartbeatLow) + ".." +
                      std::to_string(kHeartbeatHigh) + " seconds: the reader is sent it as it is");
    } else if (std::string(k.key) == "TYPE" && (value < 0 || value > 2)) {
      found.push_back(Named(k, *text) + " is no network mode (0, 1 or 2): it is taken as 2 (Cat1)");
    } else if (std::string(k.key) == "port" && value < 0) {
      found.push_back(Named(k, *text) + " names no port: 0 is automatic, N is COMN");
    }
  }
  return found;
}

std::string Join(const std::vector<std::string>& parts, const char* between) {
  std::string all;
  for (const std::string& p : parts) all += (all.empty() ? "" : between) + p;
  return all;
}

// sudo: "sudo " for a file of the system's, "" for the person's own.
DoctorCheck FileCheck(const std::string& name, const std::vector<SettingsFile>& files,
                      const std::string& sudo) {
  DoctorCheck check{name, true, "", ""};
  std::vector<std::string> good, bad, absent;
  for (const SettingsFile& file : files) {
    if (!file.exists) {
      absent.push_back(file.path);
      continue;
    }
    const auto misread = Misreadings(file);
    if (misread.empty()) {
      good.push_back(file.path);
      continue;
    }
    bad.push_back(file.path + " " + Join(misread, "; "));
    if (!check.ok) continue;
    check.ok = false;
    check.fix = LooksUtf16(file.doc)
                    ? sudo + "iconv -f UTF-16 -t UTF-8 -o " + file.path + ".new " + file.path +
                          " && " + sudo + "mv " + file.path + ".new " + file.path
                    : (sudo.empty() ? "edit " : "sudoedit ") + file.path +
                          ": each key takes a whole number (switches 1 or 0, heartbeats " +
                          "60..600, TYPE 0..2), or remove the key to take its default";
  }
  if (!check.ok)
    check.detail = Join(bad, "; ");
  else if (good.empty())
    check.detail = "none (" + Join(absent, ", ") + " absent): the defaults apply";
  else
    check.detail = Join(good, ", ") + " read as written";
  return check;
}

// The value of a key as the program takes it: the person's file first, then the seat defaults in
// their order, then the built-in default. source names the file it came from.
int Effective(const std::vector<SettingsFile>& inOrder, const Key& k, std::string* source) {
  for (const SettingsFile& file : inOrder) {
    if (!file.exists || !file.unreadable.empty() || LooksUtf16(file.doc)) continue;
    if (const auto text = file.doc.Get(k.section, k.key)) {
      *source = file.path;
      return platform::IniValueToInt(text, k.defaultValue);
    }
  }
  source->clear();
  return k.defaultValue;
}

// The COM names of the attached readers' serial ports, with their nodes.
std::vector<std::pair<std::string, std::string>> ReaderPorts() {
  constexpr int kHighestPort = 256;
  std::vector<std::pair<std::string, std::string>> ports;
  for (const devices::TtyDevice& tty : devices::EnumerateTtyDevices()) {
    if (!tty.hasUsbIdentity ||
        !devices::OffersAny(tty.vendorId, tty.productId, devices::kSerialPort))
      continue;
    // Searched through the one COM<n> mapping, as the program does.
    for (int n = 1; n <= kHighestPort; ++n) {
      const std::string path = platform::SerialDevicePath(n);
      if (path.substr(path.rfind('/') + 1) == tty.sysName) {
        ports.emplace_back(platform::PortNumberToName(n), tty.devNode);
        break;
      }
    }
  }
  return ports;
}

}  // namespace

std::vector<DoctorCheck> SettingsChecks(const std::string& root) {
  std::vector<SettingsFile> own, seat;
  const std::string folder = platform::ConfigFolder();
  if (!folder.empty()) own.push_back(Load("", folder + "/setting.ini"));
  for (const std::string& path : platform::SeatSettingPaths()) seat.push_back(Load(root, path));

  std::vector<DoctorCheck> checks;
  checks.push_back(FileCheck("settings", own, ""));
  if (own.empty()) checks.back().detail = "no configuration folder (no XDG_CONFIG_HOME or HOME)";
  checks.push_back(FileCheck("seat defaults", seat, "sudo "));

  std::vector<SettingsFile> all = own;
  all.insert(all.end(), seat.begin(), seat.end());
  std::string source;
  const int port = Effective(all, kKeys[0], &source);
  DoctorCheck chosen{"chosen port", true, "", ""};
  const auto readers = ReaderPorts();
  const std::string name = platform::PortNumberToName(port);
  if (port == 0) {
    chosen.detail = "automatic: every reader port is tried";
  } else if (readers.empty()) {
    chosen.detail = name + " (" + platform::SerialDevicePath(port) + ", from " + source +
                    "); no reader attached to compare";
  } else {
    std::string there;
    bool found = false;
    for (const auto& [com, node] : readers) {
      found = found || com == name;
      there += (there.empty() ? "" : ", ") + com + " (" + node + ")";
    }
    if (found) {
      chosen.detail = name + " is the attached reader's port";
    } else {
      chosen.ok = false;
      chosen.detail = "[COM] port=" + std::to_string(port) + " in " + source + " chooses " + name +
                      " (" + platform::SerialDevicePath(port) + "), but the reader is on " + there;
      chosen.fix =
          "choose the reader's port (or 自动) in the window and press 修改串口, or set "
          "[COM] PORT=0 in " +
          source;
    }
  }
  checks.push_back(chosen);
  return checks;
}

}  // namespace brisk::tools
