#pragma once
// brisk-ctl doctor: checks of the seat that need no running program.
#include <string>
#include <vector>

namespace brisk::tools {

struct DoctorCheck {
  std::string name;
  bool ok = false;
  std::string detail;  // what was found
  std::string fix;     // what to do about it, when it failed
};

// root prefixes every system path ("" for this system): an image can be checked before it is
// deployed, and the tests check a tree of their own.
// The seat: udev rules, ModemManager, node access, the group, a reader left in DFU mode.
std::vector<DoctorCheck> RunDoctorChecks(const std::string& root);
// The person's settings file, the seat defaults ($XDG_CONFIG_DIRS/BriskNetService/setting.ini,
// under root), and the port they choose against the attached reader.
std::vector<DoctorCheck> SettingsChecks(const std::string& root);
// Over the buses: the program and its kind, its platform, logind, and a tray host for the tray
// program.
std::vector<DoctorCheck> SessionChecks();

// "doctor [--json] [--root DIR]": one line per check (or one JSON object); the exit status is
// the number of problems, 64 on a bad command line.
int RunDoctorCommand(int argc, char** argv);

}  // namespace brisk::tools
