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

// Runs brisk-ctl's commands, one a line, on a bus of their own once `first` has taken the
// program's name; each command's output and exit status follow "== command" in out.
Result CtlOnPrivateBus(const std::string& first, const std::vector<std::string>& commands) {
  brisk::test::TempDir home;
  std::string script = first + " & first=$!\n" +
                       "for i in $(seq 200); do\n"
                       "  dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
                       "org.freedesktop.DBus.NameHasOwner string:net.brisk.NetService |"
                       " grep -q true && break\n"
                       "  sleep 0.1\n"
                       "done\n";
  for (const std::string& c : commands)
    script += "echo \"== " + c + "\"; '" + std::string(BRISK_CTL) + "' " + c + "; echo \"rc=$?\"\n";
  script += "kill $first; wait $first 2>/dev/null; exit 0\n";
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

// brisk-ctl doctor --json on a tree of its own, optionally as another user; the exit status must
// be the number of failed checks.
nlohmann::json Doctor(const std::string& root, bool asNobody = false) {
  std::vector<std::string> args = {BRISK_CTL, "doctor", "--json", "--root", root};
  if (asNobody)
    args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  const Result r = RunProgram(args, NoDisplayEnvironment());
  auto out = nlohmann::json::parse(r.out, nullptr, false);
  if (!out.is_object()) {
    ADD_FAILURE() << r.out << r.err;
    return nlohmann::json::object();
  }
  int failed = 0;
  for (const auto& c : out["checks"]) failed += c.value("ok", false) ? 0 : 1;
  EXPECT_EQ(r.code, failed) << r.out;
  EXPECT_EQ(out.value("problems", -1), failed);
  nlohmann::json byName = nlohmann::json::object();
  for (const auto& c : out["checks"]) byName[c.value("check", "")] = c;
  return byName;
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
