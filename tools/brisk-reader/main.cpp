// brisk-reader: talks to the card reader from the command line, for technicians and scripts.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "link/Brisk7Service.h"
#include "link/NetworkQuality.h"
#include "log/Escape.h"
#include "log/Log.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "tools/brisk-reader/ReaderOutput.h"
#include "tools/brisk-reader/Relay.h"

using namespace brisk;
using namespace brisk::link;
using namespace brisk::tools;

namespace {

// A relay asked to stop gets this long for its clean stop (the disconnect notice) before the
// tool ends anyway.
constexpr int kRelayStopGraceMs = 5000;

const char kUsage[] =
    "usage: brisk-reader (--device PATH | --port N) [--json] [--log] COMMAND\n"
    "       brisk-reader --version | --help\n"
    "  cat1 | mode 1|2 | status | disconnect | auth | enter-dfu\n"
    "  platform get | platform set POLICY CACHE HOST PORT\n"
    "  heartbeat get | heartbeat set USB CAT1\n"
    "  net-test [COUNT]\n"
    "  relay [--platform HOST:PORT] [--mode auto|1|2]\n";

// Set when SIGINT or SIGTERM arrived; the relay checks it between its steps.
std::atomic<bool> g_stop{false};
// With --json, standard output carries JSON objects only; everything for people goes here.
FILE* g_say = stdout;

int Usage(const char* why = nullptr) {
  if (why) std::fprintf(stderr, "brisk-reader: %s\n", why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// Whole decimal number in [low, high], or false.
bool ParseNumber(const std::string& text, long low, long high, long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno || *end || v < low || v > high) return false;
  out = v;
  return true;
}

bool g_json = false;

void PrintPackagePath(const std::string& path) {
  if (g_json)
    std::fputs(JsonLine({{"event", "package"}, {"path", path}}).c_str(), stdout);
  else
    std::printf("%s\n", EscapeControl(path).c_str());
  std::fflush(stdout);
}

struct Options {
  std::string device;
  long port = 0;
  bool json = false;
  bool log = false;
  std::vector<std::string> args;
};

// One command line, checked before the reader is opened.
struct Command {
  enum Kind {
    Cat1,
    Mode,
    Status,
    Disconnect,
    Auth,
    EnterDfu,
    PlatformGet,
    PlatformSet,
    HeartbeatGet,
    HeartbeatSet,
    NetTest,
    Relay
  } kind = Cat1;
  long n[3] = {};    // mode; policy, cache, port; usb, cat1; count
  std::string text;  // platform host
  RelayRequest relay;
};

// Returns false (after printing why) when the words are not a command.
bool ParseCommand(const std::vector<std::string>& a, Command& c) {
  auto is = [&](size_t n, const char* w0, const char* w1 = nullptr) {
    return a.size() == n && a[0] == w0 && (!w1 || a[1] == w1);
  };
  // The commands without arguments.
  const std::pair<const char*, Command::Kind> plain[] = {{"cat1", Command::Cat1},
                                                         {"status", Command::Status},
                                                         {"disconnect", Command::Disconnect},
                                                         {"auth", Command::Auth},
                                                         {"enter-dfu", Command::EnterDfu},
                                                         {"platform get", Command::PlatformGet},
                                                         {"heartbeat get", Command::HeartbeatGet}};
  const std::string words = a.empty() ? "" : a.size() == 1 ? a[0] : a[0] + " " + a[1];
  for (const auto& [text, kind] : plain)
    if (a.size() <= 2 && words == text) return c.kind = kind, true;
  if (is(2, "mode")) {
    c.kind = Command::Mode;
    if (!ParseNumber(a[1], 1, 2, c.n[0])) return Usage("mode is 1 or 2"), false;
  } else if (is(6, "platform", "set")) {
    c.kind = Command::PlatformSet;
    c.text = a[4];
    if (!ParseNumber(a[2], 0, 255, c.n[0]) || !ParseNumber(a[3], 0, 255, c.n[1]) ||
        !ParseNumber(a[5], 0, 65535, c.n[2]) || c.text.empty() || c.text.size() > 250)
      return Usage("platform set POLICY CACHE HOST PORT (host of at most 250 characters)"), false;
  } else if (is(4, "heartbeat", "set")) {
    c.kind = Command::HeartbeatSet;
    if (!ParseNumber(a[2], 0, 65535, c.n[0]) || !ParseNumber(a[3], 0, 65535, c.n[1]))
      return Usage("heartbeat set USB CAT1 (seconds)"), false;
  } else if (!a.empty() && a[0] == "net-test" && a.size() <= 2) {
    c.kind = Command::NetTest;
    c.n[0] = 10;
    if (a.size() == 2 && !ParseNumber(a[1], 1, 1000, c.n[0]))
      return Usage("net-test COUNT is 1 to 1000"), false;
  } else if (!a.empty() && a[0] == "relay") {
    c.kind = Command::Relay;
    std::string address;
    for (size_t i = 1; i < a.size(); ++i) {
      if (a[i] == "--platform" && i + 1 < a.size())
        address = a[++i];
      else if (a[i] == "--mode" && i + 1 < a.size())
        c.relay.mode = a[++i];
      else
        return Usage("relay: unknown option"), false;
    }
    if (c.relay.mode != "auto" && c.relay.mode != "1" && c.relay.mode != "2")
      return Usage("relay: --mode is auto, 1 or 2"), false;
    if (!address.empty()) {
      const size_t colon = address.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          !ParseNumber(address.substr(colon + 1), 1, 65535, c.relay.port))
        return Usage("relay: --platform is HOST:PORT"), false;
      c.relay.host = address.substr(0, colon);
    }
  } else {
    return Usage(a.empty() ? "no command" : "unknown command"), false;
  }
  return true;
}

int RunCommand(Brisk7Service& service, const Command& c, bool json) {
  if (c.kind == Command::Relay) return tools::Relay(service, c.relay, json, g_stop, g_say);
  Output out(json);
  int r = -1;
  const char* what = "";
  switch (c.kind) {
    case Command::Cat1: {
      const Cat1Module m = service.GetCat1Module();
      r = m.result;
      if (r == 1) {
        out.Hex("model", m.model);
        out.Hex("second", m.second);
      }
      what = r == 1 ? "Cat1 module present" : r == 0 ? "no Cat1 module" : "Cat1 module";
      break;
    }
    case Command::Mode:
      r = service.SetNetMode(static_cast<int>(c.n[0]));
      what = "network mode";
      break;
    case Command::Status: {
      const ConnectStatus s = service.GetConnectStatus();
      r = s.result;
      if (r == 0) {
        out.Hex("status", s.status);
        out.Hex("type", s.type);
      }
      what = "connection status";
      break;
    }
    case Command::Disconnect:
      r = service.NotifyDisconnect();
      what = "disconnect";
      break;
    case Command::EnterDfu:
      r = service.AskDfuMode();
      what = "enter DFU mode";
      break;
    case Command::Auth: {
      const AuthInfo a = service.GetAuthInfo();
      r = a.result;
      if (r == 0) {
        const AuthText text = FormatAuthInfo(a);
        out.Text("license", text.licence);
        out.Text("mac", text.mac);
        out.Text("iccid", text.iccid);
      }
      what = "authorization";
      break;
    }
    case Command::PlatformGet: {
      const PlatformInfo p = service.GetPlatform();
      r = p.result;
      if (r == 0) {
        out.Number("policy", p.policy);
        out.Number("cache", p.cache);
        out.Number("port", p.port);
        out.Text("host", p.host);
      }
      what = "platform";
      break;
    }
    case Command::PlatformSet:
      r = service.SetPlatform(static_cast<int>(c.n[0]), static_cast<int>(c.n[1]),
                              static_cast<uint32_t>(c.n[2]), c.text.c_str());
      what = "platform set";
      break;
    case Command::HeartbeatGet: {
      const HeartbeatInfo h = service.GetHeartbeat();
      r = h.result;
      if (r == 0) {
        out.Number("usb", h.usb);
        out.Number("cat1", h.cat1);
      }
      what = "heartbeat";
      break;
    }
    case Command::HeartbeatSet:
      r = service.SetHeartbeat(static_cast<uint32_t>(c.n[0]), static_cast<uint32_t>(c.n[1]), 0, 0);
      what = "heartbeat set";
      break;
    case Command::NetTest: {
      const NetworkTestSummary s =
          SummarizeNetworkTest(RunNetworkTest(service, static_cast<int>(c.n[0])));
      out.Number("ok", s.successes);
      out.Number("failed", s.failures);
      out.Number("average", s.average);
      out.Number("max", s.maximum);
      r = s.successes > 0 ? 0 : -3;
      what = "network test";
      break;
    }
    case Command::Relay:
      break;
  }
  out.Print(r, what);
  // For code 1, 0 (no module) and 1 (a module) are both answers.
  return ExitFor(c.kind == Command::Cat1 && r == 1 ? 0 : r);
}

}  // namespace

int main(int argc, char** argv) {
  // The signals are taken by the main thread alone (sigtimedwait below); every thread started
  // later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  Options o;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--device" && i + 1 < argc)
      o.device = argv[++i];
    else if (a == "--port" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 1, 99999999, o.port))
        return Usage("--port takes a number from 1");
    } else if (a == "--json")
      o.json = true;
    else if (a == "--log")
      o.log = true;
    else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (a == "--version") {
      std::printf("brisk-reader %s\n", BRISK_VERSION);
      return kExitOk;
    } else
      break;
  }
  for (; i < argc; ++i) o.args.push_back(argv[i]);
  if (o.device.empty() == (o.port == 0)) return Usage("give --device PATH or --port N");
  Command command;
  if (!ParseCommand(o.args, command)) return kExitUsage;
  const bool relay = command.kind == Command::Relay;

  if (o.log) SetLogSwitch(1);
  g_json = o.json;
  if (o.json) g_say = stderr;
  std::signal(SIGPIPE, SIG_IGN);

  Brisk7Service service(relay ? EnterDfuCallback(PrintPackagePath) : EnterDfuCallback());
  const std::string path =
      o.device.empty() ? platform::SerialDevicePath(static_cast<int>(o.port)) : o.device;
  const int started = o.device.empty() ? service.Start(static_cast<int>(o.port), {})
                                       : service.StartDevice(o.device);
  if (!started) {
    int error = 0;
    const std::string why = platform::DescribeOpenFailure(path, &error);
    const std::string name =
        o.device.empty() ? path + " (COM" + std::to_string(o.port) + ")" : path;
    std::fprintf(stderr, "brisk-reader: cannot open %s: %s\n", EscapeControl(name).c_str(),
                 why.c_str());
    if (error == EACCES || error == EPERM)
      std::fprintf(stderr,
                   "brisk-reader: this user may not use the reader's port; install the udev "
                   "rules (sudo scripts/install-udev-rules.sh), then unplug and replug the "
                   "reader\n");
    return kExitNoAnswer;
  }

  // The command runs on a worker, so a signal is seen at once whatever the command waits for.
  std::atomic<bool> done{false};
  int code = kExitUsage;
  std::thread worker([&] {
    code = RunCommand(service, command, o.json);
    done = true;
  });
  int signalled = 0;
  int64_t stopDeadline = 0;
  while (!done) {
    const timespec step{0, 50 * 1000 * 1000};
    const int sig = sigtimedwait(&stopSignals, nullptr, &step);
    if (sig > 0) {
      if (relay && signalled == 0) {
        // The relay stops cleanly: it tells the reader and prints its counters.
        signalled = sig;
        g_stop = true;
        stopDeadline = platform::NowMs() + kRelayStopGraceMs;
        continue;
      }
      signalled = sig;
      break;
    }
    if (stopDeadline != 0 && platform::NowMs() >= stopDeadline) break;
  }
  if (!done) {
    // Nothing else to tidy: the kernel closes the port, and no notice is owed to the reader.
    std::fflush(stdout);
    std::fprintf(stderr, "brisk-reader: stopped by %s\n",
                 signalled == SIGTERM ? "SIGTERM" : "SIGINT");
    std::_Exit(128 + (signalled ? signalled : SIGINT));
  }
  worker.join();
  // The relay stops the service itself, with or without the notice.
  if (!relay) service.Stop(0);
  return code;
}
