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

using namespace brisk;
using namespace brisk::link;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitReaderFailed = 1;
constexpr int kExitNoAnswer = 2;
constexpr int kExitUsage = 64;
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

// Control characters (C0, DEL and, in UTF-8, C1) are written as \u escapes, so text from the
// reader can neither break a line nor reach a terminal raw.
std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    unsigned escaped = 0x100;
    if (c < 0x20 || c == 0x7F)
      escaped = c;
    else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
             static_cast<unsigned char>(s[i + 1]) <= 0x9F)
      escaped = static_cast<unsigned char>(s[++i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (escaped != 0x100) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", escaped);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Collects the decoded fields of one answer, printed as JSON or as one readable line.
class Output {
 public:
  explicit Output(bool json) : m_json(json) {}
  void Number(const char* key, long value) {
    m_fields.push_back({key, std::to_string(value), std::to_string(value)});
  }
  void Text(const char* key, const std::string& value) {
    m_fields.push_back({key, JsonText(value), EscapeControl(value)});
  }
  void Hex(const char* key, long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", value);
    m_fields.push_back({key, std::to_string(value), text});
  }
  void Print(int result, const char* what) const {
    if (m_json) {
      std::printf("{\"result\":%d", result);
      for (const auto& f : m_fields) std::printf(",\"%s\":%s", f.key, f.json.c_str());
      std::printf("}\n");
      return;
    }
    std::printf("%s: %s", what, Describe(result));
    for (const auto& f : m_fields) std::printf(", %s %s", f.key, f.plain.c_str());
    std::printf("\n");
  }

 private:
  static const char* Describe(int result) {
    switch (result) {
      case 0:
        return "ok";
      case -1:
        return "not sent (the link is not running)";
      case -3:
        return "no answer in time";
      case -2:
      case -4:
      case -7:
        return "failed";
      default:
        return result > 0 ? "the reader answered a failure code" : "failed";
    }
  }
  struct Field {
    const char* key;
    std::string json, plain;
  };
  bool m_json;
  std::vector<Field> m_fields;
};

int ExitFor(int result) {
  if (result == 0) return kExitOk;
  return result > 0 ? kExitReaderFailed : kExitNoAnswer;
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
  long n[3] = {};         // mode; policy, cache, port; usb, cat1; count
  std::string text;       // platform host
  std::string relayHost;  // --platform override
  long relayPort = 0;
  std::string relayMode = "auto";
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
        c.relayMode = a[++i];
      else
        return Usage("relay: unknown option"), false;
    }
    if (c.relayMode != "auto" && c.relayMode != "1" && c.relayMode != "2")
      return Usage("relay: --mode is auto, 1 or 2"), false;
    if (!address.empty()) {
      const size_t colon = address.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          !ParseNumber(address.substr(colon + 1), 1, 65535, c.relayPort))
        return Usage("relay: --platform is HOST:PORT"), false;
      c.relayHost = address.substr(0, colon);
    }
  } else {
    return Usage(a.empty() ? "no command" : "unknown command"), false;
  }
  return true;
}

int Relay(Brisk7Service& service, const Command& c, bool json) {
  // Each step may wait for the reader; a stop asked for meanwhile skips the rest.
  uint8_t model = 0, second = 0;
  const int cat1 = service.GetCat1Module(&model, &second);
  if (cat1 == 1)
    std::fprintf(g_say, "Cat1 module: model 0x%x, 0x%x\n", model, second);
  else if (cat1 == 0)
    std::fprintf(g_say, "Cat1 module: none\n");
  else
    std::fprintf(g_say, "Cat1 module: no answer (%d)\n", cat1);

  uint8_t policy = 0, cache = 0;
  uint32_t reportedPort = 0;
  char reportedHost[256] = {};
  if (!g_stop && service.GetPlatform(&policy, &cache, &reportedPort, reportedHost) == 0)
    std::fprintf(g_say, "reader's platform: %s:%u\n", EscapeControl(reportedHost).c_str(),
                 reportedPort);
  if (!c.relayHost.empty())
    service.SetPlatformAddress(c.relayHost, static_cast<uint32_t>(c.relayPort));

  if (!g_stop) {
    const int netMode = c.relayMode == "auto" ? (service.CanReachPlatform() ? 1 : 2)
                                              : std::atoi(c.relayMode.c_str());
    const int modeResult = g_stop ? -1 : service.SetNetMode(netMode);
    std::fprintf(g_say, "network mode %d: %s\n", netMode, modeResult == 0 ? "set" : "not accepted");
  }
  const std::string platform =
      EscapeControl(service.PlatformHost()) + ":" + std::to_string(service.PlatformPort());
  if (json) std::printf("{\"event\":\"relaying\",\"platform\":%s}\n", JsonText(platform).c_str());
  std::fprintf(g_say, "relaying to %s; Ctrl-C stops\n", platform.c_str());
  std::fflush(stdout);
  std::fflush(g_say);

  while (!g_stop && service.IsRelayRunning()) platform::SleepMs(50);
  const bool lost = !service.IsRelayRunning();
  // Read before Stop, which zeroes them.
  const uint32_t written = service.ComBytesWritten(), read = service.ComBytesRead();
  const uint32_t sent = service.ServerBytesSent(), received = service.ServerBytesReceived();
  service.Stop(lost ? 0 : 1);

  Output out(json);
  out.Number("comBytesWritten", written);
  out.Number("comBytesRead", read);
  out.Number("serverBytesSent", sent);
  out.Number("serverBytesReceived", received);
  if (lost) {
    out.Print(-1, "relay ended: the reader is gone");
    return kExitNoAnswer;
  }
  out.Print(0, "relay stopped");
  return kExitOk;
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
      return Relay(service, c, json);
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
