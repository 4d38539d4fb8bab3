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
    std::printf("{\"event\":\"package\",\"path\":%s}\n", JsonText(path).c_str());
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
  if (is(1, "cat1"))
    c.kind = Command::Cat1;
  else if (is(1, "status"))
    c.kind = Command::Status;
  else if (is(1, "disconnect"))
    c.kind = Command::Disconnect;
  else if (is(1, "auth"))
    c.kind = Command::Auth;
  else if (is(1, "enter-dfu"))
    c.kind = Command::EnterDfu;
  else if (is(2, "mode")) {
    c.kind = Command::Mode;
    if (!ParseNumber(a[1], 1, 2, c.n[0])) return Usage("mode is 1 or 2"), false;
  } else if (is(2, "platform", "get"))
    c.kind = Command::PlatformGet;
  else if (is(6, "platform", "set")) {
    c.kind = Command::PlatformSet;
    c.text = a[4];
    if (!ParseNumber(a[2], 0, 255, c.n[0]) || !ParseNumber(a[3], 0, 255, c.n[1]) ||
        !ParseNumber(a[5], 0, 65535, c.n[2]) || c.text.empty() || c.text.size() > 250)
      return Usage("platform set POLICY CACHE HOST PORT (host of at most 250 characters)"), false;
  } else if (is(2, "heartbeat", "get"))
    c.kind = Command::HeartbeatGet;
  else if (is(4, "heartbeat", "set")) {
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
  Output out(json);
  switch (c.kind) {
    case Command::Cat1: {
      uint8_t model = 0, second = 0;
      const int r = service.GetCat1Module(&model, &second);
      if (r == 1) {
        out.Hex("model", model);
        out.Hex("second", second);
      }
      out.Print(r, r == 1 ? "Cat1 module present" : r == 0 ? "no Cat1 module" : "Cat1 module");
      // 0 (no module) and 1 (a module) are both answers.
      return (r == 0 || r == 1) ? kExitOk : ExitFor(r);
    }
    case Command::Mode: {
      const int r = service.SetNetMode(static_cast<int>(c.n[0]));
      out.Print(r, "network mode");
      return ExitFor(r);
    }
    case Command::Status: {
      uint8_t status = 0, type = 0;
      const int r = service.GetConnectStatus(&status, &type);
      if (r == 0) {
        out.Hex("status", status);
        out.Hex("type", type);
      }
      out.Print(r, "connection status");
      return ExitFor(r);
    }
    case Command::Disconnect: {
      const int r = service.NotifyDisconnect();
      out.Print(r, "disconnect");
      return ExitFor(r);
    }
    case Command::EnterDfu: {
      const int r = service.AskDfuMode();
      out.Print(r, "enter DFU mode");
      return ExitFor(r);
    }
    case Command::Auth: {
      uint8_t licence[32] = {};
      char mac[12] = {}, iccid[20] = {};
      const int r = service.GetAuthInfo(licence, mac, iccid);
      if (r == 0) {
        std::string hex, macText;
        char pair[4];
        for (uint8_t b : licence) {
          std::snprintf(pair, sizeof pair, "%02x", b);
          hex += pair;
        }
        for (int i = 0; i < 12; i += 2) {
          if (i) macText += ':';
          macText.append(mac + i, 2);
        }
        out.Text("license", hex);
        out.Text("mac", macText);
        out.Text("iccid", std::string(iccid, strnlen(iccid, sizeof iccid)));
      }
      out.Print(r, "authorization");
      return ExitFor(r);
    }
    case Command::PlatformGet: {
      uint8_t policy = 0, cache = 0;
      uint32_t port = 0;
      char host[256] = {};
      const int r = service.GetPlatform(&policy, &cache, &port, host);
      if (r == 0) {
        out.Number("policy", policy);
        out.Number("cache", cache);
        out.Number("port", port);
        out.Text("host", host);
      }
      out.Print(r, "platform");
      return ExitFor(r);
    }
    case Command::PlatformSet: {
      const int r = service.SetPlatform(static_cast<int>(c.n[0]), static_cast<int>(c.n[1]),
                                        static_cast<uint32_t>(c.n[2]), c.text.c_str());
      out.Print(r, "platform set");
      return ExitFor(r);
    }
    case Command::HeartbeatGet: {
      uint32_t usb = 0, cat1 = 0;
      const int r = service.GetHeartbeat(&usb, &cat1);
      if (r == 0) {
        out.Number("usb", usb);
        out.Number("cat1", cat1);
      }
      out.Print(r, "heartbeat");
      return ExitFor(r);
    }
    case Command::HeartbeatSet: {
      const int r =
          service.SetHeartbeat(static_cast<uint32_t>(c.n[0]), static_cast<uint32_t>(c.n[1]), 0, 0);
      out.Print(r, "heartbeat set");
      return ExitFor(r);
    }
    case Command::NetTest: {
      const NetworkTestSummary s =
          SummarizeNetworkTest(RunNetworkTest(service, static_cast<int>(c.n[0])));
      out.Number("ok", s.successes);
      out.Number("failed", s.failures);
      out.Number("average", s.average);
      out.Number("max", s.maximum);
      const int r = s.successes > 0 ? 0 : -3;
      out.Print(r, "network test");
      return ExitFor(r);
    }
    case Command::Relay:
      return tools::Relay(service, c.relay, json, g_stop, g_say);
  }
  return kExitUsage;
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
