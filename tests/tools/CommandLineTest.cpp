// The programs' command lines as a newcomer first meets them: --version and --help, the tray
// program without a display, brisk-ctl without the program.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
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
