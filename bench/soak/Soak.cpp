// brisk-soak PROGRAM BRISK_CTL CYCLES: runs the tray program on an emulated USB bus with a
// simulated reader and a local platform, and repeats a cycle of what a long-lived session
// sees. Each cycle: suspend and resume through the logind stand-in, unplug and replug the
// reader, stop and start over D-Bus, relay traffic, drop and restore the platform, and every
// tenth cycle a whole upgrade download pulled by the reader. After each cycle it samples the
// program from outside (/proc) and at the end prints the growth per 1,000 cycles.
// Runs under the umockdev preload (it starts itself again under it); the session and system
// buses (with python3-dbusmock's logind) come from bench/soak/soak.sh.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/http/HttpServer.h"
#include "sim/platform/PlatformServer.h"
#include "sim/reader/ReaderSim.h"
#include "sim/reader/ReaderUpgrade.h"
#include "tests/platform/devices/ReaderTestbed.h"

extern char** environ;

namespace {

using namespace brisk;
using Bytes = std::vector<uint8_t>;

struct Sample {
  long rssKb = 0;
  int threads = 0;
  int fds = 0;
  int timers = 0;  // timerfd descriptors and POSIX timers; the toolkit's own timers are not seen
  long logBytes = 0;
};

long StatusField(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(name);
  while (std::getline(in, line))
    if (line.compare(0, n, name) == 0) return std::atol(line.c_str() + n);
  return -1;
}

long FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

Sample Take(pid_t pid, const std::string& logFolder) {
  Sample s;
  s.rssKb = StatusField(pid, "VmRSS:");
  s.threads = static_cast<int>(StatusField(pid, "Threads:"));
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = opendir(fdDir.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      ++s.fds;
      char target[256] = {};
      const std::string link = fdDir + "/" + e->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strstr(target, "timerfd"))
        ++s.timers;
    }
    closedir(dir);
  }
  std::ifstream timers("/proc/" + std::to_string(pid) + "/timers");
  std::string line;
  while (std::getline(timers, line))
    if (line.compare(0, 3, "ID:") == 0) ++s.timers;
  s.logBytes = FileSize(logFolder + "/brisk7.log") + FileSize(logFolder + "/brisk7.log.bak");
  return s;
}

int Run(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    // brisk-ctl is not under test here: no preloads.
    unsetenv("LD_PRELOAD");
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool Sleep(bool start) {
  return Run({"gdbus", "call", "--system", "-d", "org.freedesktop.login1", "-o",
              "/org/freedesktop/login1", "-m", "org.freedesktop.DBus.Mock.EmitSignal",
              "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
              start ? "[<true>]" : "[<false>]"}) == 0;
}

class Soak {
 public:
  Soak(std::string program, std::string ctl)
      : m_program(std::move(program)), m_ctl(std::move(ctl)) {}

  int Main(int cycles) {
    sim::PlatformServer::Options options;
    m_platform = sim::PlatformServer::Start(options);
    m_platformPort = m_platform->Port();
    m_http = sim::HttpServer::Start(false, 24 * 3600 * 1000);
    m_package = std::string(128 * 1024, '\0');
    for (size_t i = 0; i < m_package.size(); ++i) m_package[i] = static_cast<char>(i * 7 + 3);
    m_http->Serve("/fw/soak.bin", m_package);
    Plug();
    if (!Launch()) return Fail("the program did not link the reader");

    std::printf("cycle  rss_kb threads fds timers log_bytes  ctl_failures\n");
    std::vector<Sample> samples;
    int fdDrift = 0, threadDrift = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
      if (!OneCycle(cycle)) return Fail(("cycle " + std::to_string(cycle) + ": " + m_why).c_str());
      samples.push_back(Take(m_pid, m_logFolder));
      const Sample& s = samples.back();
      // Measured against the second cycle: the first one starts with the service switched on,
      // and the first stop over D-Bus switches it off for good (see m_notRelinked).
      const Sample& ref = samples[samples.size() > 1 ? 1 : 0];
      if (s.fds != ref.fds) ++fdDrift;
      if (s.threads != ref.threads) ++threadDrift;
      if (cycle == 1 || cycle % 10 == 0 || cycle == cycles)
        std::printf("%5d %7ld %7d %3d %6d %9ld  %d\n", cycle, s.rssKb, s.threads, s.fds, s.timers,
                    s.logBytes, m_ctlFailures);
      std::fflush(stdout);
    }
    const size_t base = samples.size() > 100 ? 99 : samples.size() / 10;
    const double span = static_cast<double>(samples.size() - 1 - base);
    auto per1000 = [&](auto field) {
      return span > 0 ? (field(samples.back()) - field(samples[base])) * 1000.0 / span : 0.0;
    };
    std::printf(
        "growth per 1000 cycles after cycle %zu: rss %.0f kB, threads %.1f, fds %.1f, "
        "timers %.1f, log %.0f bytes\n",
        base + 1, per1000([](const Sample& s) { return double(s.rssKb); }),
        per1000([](const Sample& s) { return double(s.threads); }),
        per1000([](const Sample& s) { return double(s.fds); }),
        per1000([](const Sample& s) { return double(s.timers); }),
        per1000([](const Sample& s) { return double(s.logBytes); }));
    std::printf(
        "cycles whose end differed from the second: fds %d, threads %d; D-Bus calls that "
        "failed: %d of %d; replugs the program did not link by itself: %d\n",
        fdDrift, threadDrift, m_ctlFailures, m_ctlCalls, m_notRelinked);
    return Stop();
  }

 private:
  int Fail(const char* why) {
    std::printf("SOAK FAILED: %s\n", why);
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    return 1;
  }

  void Plug() {
    // As on a real bus: the reader goes into one of two sockets, and its tty takes the lowest
    // free name, the one it had before.
    const std::string place = "1-" + std::to_string(1 + m_plugs++ % 2);
    m_usbPath = m_tb.AddUsbSerial(place, test::kReaderVendorA, test::kReaderProductA, 0);
    m_reader = sim::ReaderSim::Attach(m_tb.MasterFd(0));
    const uint16_t port = m_platformPort;
    m_reader->EditReaderState([port](sim::ReaderSim::State& s) {
      s.host = "127.0.0.1";
      s.port = port;
    });
  }

  void Unplug() {
    m_reader->Unplug();
    m_tb.Remove(m_usbPath);
    m_reader.reset();
  }

  bool Launch() {
    const char* tmp = std::getenv("TMPDIR");
    m_logFolder = std::string(tmp ? tmp : "/tmp") + "/BriskNetService-" + std::to_string(getuid());
    m_pid = fork();
    if (m_pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a soak that failed
      const char* extra = std::getenv("SOAK_CHILD_PRELOAD");
      if (extra && *extra) {
        const std::string preload = std::string(extra) + ":" + std::getenv("LD_PRELOAD");
        setenv("LD_PRELOAD", preload.c_str(), 1);
      }
      execl(m_program.c_str(), m_program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return Linked(30000);
  }

  // The program set the network mode: it has linked the reader (again).
  bool Linked(int timeoutMs) { return m_reader->WaitFrame(2, timeoutMs).has_value(); }

  bool Ctl(const char* command) {
    ++m_ctlCalls;
    const bool ok = Run({m_ctl, command}) == 0;
    if (!ok) ++m_ctlFailures;
    return ok;
  }

  bool Why(const std::string& why) {
    m_why = why;
    return false;
  }

  bool ConnectPlatform() {
    m_reader->SendFrame(10, {0, 0});
    const auto answer = m_reader->WaitFrame(10, 15000);
    return answer && answer->payload.size() >= 2 && answer->payload[0] == 0;
  }

  bool OneCycle(int cycle) {
    m_reader->ForgetReceived();
    // Suspend and resume: the program stops with the notice; a device change brings it back
    // sooner than its own 20 s watchdog would.
    if (!Sleep(true)) return Why("no logind stand-in");
    if (!m_reader->WaitFrame(5, 10000)) return Why("no disconnect notice at suspend");
    if (!Sleep(false)) return Why("no logind stand-in");
    Unplug();
    Plug();
    if (!Linked(m_relinkWaitMs)) {
      // Found by this soak: after a stop over D-Bus the program no longer links a replugged
      // reader by itself (a start over D-Bus does not enable the service again). Counted, and
      // the reader is linked with a start so the cycle can go on.
      ++m_notRelinked;
      m_relinkWaitMs = 3000;
      if (!Ctl("start")) return Why("brisk-ctl start after the replug failed");
      if (!m_reader->WaitFrame(9, 10000)) return Why("no platform query after start");
    }

    if (!Ctl("stop")) return Why("brisk-ctl stop failed");
    if (!m_reader->WaitFrame(5, 10000)) return Why("no disconnect notice at stop");
    // A start that worked exits 0; the program then asks the reader for its platform.
    if (!Ctl("start")) return Why("brisk-ctl start failed");
    if (!m_reader->WaitFrame(9, 10000)) return Why("no platform query after start");

    if (!ConnectPlatform()) return Why("no platform connection");
    for (int i = 0; i < 20; ++i) {
      const Bytes text(64 + i, static_cast<uint8_t>('a' + i));
      m_reader->SendFrame(4, text);
      size_t back = 0;
      while (back < text.size()) {
        const auto f = m_reader->WaitFrame(4, 10000);
        if (!f) return Why("relayed data did not come back");
        back += f->payload.size();
      }
    }
    // The platform goes away (the reader hears of the loss) and comes back on its port.
    m_platform.reset();
    if (!m_reader->WaitFrame(11, 10000)) return Why("no link-lost notice");
    sim::PlatformServer::Options options;
    options.port = m_platformPort;
    for (int i = 0; i < 50 && !(m_platform = sim::PlatformServer::Start(options)); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!m_platform) return Why("the platform's port could not be taken again");
    if (!ConnectPlatform()) return Why("no platform connection after its return");

    if (cycle % 10 == 0) {
      sim::ReaderUpgrade upgrade(*m_reader, 15000);
      const auto digest = sim::ReaderUpgrade::Md5(m_package);
      const auto state = upgrade.Request("soak", digest, m_http->BaseUrl() + "/fw/soak.bin", false);
      const auto end = state ? upgrade.WaitForEnd(100, 60000) : std::nullopt;
      if (!end || end->state != 0) return Why("the upgrade download failed");
      if (!upgrade.PullVerified(static_cast<uint32_t>(m_package.size()), 1024, digest))
        return Why("the upgrade package was not handed over whole");
    }
    if (!Ctl("status")) return Why("brisk-ctl status failed");
    return true;
  }

  int Stop() {
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("program exit status %d\n", code);
    return code == 0 && m_ctlFailures == 0 ? 0 : 1;
  }

  std::string m_program, m_ctl;
  test::ReaderTestbed m_tb;
  std::unique_ptr<sim::ReaderSim> m_reader;
  std::unique_ptr<sim::PlatformServer> m_platform;
  std::unique_ptr<sim::HttpServer> m_http;
  std::string m_package;
  uint16_t m_platformPort = 0;
  std::string m_usbPath;
  std::string m_logFolder;
  std::string m_why;
  int m_plugs = 0;
  pid_t m_pid = -1;
  int m_ctlCalls = 0, m_ctlFailures = 0;
  int m_notRelinked = 0;
  int m_relinkWaitMs = 30000;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: brisk-soak PROGRAM BRISK_CTL CYCLES (see bench/soak/soak.sh)\n");
    return 64;
  }
  // The testbed and the program need the umockdev preload: start again under it.
  const char* preload = std::getenv("LD_PRELOAD");
  if (!preload || !std::strstr(preload, "libumockdev-preload")) {
    const std::string value = std::string("libumockdev-preload.so.0") +
                              (preload && *preload ? std::string(":") + preload : "");
    setenv("LD_PRELOAD", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("brisk-soak: exec");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  const int cycles = std::atoi(argv[3]);
  if (cycles < 1) {
    std::fprintf(stderr, "brisk-soak: CYCLES is a positive number\n");
    return 64;
  }
  Soak soak(argv[1], argv[2]);
  return soak.Main(cycles);
}
