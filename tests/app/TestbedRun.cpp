// brisk-testbed-run: runs a command on an emulated USB bus that carries one simulated card
// reader (COM1), for demonstrations and screenshots without hardware. The reader asks for a
// platform connection each time the service has set its network mode, and then sends a text
// to the platform every --interval ms.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/dfu/UmockdevPreload.h"
#include "sim/reader/ReaderSim.h"
#include "tests/platform/devices/ReaderTestbed.h"

namespace brisk::test {
namespace {

std::atomic<pid_t> g_child{-1};

void Forward(int signal) {
  const pid_t child = g_child.load();
  if (child > 0) kill(child, signal);
}

int Usage() {
  std::fprintf(stderr,
               "usage: brisk-testbed-run [--platform-port N] [--send TEXT] [--interval MS]"
               " -- COMMAND [ARG...]\n");
  return 64;
}

std::string Printable(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (uint8_t b : bytes) out += (b >= 32 && b < 127) ? static_cast<char>(b) : '.';
  return out;
}

int Run(int argc, char** argv) {
  int port = 21313;
  int interval = 1000;
  std::string text;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") break;
    if (i + 1 >= argc) return Usage();
    if (a == "--platform-port")
      port = std::atoi(argv[++i]);
    else if (a == "--send")
      text = argv[++i];
    else if (a == "--interval")
      interval = std::atoi(argv[++i]);
    else
      return Usage();
  }
  if (i + 1 >= argc || port < 1 || port > 65535 || interval < 10) return Usage();
  if (!brisk::sim::EnsureUmockdevPreload(argv, "brisk-testbed-run")) return 1;

  ReaderTestbed testbed;
  testbed.AddUsbSerial("1-1", kReaderVendorA, kReaderProductA, 0);
  auto reader = sim::ReaderSim::Attach(testbed.MasterFd(0));
  reader->EditReaderState([port](sim::ReaderSim::State& s) {
    s.host = "127.0.0.1";
    s.port = static_cast<uint16_t>(port);
  });
  std::atomic<int> modesSet{0};
  reader->SetFrameHook([&modesSet](sim::ReaderSim&, const sim::Frame& f) {
    if (f.type == 2) ++modesSet;
    if (f.type == 4)
      std::printf("[reader]   from platform: \"%s\"\n", Printable(f.payload).c_str());
    if (f.type == 2 || f.type == 5 || f.type == 10)
      std::printf("[reader]   <- frame type %u\n", f.type);
    std::fflush(stdout);
    return false;
  });
  std::printf("[reader]   simulated reader at COM1 (/dev/ttyACM0 on the emulated bus)\n");
  std::fflush(stdout);

  // The command inherits the preload and sees the emulated bus.
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[i + 1], argv + i + 1);
    std::perror("brisk-testbed-run: exec");
    _exit(127);
  }
  if (child < 0) return 1;
  g_child = child;
  signal(SIGINT, Forward);
  signal(SIGTERM, Forward);

  int handled = 0;
  bool connected = false;
  auto lastSend = std::chrono::steady_clock::now();
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (modesSet.load() > handled) {
      // The service has linked (again): ask for the platform.
      handled = modesSet.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::printf("[reader]   -> platform connection request\n");
      std::fflush(stdout);
      reader->SendFrame(10, {0, 0});
      const auto result = reader->WaitFrame(10, 15000);
      connected = result && result->payload.size() >= 2 && result->payload[0] == 0;
      std::printf("[reader]   platform connection %s\n", connected ? "made" : "failed");
      std::fflush(stdout);
    }
    const auto now = std::chrono::steady_clock::now();
    if (connected && !text.empty() && now - lastSend > std::chrono::milliseconds(interval)) {
      lastSend = now;
      std::printf("[reader]   -> platform: \"%s\"\n", text.c_str());
      std::fflush(stdout);
      reader->SendFrame(4, std::vector<uint8_t>(text.begin(), text.end()));
    }
  }
  reader.reset();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace
}  // namespace brisk::test

int main(int argc, char** argv) { return brisk::test::Run(argc, argv); }
