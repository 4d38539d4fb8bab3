// brisk-reader-sim: plays a card reader on a pseudo-terminal so the service can be run
// without hardware. Prints every frame it receives and sends.
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sim/reader/ReaderSim.h"

using namespace brisk;

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

void Usage() {
  std::fprintf(stderr,
               "usage: brisk-reader-sim [--link PATH] [--connect] [--send TEXT] [--interval MS]\n"
               "                        [--count N] [--seconds S] [--quiet]\n"
               "  --link PATH   also make PATH a symbolic link to the reader's port\n"
               "  --connect     ask the service for a platform connection once it talks\n"
               "  --send TEXT   after connecting, send TEXT to the platform every --interval ms\n"
               "  --count N     send N times (default 5); --seconds S: stop after S seconds\n");
}

std::string Hex(const sim::Frame& f) {
  const std::vector<uint8_t> bytes = sim::EncodeFrame(f.type, f.payload);
  std::string out;
  char pair[4];
  for (size_t i = 0; i < bytes.size() && i < 48; ++i) {
    std::snprintf(pair, sizeof pair, "%02x ", bytes[i]);
    out += pair;
  }
  if (bytes.size() > 48) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

std::string Printable(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (uint8_t b : bytes) out += (b >= 32 && b < 127) ? static_cast<char>(b) : '.';
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link, text;
  bool connect = false, quiet = false;
  int interval = 500, count = 5, seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage();
        std::exit(64);
      }
      return argv[++i];
    };
    if (a == "--link")
      link = next();
    else if (a == "--connect")
      connect = true;
    else if (a == "--send")
      text = next();
    else if (a == "--interval")
      interval = std::atoi(next());
    else if (a == "--count")
      count = std::atoi(next());
    else if (a == "--seconds")
      seconds = std::atoi(next());
    else if (a == "--quiet")
      quiet = true;
    else {
      Usage();
      return 64;
    }
  }

  auto reader = sim::ReaderSim::Create();
  if (!reader) {
    std::perror("brisk-reader-sim: cannot create a pseudo-terminal");
    return 1;
  }
  if (!link.empty()) {
    unlink(link.c_str());
    if (symlink(reader->SlavePath().c_str(), link.c_str()) != 0) {
      std::perror("brisk-reader-sim: cannot make the link");
      return 1;
    }
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("reader simulator on %s%s%s\n", reader->SlavePath().c_str(),
              link.empty() ? "" : " linked as ", link.c_str());
  std::fflush(stdout);

  reader->SetFrameHook([quiet](sim::ReaderSim&, const sim::Frame& f) {
    if (!quiet) std::printf("reader <- %s\n", Hex(f).c_str());
    if (f.type == 4)
      std::printf("reader got from platform: \"%s\"\n", Printable(f.payload).c_str());
    std::fflush(stdout);
    return false;
  });

  const auto started = std::chrono::steady_clock::now();
  auto expired = [&] {
    return seconds > 0 &&
           std::chrono::steady_clock::now() - started > std::chrono::seconds(seconds);
  };
  if (connect) {
    // Wait until the service talks (its first command), then ask for the platform.
    while (!g_stop && !expired() && reader->Received().empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (!g_stop && !expired()) {
      std::printf("reader -> connect request\n");
      std::fflush(stdout);
      reader->SendFrame(10, {0, 0});
      auto result = reader->WaitFrame(10, 15000);
      std::printf(
          "reader: platform connection %s\n",
          result && result->payload.size() >= 2 && result->payload[0] == 0 ? "made" : "failed");
      std::fflush(stdout);
      for (int n = 0; !text.empty() && n < count && !g_stop && !expired(); ++n) {
        std::printf("reader -> platform: \"%s\"\n", text.c_str());
        std::fflush(stdout);
        reader->SendFrame(4, std::vector<uint8_t>(text.begin(), text.end()));
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
      }
    }
  }
  while (!g_stop && !expired()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!link.empty()) unlink(link.c_str());
  return 0;
}
