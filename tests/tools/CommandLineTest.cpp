// The programs' command lines as a newcomer first meets them: --version and --help, the tray
// program without a display, brisk-ctl without the program, with it, and with a program that does
// not answer.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

using Result = brisk::test::ProgramResult;

// This environment without a display, plus extra; the sanitizers' preloads are kept out of
// helper programs.
std::vector<std::string> NoDisplayEnvironment(const std::vector<std::string>& extra = {}) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "QT_QPA_PLATFORM" &&
        name != "LD_PRELOAD")
      env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

Result RunProgram(std::vector<std::string> args, const std::vector<std::string>& env) {
  brisk::test::ProgramRun how;
  how.env = env;
  how.envReplaces = true;
  how.timeoutSeconds = 60;
  return brisk::test::RunProgram(std::move(args), how);
}

}  // namespace

TEST(CommandLine, EveryProgramAnswersVersionAndHelpWithoutADeviceADisplayOrABus) {
  const std::vector<std::pair<std::string, std::string>> programs = {
      {"BriskNetService", BRISK_SERVICE},
      {"brisk-ctl", BRISK_CTL},
      {"brisk-reader", BRISK_READER},
#ifdef BRISK_DFU
      {"brisk-dfu", BRISK_DFU},
#endif
  };
  const auto env = NoDisplayEnvironment({"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"});
  for (const auto& [name, path] : programs) {
    const Result version = RunProgram({path, "--version"}, env);
    EXPECT_EQ(version.code, 0) << name << version.err;
    EXPECT_EQ(version.out, name + " " + BRISK_VERSION + "\n");
    const Result help = RunProgram({path, "--help"}, env);
    EXPECT_EQ(help.code, 0) << name << help.err;
    EXPECT_NE((help.out + help.err).find(name), std::string::npos) << name;
  }
}

TEST(CommandLine, TheTrayProgramWithoutADisplaySaysItNeedsADesktopSessionAndExits1) {
  const Result r = RunProgram({BRISK_SERVICE}, NoDisplayEnvironment());
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("needs a desktop session"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(CommandLine, BriskCtlWithoutTheProgramSaysItIsNotRunningAndFails) {
  // A bus of its own on which nobody holds the program's name.
  for (const std::string command : {"status", "start", "show"}) {
    const Result r =
        RunProgram({"dbus-run-session", "--", BRISK_CTL, command}, NoDisplayEnvironment());
    EXPECT_EQ(r.code, 1) << command << r.err;
    // The bus daemon (and, in sanitized builds, the toolkit at exit) may add lines of their
    // own; brisk-ctl says this one thing, and not the bus's words.
    const std::string said = "brisk-ctl: BriskNetService is not running\n";
    const size_t at = r.err.find(said);
    EXPECT_TRUE(at == 0 || (at != std::string::npos && r.err[at - 1] == '\n')) << r.err;
    EXPECT_EQ(r.err.find("brisk-ctl"), at) << r.err;
    EXPECT_EQ(r.err.find(".service files"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << command;
  }
}

namespace {

// Waits up to 20 s for a name on the session bus.
std::string WaitForName(const std::string& name) {
  return "for i in $(seq 200); do\n"
         "  dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
         "org.freedesktop.DBus.NameHasOwner string:" +
         name +
         " | grep -q true && break\n"
         "  sleep 0.1\n"
         "done\n";
}

// Runs brisk-ctl's commands, one a line, on a bus of their own once `first` (if any) has taken
// the program's name, after the shell commands of setup; each command's output and exit status
// follow "== command" in out. The bus is the system bus too, where no logind answers unless
// setup starts one (kWithLogind).
Result CtlOnPrivateBus(const std::string& first, const std::vector<std::string>& commands,
                       const std::string& setup = "") {
  brisk::test::TempDir home;
  std::string script = "export DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS\n" + setup;
  if (!first.empty()) script += first + " &\n" + WaitForName("net.brisk.NetService");
  for (const std::string& c : commands)
    script += "echo \"== " + c + "\"; '" + std::string(BRISK_CTL) + "' " + c + "; echo \"rc=$?\"\n";
  // jobs in a command substitution would list the subshell's (none).
  script +=
      "jobs -p >\"$TMPDIR/jobs\"; kill $(cat \"$TMPDIR/jobs\") 2>/dev/null\n"
      "wait 2>/dev/null; exit 0\n";
  return RunProgram(
      {"dbus-run-session", "--", "sh", "-c", script},
      NoDisplayEnvironment({"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + home.Path(),
                            "TMPDIR=" + home.Path()}));
}

// The part of out that "== command" starts, up to the next command.
std::string Section(const std::string& out, const std::string& command) {
  const std::string head = "== " + command + "\n";
  const size_t at = out.find(head);
  if (at == std::string::npos) return "";
  const size_t start = at + head.size();
  const size_t end = out.find("\n== ", start);
  return out.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
}

}  // namespace

TEST(CommandLine, BriskCtlStatusJsonIsOneObjectWithTheStatusByteAndTypedProperties) {
  const Result r = CtlOnPrivateBus(std::string("'") + BRISK_SERVICE + "' 2>/dev/null",
                                   {"status", "status --json", "status --xml"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string plain = Section(r.out, "status");
  ASSERT_NE(plain.find("\nrc=0\n"), std::string::npos) << r.out << r.err;
  const std::string json = Section(r.out, "status --json");
  ASSERT_NE(json.find("\nrc=0\n"), std::string::npos) << r.out << r.err;
  const std::string line = json.substr(0, json.find('\n'));
  EXPECT_EQ(json, line + "\nrc=0\n") << "one line, one object";
  const auto object = nlohmann::json::parse(line, nullptr, false);
  ASSERT_TRUE(object.is_object()) << line;
  EXPECT_EQ(object.value("running", false), true);
  ASSERT_TRUE(object["status"].is_number_integer()) << line;
  EXPECT_EQ(std::to_string(object["status"].get<int>()), plain.substr(0, plain.find('\n')));
  const auto& properties = object["properties"];
  ASSERT_TRUE(properties.is_object()) << line;
  EXPECT_TRUE(properties["LinkUp"].is_boolean()) << line;
  EXPECT_TRUE(properties["ComBytesRead"].is_number_unsigned()) << line;
  EXPECT_TRUE(properties["PortLine"].is_string()) << line;
  // Every NAME=value line of the plain form is a property of the object.
  std::istringstream lines(plain.substr(plain.find('\n') + 1));
  size_t count = 0;
  for (std::string l; std::getline(lines, l) && l.rfind("rc=", 0) != 0; ++count)
    EXPECT_TRUE(properties.contains(l.substr(0, l.find('=')))) << l;
  EXPECT_EQ(count, properties.size());
  EXPECT_EQ(Section(r.out, "status --xml"), "rc=64\n");
}

TEST(CommandLine, BriskCtlStatusPrintsTheUpgradeAndThePlatformAfterTheFirstVersionsLines) {
  // A newer program, played on the bus; the older one (without these) is the test above.
  const std::string standin = std::string("/usr/bin/python3 '") + BRISK_SOURCE_DIR +
                              "/tests/tools/service-standin.py' UpgradeState=s:flashing "
                              "PlatformAddress=s:127.0.0.1:6000 UpgradeProgress=u:42 "
                              "LinkUp=b:true PortLine=s:COM1 NetMode=i:2";
  const Result r = CtlOnPrivateBus(standin, {"status", "status --json"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Section(r.out, "status"),
            "1\nLinkUp=true\nNetMode=2\nPortLine=COM1\nUpgradeState=flashing\nUpgradeProgress=42\n"
            "PlatformAddress=127.0.0.1:6000\nrc=0\n")
      << r.err;
  const std::string json = Section(r.out, "status --json");
  const auto object = nlohmann::json::parse(json.substr(0, json.find('\n')), nullptr, false);
  ASSERT_TRUE(object.is_object()) << json;
  const auto& properties = object["properties"];
  EXPECT_EQ(properties.value("UpgradeState", ""), "flashing") << json;
  ASSERT_TRUE(properties["UpgradeProgress"].is_number_unsigned()) << json;
  EXPECT_EQ(properties["UpgradeProgress"].get<unsigned>(), 42u);
  EXPECT_EQ(properties.value("PlatformAddress", ""), "127.0.0.1:6000");
}

TEST(CommandLine, BriskCtlAgainstAProgramThatDoesNotAnswerSaysSoInItsOwnWords) {
  // Holds the name and answers nothing at the program's object, as a hung or foreign program.
  const std::string holder =
      "/usr/bin/python3 -c 'import dbus, dbus.service\n"
      "from gi.repository import GLib\n"
      "from dbus.mainloop.glib import DBusGMainLoop\n"
      "DBusGMainLoop(set_as_default=True)\n"
      "bus = dbus.SessionBus()\n"
      "name = dbus.service.BusName(\"net.brisk.NetService\", bus)\n"
      "GLib.MainLoop().run()'";
  const Result r = CtlOnPrivateBus(holder, {"status", "status --json", "start"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string said =
      "brisk-ctl: the program that holds net.brisk.NetService does not answer as BriskNetService\n";
  EXPECT_EQ(Section(r.out, "status"), "rc=1\n");
  EXPECT_EQ(Section(r.out, "start"), "rc=1\n");
  const std::string json = Section(r.out, "status --json");
  const auto object = nlohmann::json::parse(json.substr(0, json.find('\n')), nullptr, false);
  ASSERT_TRUE(object.is_object()) << json;
  EXPECT_EQ(object.value("running", true), false);
  EXPECT_EQ(object.value("error", "") + "\n", said.substr(11));
  EXPECT_EQ(json.substr(json.find('\n')), "\nrc=1\n");
  size_t count = 0;
  for (size_t at = r.err.find(said); at != std::string::npos; at = r.err.find(said, at + 1))
    ++count;
  EXPECT_EQ(count, 3u) << r.err;
  EXPECT_EQ(r.err.find("invalid type"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("doesn't exist"), std::string::npos) << "not the bus's words: " << r.err;
}

namespace {

// The checks of one `doctor --json` run by name (out may hold other lines); its exit status must
// be the number of failed checks.
nlohmann::json ChecksByName(const std::string& out, int code) {
  nlohmann::json object;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("{", 0) == 0) object = nlohmann::json::parse(line, nullptr, false);
  if (!object.is_object()) {
    ADD_FAILURE() << out;
    return nlohmann::json::object();
  }
  int failed = 0;
  for (const auto& c : object["checks"]) failed += c.value("ok", false) ? 0 : 1;
  EXPECT_EQ(code, failed) << out;
  EXPECT_EQ(object.value("problems", -1), failed);
  nlohmann::json byName = nlohmann::json::object();
  for (const auto& c : object["checks"]) byName[c.value("check", "")] = c;
  return byName;
}

// brisk-ctl doctor --json on a tree of its own, optionally as another user or under a command
// (the emulated reader), with more environment.
nlohmann::json Doctor(const std::string& root, bool asNobody = false,
                      std::vector<std::string> under = {},
                      const std::vector<std::string>& env = {}) {
  if (asNobody)
    under.insert(under.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  under.insert(under.end(), {BRISK_CTL, "doctor", "--json", "--root", root});
  const Result r = RunProgram(under, NoDisplayEnvironment(env));
  return ChecksByName(r.out, r.code);
}

// The checks of the doctor run that Section names, with its exit status.
nlohmann::json DoctorSection(const Result& r, const std::string& command) {
  const std::string out = Section(r.out, command);
  const size_t rc = out.rfind("rc=");
  if (rc == std::string::npos) {
    ADD_FAILURE() << r.out << r.err;
    return nlohmann::json::object();
  }
  return ChecksByName(out.substr(0, rc), std::atoi(out.c_str() + rc + 3));
}

std::string WriteRules(const std::string& root, const std::string& text) {
  const std::string folder = root + "/usr/lib/udev/rules.d";
  std::system(("mkdir -p '" + folder + "'").c_str());
  std::ofstream(folder + "/70-brisknetservice.rules") << text;
  return folder + "/70-brisknetservice.rules";
}

}  // namespace

TEST(CommandLine, DoctorNamesMissingOrStaleRulesWithTheCommandThatInstallsThem) {
  brisk::test::TempDir root;
  auto checks = Doctor(root.Path());
  EXPECT_FALSE(checks["udev rules"].value("ok", true));
  EXPECT_NE(checks["udev rules"]
                .value("detail", "")
                .find("no 70-brisknetservice.rules in "
                      "/etc/udev/rules.d"),
            std::string::npos);
  EXPECT_NE(checks["udev rules"].value("fix", "").find("install-udev-rules.sh"), std::string::npos);
  EXPECT_FALSE(checks["ModemManager"].value("ok", true));

  // This version's file: both pass.
  std::ifstream in(std::string(BRISK_SOURCE_DIR) + "/data/udev/70-brisknetservice.rules");
  const std::string current((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(current.empty());
  WriteRules(root.Path(), current);
  checks = Doctor(root.Path());
  EXPECT_TRUE(checks["udev rules"].value("ok", false)) << checks.dump();
  EXPECT_TRUE(checks["ModemManager"].value("ok", false)) << checks.dump();

  // An older file: one reader identity missing, no group, one port left to ModemManager.
  std::string stale;
  std::istringstream lines(current);
  for (std::string l; std::getline(lines, l);) {
    if (l.find("\"c35a\"") != std::string::npos) continue;
    for (const std::string cut :
         {", GROUP=\"brisknet\", MODE=\"0660\"", ", ENV{ID_MM_DEVICE_IGNORE}=\"1\""})
      if (const size_t at = l.find(cut); at != std::string::npos) l.erase(at, cut.size());
    stale += l + "\n";
  }
  WriteRules(root.Path(), stale);
  checks = Doctor(root.Path());
  const std::string detail = checks["udev rules"].value("detail", "");
  EXPECT_FALSE(checks["udev rules"].value("ok", true));
  EXPECT_NE(detail.find("lacks the reader identities 0400:c35a"), std::string::npos) << detail;
  EXPECT_NE(detail.find("gives no node to brisknet"), std::string::npos) << detail;
  EXPECT_FALSE(checks["ModemManager"].value("ok", true));
}

TEST(CommandLine, DoctorAsAnotherUserNamesTheMissingBrisknetMembership) {
  brisk::test::TempDir root;
  std::system(("chmod 0755 '" + root.Path() + "'").c_str());
  auto checks = Doctor(root.Path(), true);
  const auto& group = checks["brisknet group"];
  EXPECT_FALSE(group.value("ok", true)) << checks.dump();
  EXPECT_NE(group.value("fix", "").find("adduser nobody brisknet"), std::string::npos)
      << checks.dump();
  // As root the group is not needed.
  checks = Doctor(root.Path());
  if (geteuid() == 0) {
    EXPECT_TRUE(checks["brisknet group"].value("ok", false)) << checks.dump();
  }
}

#ifdef BRISK_USB_SIM
TEST(CommandLine, DoctorNamesTheReaderNodesThatThisUserCannotOpen) {
  // The reader on an emulated USB bus; its testbed made readable so that another user sees the
  // devices, while the nodes themselves stay root's.
  const auto run = [](const std::string& asUser) {
    const std::string script = std::string("chmod -R a+rX \"$UMOCKDEV_DIR\"; ") + asUser + "'" +
                               BRISK_CTL + "' doctor --json";
    return RunProgram({BRISK_USB_SIM, "--", "sh", "-c", script}, NoDisplayEnvironment());
  };
  const auto accessOf = [](const Result& r) {
    for (std::istringstream lines(r.out); !lines.eof();) {
      std::string line;
      std::getline(lines, line);
      const auto out = nlohmann::json::parse(line, nullptr, false);
      if (out.is_object())
        for (const auto& c : out["checks"])
          if (c.value("check", "") == "reader access") return c;
    }
    ADD_FAILURE() << r.out << r.err;
    return nlohmann::json::object();
  };
  if (geteuid() == 0) {
    const auto mine = accessOf(run(""));
    EXPECT_TRUE(mine.value("ok", false)) << mine.dump();
    EXPECT_NE(mine.value("detail", "").find("/dev/ttyACM0"), std::string::npos) << mine.dump();
  }
  const auto nobody = accessOf(run("setpriv --reuid=65534 --regid=65534 --clear-groups "));
  EXPECT_FALSE(nobody.value("ok", true)) << nobody.dump();
  const std::string detail = nobody.value("detail", "");
  EXPECT_NE(detail.find("nobody may not read and write /dev/ttyACM0 (Permission denied)"),
            std::string::npos)
      << detail;
  EXPECT_NE(detail.find("/dev/hidraw"), std::string::npos) << detail;
  EXPECT_NE(nobody.value("fix", "").find("add nobody to brisknet"), std::string::npos);
}
#endif

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::system(("mkdir -p '" + path.substr(0, path.rfind('/')) + "'").c_str());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Utf16(const std::string& ascii) {
  std::string text = "\xff\xfe";
  for (char c : ascii) text += std::string(1, c) + '\0';
  return text;
}

// A person's settings folder and a seat's root of their own.
struct SettingsSeat {
  brisk::test::TempDir home, root;
  std::string Own() const { return home.Path() + "/BriskNetService/setting.ini"; }
  std::string Seat() const { return root.Path() + "/etc/xdg/BriskNetService/setting.ini"; }
  std::vector<std::string> Env() const {
    return {"XDG_CONFIG_HOME=" + home.Path(), "XDG_CONFIG_DIRS=/etc/xdg"};
  }
  nlohmann::json Doctor(std::vector<std::string> under = {}) const {
    return ::Doctor(root.Path(), false, std::move(under), Env());
  }
};

bool Has(const nlohmann::json& check, const char* field, const std::string& text) {
  return check.value(field, "").find(text) != std::string::npos;
}

}  // namespace

TEST(CommandLine, DoctorNamesSettingsThatTheProgramWouldReadOtherwiseThanMeant) {
  SettingsSeat seat;
  auto checks = seat.Doctor();
  EXPECT_TRUE(checks["settings"].value("ok", false)) << checks.dump();
  EXPECT_TRUE(checks["seat defaults"].value("ok", false)) << checks.dump();

  WriteFile(seat.Own(), Utf16("[SETTING]\r\nAutoStart=0\r\n"));
  checks = seat.Doctor();
  EXPECT_FALSE(checks["settings"].value("ok", true));
  EXPECT_TRUE(Has(checks["settings"], "detail", seat.Own() + " is UTF-16")) << checks.dump();
  EXPECT_TRUE(Has(checks["settings"], "fix", "iconv -f UTF-16 -t UTF-8")) << checks.dump();

  WriteFile(seat.Own(), "[SETTING]\nAutoStart=abc\n[HeartBeat]\nUsb=600\nCat1=5\n");
  checks = seat.Doctor();
  const std::string detail = checks["settings"].value("detail", "");
  EXPECT_FALSE(checks["settings"].value("ok", true));
  EXPECT_NE(detail.find("[SETTING] AutoStart=abc is read as 0 (off)"), std::string::npos) << detail;
  EXPECT_NE(detail.find("[HeartBeat] Cat1=5 is outside 60..600"), std::string::npos) << detail;
  EXPECT_EQ(detail.find("Usb"), std::string::npos) << detail;
  EXPECT_TRUE(checks["seat defaults"].value("ok", false)) << checks.dump();

  // The seat's file is checked as well, and its fix is an administrator's.
  WriteFile(seat.Own(), "[SETTING]\nAutoStart=0\n");
  WriteFile(seat.Seat(), "[CONNECT]\nTYPE=7\n[Set]\nVerifyCertificates=1\n");
  checks = seat.Doctor();
  EXPECT_TRUE(checks["settings"].value("ok", false)) << checks.dump();
  EXPECT_FALSE(checks["seat defaults"].value("ok", true));
  EXPECT_TRUE(Has(checks["seat defaults"], "detail",
                  "/etc/xdg/BriskNetService/setting.ini [CONNECT] TYPE=7 is no network mode"))
      << checks.dump();
  EXPECT_TRUE(Has(checks["seat defaults"], "fix", "sudoedit /etc/xdg/BriskNetService/setting.ini"));
}

#ifdef BRISK_USB_SIM
TEST(CommandLine, DoctorNamesAChosenPortWhereNoReaderIsAndAReaderLeftInDfuMode) {
  SettingsSeat seat;
  const std::vector<std::string> usb = {BRISK_USB_SIM, "--"};
  // The seat's stale choice counts where the person's file has none, and the person's wins.
  WriteFile(seat.Seat(), "[COM]\nPORT=99\n");
  auto chosen = seat.Doctor(usb)["chosen port"];
  EXPECT_FALSE(chosen.value("ok", true)) << chosen.dump();
  EXPECT_TRUE(Has(chosen, "detail", "chooses COM99 (/dev/ttyACM98), but the reader is on COM1"))
      << chosen.dump();
  EXPECT_TRUE(Has(chosen, "fix", "PORT=0 in /etc/xdg/BriskNetService/setting.ini"))
      << chosen.dump();
  WriteFile(seat.Own(), "[COM]\nPORT=1\n");
  chosen = seat.Doctor(usb)["chosen port"];
  EXPECT_TRUE(chosen.value("ok", false)) << chosen.dump();

  const auto dfu = seat.Doctor({BRISK_USB_SIM, "--mode", "dfu", "--"})["DFU mode"];
  EXPECT_FALSE(dfu.value("ok", true)) << dfu.dump();
  EXPECT_TRUE(Has(dfu, "detail", "a reader waits in DFU mode (USB 0483:a19b")) << dfu.dump();
  EXPECT_TRUE(Has(dfu, "fix", "brisk-dfu flash")) << dfu.dump();
  EXPECT_TRUE(seat.Doctor(usb)["DFU mode"].value("ok", false));
}
#endif

namespace {

// logind played by python3-dbusmock on the private bus, which is the system bus too.
const std::string kWithLogind =
    "/usr/bin/python3 -m dbusmock --system --template logind >/dev/null 2>&1 &\n" +
    WaitForName("org.freedesktop.login1");

// The program played by a stand-in started as brisknetd (a link to the interpreter), saying
// where its platform is; port is shell text.
std::string HeadlessStandin(const std::string& port) {
  return "ln -sf /usr/bin/python3 \"$TMPDIR/brisknetd\"; \"$TMPDIR/brisknetd\" '" +
         std::string(BRISK_SOURCE_DIR) +
         "/tests/tools/service-standin.py' ServiceEnabled=b:true PlatformAddress=s:127.0.0.1:" +
         port;
}

}  // namespace

TEST(CommandLine, DoctorAsksWhichProgramRunsWhetherItsPlatformAnswersAndWhetherLogindDoes) {
  // Nothing runs, and no logind answers.
  Result r = CtlOnPrivateBus("", {"doctor --json"});
  auto checks = DoctorSection(r, "doctor --json");
  EXPECT_FALSE(checks["program"].value("ok", true)) << checks.dump();
  EXPECT_TRUE(Has(checks["program"], "fix", "systemctl --user enable --now brisknetservice"));
  EXPECT_TRUE(checks["platform"].value("ok", false)) << "not checked: " << checks.dump();
  EXPECT_FALSE(checks["logind"].value("ok", true)) << checks.dump();
  EXPECT_FALSE(checks.contains("tray host")) << checks.dump();

  // The headless program, its platform listening; then the same port closed.
  const std::string listen =
      "/usr/bin/python3 -c 'import socket, time\n"
      "s = socket.socket(); s.bind((\"127.0.0.1\", 0)); s.listen()\n"
      "print(s.getsockname()[1], flush=True); time.sleep(120)' >\"$TMPDIR/port\" &\n"
      "until [ -s \"$TMPDIR/port\" ]; do sleep 0.05; done\n";
  r = CtlOnPrivateBus(HeadlessStandin("$(cat \"$TMPDIR/port\")"), {"doctor --json"},
                      kWithLogind + listen);
  checks = DoctorSection(r, "doctor --json");
  EXPECT_TRUE(checks["program"].value("ok", false)) << checks.dump();
  EXPECT_TRUE(Has(checks["program"], "detail", "the headless program runs")) << checks.dump();
  EXPECT_TRUE(checks["platform"].value("ok", false)) << checks.dump();
  EXPECT_TRUE(Has(checks["platform"], "detail", "accepts a connection")) << checks.dump();
  EXPECT_TRUE(checks["logind"].value("ok", false)) << checks.dump();
  EXPECT_FALSE(checks.contains("tray host")) << "only the tray program needs one";

  const std::string closed =
      "port=$(/usr/bin/python3 -c 'import socket\n"
      "s = socket.socket(); s.bind((\"127.0.0.1\", 0)); print(s.getsockname()[1])')\n";
  r = CtlOnPrivateBus(HeadlessStandin("$port"), {"doctor --json"}, closed);
  checks = DoctorSection(r, "doctor --json");
  EXPECT_FALSE(checks["platform"].value("ok", true)) << checks.dump();
  EXPECT_TRUE(Has(checks["platform"], "detail", "refuses the connection")) << checks.dump();
  EXPECT_TRUE(Has(checks["platform"], "fix", "brisk-reader platform get")) << checks.dump();
}

TEST(CommandLine, DoctorNamesAMissingTrayHostForTheTrayProgram) {
  const Result r =
      CtlOnPrivateBus(std::string("'") + BRISK_SERVICE + "' 2>/dev/null", {"doctor --json"});
  auto checks = DoctorSection(r, "doctor --json");
  EXPECT_TRUE(Has(checks["program"], "detail", "the tray program runs")) << checks.dump();
  EXPECT_FALSE(checks["tray host"].value("ok", true)) << checks.dump();
  EXPECT_TRUE(Has(checks["tray host"], "fix", "appindicator")) << checks.dump();
}
