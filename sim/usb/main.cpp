// brisk-usb-sim [OPTIONS] -- COMMAND [ARGS...]: runs COMMAND with the whole reader on an
// emulated USB bus and exits with COMMAND's status (125 when the emulation cannot be set up).
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sim/usb/UsbReaderBus.h"

namespace {

using brisk::sim::DfuPhase;

constexpr int kSetupFailed = 125;

// The command's process, and a signal that came before it was there, for the handler.
volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_early = 0;

// A signal sent to the emulation is passed on to the command, which then ends, and the
// emulation after it. One from the terminal (Ctrl-C) reaches the command directly already.
void ForwardSignal(int sig, siginfo_t* info, void*) {
  if (info->si_code == SI_KERNEL) return;
  if (g_child > 0)
    kill(g_child, sig);
  else
    g_early = sig;
}

constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP};

void Usage() {
  std::fprintf(
      stderr,
      "usage: brisk-usb-sim [OPTIONS] -- COMMAND [ARGS...]\n"
      "  --mode normal|dfu      the reader's first mode (default normal)\n"
      "  --memory FILE          preload the boot loader's first memory from FILE\n"
      "  --dump FILE            write that memory to FILE when COMMAND has ended\n"
      "  --dfu-version HEX      bcdDFUVersion of the boot loader (default 011A)\n"
      "  --read-protected       the boot loader's flash is read-protected\n"
      "  --wrp MASK             write-protection word (a 0 bit protects 4 sectors)\n"
      "  --fault PHASE          the phase fails: set-address, erase, mass-erase, unprotect,\n"
      "                         write, read, manifest\n"
      "  --flip-bit ADDRESS     bit 0 of the byte at ADDRESS flips when it is written\n"
      "  --unplug-at-block N    the boot loader leaves the bus at download block N\n"
      "  --busy-scale X         scale the boot loader's busy times (0: none)\n"
      "  --no-hid, --no-vendor  leave out the HID or the vendor-specific interface\n"
      "  --reply-length N       byte 2 of the vendor interface's acknowledgement (default 4)\n"
      "  --request-upgrade URL,MD5HEX\n"
      "                         once the service has linked, the reader asks it to download\n"
      "                         that package and flash it by DFU, and polls the download\n"
      "  --quiet, --connect, --send TEXT, --interval MS, --count N, --link PATH, --seconds S:\n"
      "                         as brisk-reader-sim, for the reader on ttyACM0\n"
      "Prints \"brisk-usb-sim: mode normal\", \"... mode dfu\" and \"... unplugged\" at each "
      "change;\nafter \"mode normal\" the firmware's identity: \"brisk-usb-sim: firmware "
      "crc32 XXXXXXXX\"\n(CRC-32 of the first memory without its trailing erased bytes).\n");
}

bool ParseNumber(const char* text, int base, unsigned long long max, unsigned long long& out) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, base);
  if (errno || *end || v > max || text[0] == '-') return false;
  out = v;
  return true;
}

// The umockdev preload for COMMAND, behind the address sanitizer's runtime when this program
// runs with it (that runtime must come first in the list). The thread sanitizer's needs no
// place there, and preloaded into a program built without it (the shell) it crashes it.
std::string PreloadList() {
  std::string list;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    const size_t slash = line.find('/');
    if (slash == std::string::npos) continue;
    const std::string path = line.substr(slash);
    const std::string base = path.substr(path.rfind('/') + 1);
    if (base.rfind("libasan.so", 0) == 0 && list.find(path) == std::string::npos) list = path;
  }
  const char* old = std::getenv("LD_PRELOAD");
  std::string rest = old ? old : "";
  if (rest.find("libumockdev-preload") == std::string::npos)
    rest += (rest.empty() ? "" : ":") + std::string("libumockdev-preload.so.0");
  if (!list.empty() && rest.find(list) == std::string::npos) return list + ":" + rest;
  return rest;
}

}  // namespace

int main(int argc, char** argv) {
  // The emulation's events are built from the emulated sysfs, so this program runs under the
  // preload too: start again with it when it is not there yet.
  if (!std::getenv("BRISK_USB_SIM_PRELOADED")) {
    setenv("BRISK_USB_SIM_PRELOADED", "1", 1);
    setenv("LD_PRELOAD", PreloadList().c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("brisk-usb-sim: cannot restart under the umockdev preload");
    return kSetupFailed;
  }
  unsetenv("BRISK_USB_SIM_PRELOADED");
  brisk::sim::UsbReaderOptions options;
  std::string memoryFile, dumpFile, sendText, link;
  bool quiet = false, connect = false;
  int interval = 500, count = 5;
  double busyScale = 1.0;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage();
        std::exit(kSetupFailed);
      }
      return argv[++i];
    };
    unsigned long long n = 0;
    if (a == "--mode") {
      const std::string m = value();
      if (m != "normal" && m != "dfu") {
        Usage();
        return kSetupFailed;
      }
      options.startInDfu = m == "dfu";
    } else if (a == "--memory") {
      memoryFile = value();
    } else if (a == "--dump") {
      dumpFile = value();
    } else if (a == "--dfu-version" && ParseNumber(value(), 16, 0xFFFF, n)) {
      options.dfu.bcdDFUVersion = uint16_t(n);
    } else if (a == "--read-protected") {
      options.dfu.readProtected = true;
    } else if (a == "--wrp" && ParseNumber(value(), 16, 0xFFFFFFFF, n)) {
      options.dfu.writeProtection = uint32_t(n);
    } else if (a == "--fault") {
      DfuPhase phase;
      if (!brisk::sim::ParseDfuPhase(value(), phase)) {
        Usage();
        return kSetupFailed;
      }
      options.dfu.faultPhase = phase;
    } else if (a == "--flip-bit" && ParseNumber(value(), 16, 0xFFFFFFFF, n)) {
      options.dfu.flipBitAddress = uint32_t(n);
    } else if (a == "--unplug-at-block" && ParseNumber(value(), 10, 0xFFFF, n)) {
      options.dfu.unplugAtBlock = uint16_t(n);
    } else if (a == "--busy-scale") {
      char* end = nullptr;
      const char* text = value();
      busyScale = std::strtod(text, &end);
      if (*end || busyScale < 0 || busyScale > 1000) {
        Usage();
        return kSetupFailed;
      }
      options.dfu.busyScale = busyScale;
    } else if (a == "--no-hid") {
      options.hid = false;
    } else if (a == "--no-vendor") {
      options.vendor = false;
    } else if (a == "--reply-length" && ParseNumber(value(), 10, 255, n)) {
      options.replyLength = uint8_t(n);
    } else if (a == "--request-upgrade") {
      const std::string v = value();
      const size_t comma = v.rfind(',');
      const std::string hex = comma == std::string::npos ? "" : v.substr(comma + 1);
      bool ok = comma > 0 && hex.size() == 32;
      for (size_t k = 0; ok && k < 16; ++k) {
        unsigned long long byte = 0;
        ok = ParseNumber(hex.substr(2 * k, 2).c_str(), 16, 0xFF, byte);
        options.upgradeDigest[k] = uint8_t(byte);
      }
      if (!ok) {
        Usage();
        return kSetupFailed;
      }
      options.upgradeUrl = v.substr(0, comma);
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--connect") {
      connect = true;
    } else if (a == "--send") {
      sendText = value();
    } else if (a == "--interval" && ParseNumber(value(), 10, 3600000, n)) {
      interval = int(n);
    } else if (a == "--count" && ParseNumber(value(), 10, 1000000, n)) {
      count = int(n);
    } else if (a == "--link") {
      link = value();
    } else if (a == "--seconds" && ParseNumber(value(), 10, 1000000, n)) {
      // The reader lives as long as COMMAND; accepted for brisk-reader-sim's command lines.
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else {
      Usage();
      return kSetupFailed;
    }
  }
  if (i >= argc) {
    Usage();
    return kSetupFailed;
  }

  if (!memoryFile.empty()) {
    std::ifstream in(memoryFile, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "brisk-usb-sim: cannot read %s\n", memoryFile.c_str());
      return kSetupFailed;
    }
    options.memory.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::unique_ptr<brisk::sim::UsbReaderBus> bus;
  options.onChange = [](const std::string& text, uint32_t firmware) {
    std::printf("brisk-usb-sim: %s\n", text.c_str());
    if (text == "mode normal") std::printf("brisk-usb-sim: firmware crc32 %08X\n", firmware);
    std::fflush(stdout);
  };
  options.onUpgradeAnswer = [](int state) {
    std::printf("brisk-usb-sim: upgrade download ended, state %d\n", state);
    std::fflush(stdout);
  };
  std::atomic<bool> stop{false};
  std::atomic<bool> talked{false};
  options.onFrame = [quiet, &talked](const brisk::sim::Frame& f) {
    talked = true;
    if (!quiet)
      std::fprintf(stderr, "reader <- type %u, %zu bytes\n", unsigned(f.type), f.payload.size());
  };
  try {
    bus = std::make_unique<brisk::sim::UsbReaderBus>(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "brisk-usb-sim: cannot set up the emulation: %s\n", e.what());
    return kSetupFailed;
  }
  if (!link.empty()) {
    unlink(link.c_str());
    if (symlink("/dev/ttyACM0", link.c_str()) != 0)
      std::fprintf(stderr, "brisk-usb-sim: cannot make the link %s\n", link.c_str());
  }

  // --connect and --send, as brisk-reader-sim does them, on the reader while it is there.
  std::thread talker;
  if (connect) {
    talker = std::thread([&] {
      auto pause = [&](int ms) {
        for (int t = 0; t < ms && !stop; t += 10)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      };
      while (!stop && !talked) pause(50);
      pause(300);
      if (stop || !bus->WithReader([](auto& r) { r.SendFrame(10, {0, 0}); })) return;
      std::fprintf(stderr, "reader -> connect request\n");
      for (int n = 0; !sendText.empty() && n < count && !stop; ++n) {
        pause(interval);
        bus->WithReader([&](auto& r) {
          r.SendFrame(4, std::vector<uint8_t>(sendText.begin(), sendText.end()));
        });
      }
    });
  }
  // The child's environment is made before the fork: only exec may run in the child.
  const std::string preload = "LD_PRELOAD=" + PreloadList();
  std::vector<char*> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.push_back(*e);
  env.push_back(const_cast<char*>(preload.c_str()));
  env.push_back(nullptr);
  std::fflush(nullptr);
  struct sigaction action {};
  action.sa_sigaction = ForwardSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  for (int sig : kForwarded) sigaction(sig, &action, nullptr);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("brisk-usb-sim: fork");
    return kSetupFailed;
  }
  if (child == 0) {
    // The command never outlives the emulation it runs on, even one killed outright.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(kSetupFailed);
    for (int sig : kForwarded) sigaction(sig, &standard, nullptr);
    execvpe(argv[i], argv + i, env.data());
    std::fprintf(stderr, "brisk-usb-sim: cannot run %s: %s\n", argv[i], std::strerror(errno));
    _exit(127);
  }
  g_child = child;
  if (g_early) kill(child, g_early);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  g_child = 0;
  stop = true;
  if (talker.joinable()) talker.join();
  int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (!dumpFile.empty()) {
    const std::vector<uint8_t> memory = bus->Memory();
    std::ofstream out(dumpFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(memory.data()), std::streamsize(memory.size()));
    if (!out) {
      std::fprintf(stderr, "brisk-usb-sim: cannot write %s\n", dumpFile.c_str());
      if (rc == 0) rc = 1;
    }
  }
  if (!link.empty()) unlink(link.c_str());
  // For tests and the benchmark: how well the host kept to the announced busy times.
  std::fprintf(stderr, "brisk-usb-sim: early status requests %u, announced busy %llu ms\n",
               unsigned(bus->EarlyStatusRequests()),
               static_cast<unsigned long long>(bus->AnnouncedBusyMs()));
  bus.reset();
  return rc;
}
