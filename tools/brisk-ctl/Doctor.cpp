#include "Doctor.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/devices/DfuDevices.h"
#include "platform/devices/Hidraw.h"
#include "platform/devices/ReaderIdentities.h"
#include "platform/devices/UdevDevices.h"

namespace brisk::tools {

namespace {

namespace devices = platform::devices;

constexpr const char* kRulesName = "70-brisknetservice.rules";
constexpr const char* kGroup = "brisknet";
// Where udev reads rules, in its own order of precedence.
constexpr const char* kRulesFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                         "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
constexpr const char* kInstallFix =
    "sudo apt install --reinstall brisknetservice (or, from the sources: sudo "
    "scripts/install-udev-rules.sh), then replug the reader";

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// The rules file udev uses (the first found), and its text.
bool FindRules(const std::string& root, std::string& path, std::string& text) {
  for (const char* folder : kRulesFolders) {
    std::ifstream in(root + folder + "/" + kRulesName);
    if (!in) continue;
    path = std::string(folder) + "/" + kRulesName;
    std::stringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
  }
  return false;
}

// The rule lines that match the serial port of this identity.
std::vector<std::string> SerialRules(const std::string& text, const devices::ReaderIdentity& id) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  const std::string vendor = "ATTRS{idVendor}==\"" + Hex4(id.vendorId) + "\"";
  const std::string product = "ATTRS{idProduct}==\"" + Hex4(id.productId) + "\"";
  for (std::string line; std::getline(lines, line);)
    if (line.rfind('#', 0) != 0 && line.find("SUBSYSTEM==\"tty\"") != std::string::npos &&
        line.find(vendor) != std::string::npos && line.find(product) != std::string::npos)
      found.push_back(line);
  return found;
}

bool InGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgroups(count, groups.data()) < 0) return false;
  for (gid_t g : groups)
    if (g == gid) return true;
  return false;
}

// The attached reader's serial and HID nodes (none when no reader is attached).
std::vector<std::string> ReaderNodes() {
  std::vector<std::string> nodes;
  for (const devices::TtyDevice& tty : devices::EnumerateTtyDevices())
    if (tty.hasUsbIdentity && !tty.devNode.empty() &&
        devices::OffersAny(tty.vendorId, tty.productId, devices::kSerialPort))
      nodes.push_back(tty.devNode);
  for (const devices::ReaderIdentity& id : devices::kReaderIdentities) {
    if (!(id.offers & devices::kHidEnterDfu)) continue;
    const std::string wanted = devices::HidIdentityText(id);
    for (const devices::HidrawNode& hid : devices::EnumerateHidraw())
      if (hid.pathText.find(wanted) != std::string::npos && !hid.devNode.empty())
        nodes.push_back(hid.devNode);
  }
  return nodes;
}

std::string UserName() {
  const passwd* pw = getpwuid(geteuid());
  return pw ? pw->pw_name : std::to_string(geteuid());
}

}  // namespace

std::vector<DoctorCheck> RunDoctorChecks(const std::string& root) {
  std::vector<DoctorCheck> checks;
  std::string path, text;
  const bool haveRules = FindRules(root, path, text);

  DoctorCheck rules{"udev rules", false, "", kInstallFix};
  DoctorCheck modem{"ModemManager", false, "", kInstallFix};
  if (!haveRules) {
    std::string where;
    for (const char* folder : kRulesFolders)
      where += std::string(where.empty() ? "" : ", ") + folder;
    rules.detail = std::string("no ") + kRulesName + " in " + where;
    modem.detail = "no rules tell ModemManager to leave the reader's port alone";
  } else {
    std::string missing;
    bool ignored = true;
    for (const devices::ReaderIdentity& id : devices::kReaderIdentities) {
      if (!(id.offers & devices::kSerialPort)) continue;
      const auto lines = SerialRules(text, id);
      if (lines.empty()) missing += " " + Hex4(id.vendorId) + ":" + Hex4(id.productId);
      for (const std::string& line : lines)
        ignored = ignored && line.find("ENV{ID_MM_DEVICE_IGNORE}=\"1\"") != std::string::npos;
    }
    const bool grouped = text.find(std::string("GROUP=\"") + kGroup + "\"") != std::string::npos;
    rules.ok = missing.empty() && grouped;
    rules.detail = path + (missing.empty() ? "" : " lacks the reader identities" + missing) +
                   (grouped ? ""
                            : std::string(missing.empty() ? "" : ";") + " gives no node to " +
                                  kGroup + " (an older version)");
    modem.ok = missing.empty() && ignored;
    modem.detail = modem.ok ? "the reader's ports are marked ID_MM_DEVICE_IGNORE"
                            : path + " does not keep ModemManager off every reader port";
  }
  if (rules.ok) rules.fix.clear();
  if (modem.ok) modem.fix.clear();
  checks.push_back(rules);
  checks.push_back(modem);

  // Nodes are only tried for access, not opened: opening the port would reset the reader.
  DoctorCheck access{"reader access", true, "", ""};
  std::string denied;
  const auto nodes = ReaderNodes();
  for (const std::string& node : nodes)
    if (::access(node.c_str(), R_OK | W_OK) != 0)
      denied += (denied.empty() ? "" : ", ") + node + " (" + std::strerror(errno) + ")";
  if (nodes.empty()) {
    access.detail = "no reader attached";
  } else if (denied.empty()) {
    std::string all;
    for (const std::string& node : nodes) all += (all.empty() ? "" : ", ") + node;
    access.detail = UserName() + " may read and write " + all;
  } else {
    access.ok = false;
    access.detail = UserName() + " may not read and write " + denied;
    access.fix = std::string("install the udev rules (see above), add ") + UserName() + " to " +
                 kGroup + ", then replug the reader";
  }
  checks.push_back(access);

  // uaccess covers the active session's user only; a service nobody logs into needs the group.
  DoctorCheck member{kGroup + std::string(" group"), false, "", ""};
  const struct group* entry = getgrnam(kGroup);
  if (geteuid() == 0) {
    member.ok = true;
    member.detail = "root opens the reader's nodes without it";
  } else if (!entry) {
    member.detail = std::string("there is no group ") + kGroup;
    member.fix = std::string("sudo addgroup --system ") + kGroup + " && sudo adduser " +
                 UserName() + " " + kGroup;
  } else if (InGroup(entry->gr_gid)) {
    member.ok = true;
    member.detail = UserName() + " is in " + kGroup;
  } else {
    member.detail =
        UserName() + " is not in " + kGroup + " (needed where no session of this user is active)";
    member.fix = "sudo adduser " + UserName() + " " + kGroup + ", then log in again";
  }
  checks.push_back(member);

  // A reader that restarted in DFU mode and was never flashed reads no cards.
  DoctorCheck dfu{"DFU mode", true, "no reader waits in DFU mode", ""};
  for (int interfaceClass : {1, 2})
    for (const devices::DfuInterface& found : devices::EnumerateDfuInterfaces(interfaceClass))
      if (dfu.ok && devices::OffersAny(found.vendorId, found.productId, devices::kDfuMode)) {
        dfu.ok = false;
        dfu.detail = "a reader waits in DFU mode (USB " + Hex4(found.vendorId) + ":" +
                     Hex4(found.productId) + ", " + found.sysPath +
                     "): its upgrade was cut off, and it reads no cards until it is flashed";
        dfu.fix =
            "start the program (it finishes the upgrade at start-up: systemctl --user restart "
            "brisknetservice, or BriskNetService), or flash it: brisk-dfu flash PACKAGE";
      }
  checks.push_back(dfu);
  return checks;
}

int RunDoctorCommand(int argc, char** argv) {
  bool json = false;
  std::string root;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      root = argv[++i];
    } else {
      std::fputs("usage: brisk-ctl doctor [--json] [--root DIR]\n", stderr);
      return 64;
    }
  }
  auto checks = RunDoctorChecks(root);
  for (DoctorCheck& c : SettingsChecks(root)) checks.push_back(std::move(c));
  for (DoctorCheck& c : SessionChecks()) checks.push_back(std::move(c));
  int problems = 0;
  nlohmann::json list = nlohmann::json::array();
  for (const DoctorCheck& c : checks) {
    problems += c.ok ? 0 : 1;
    if (json) {
      nlohmann::json one = {{"check", c.name}, {"ok", c.ok}, {"detail", c.detail}};
      if (!c.ok) one["fix"] = c.fix;
      list.push_back(std::move(one));
    } else {
      std::printf("%-4s %s: %s\n", c.ok ? "ok" : "FAIL", c.name.c_str(), c.detail.c_str());
      if (!c.ok) std::printf("     fix: %s\n", c.fix.c_str());
    }
  }
  if (json) {
    const nlohmann::json out = {{"problems", problems}, {"checks", std::move(list)}};
    std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  }
  return problems;
}

}  // namespace brisk::tools
