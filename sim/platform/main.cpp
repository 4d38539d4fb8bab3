// brisk-platform-sim: a platform server on 127.0.0.1 that echoes what it receives, or
// answers with a fixed text, so the service can relay without a real platform.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "sim/platform/PlatformServer.h"

using namespace brisk;

namespace {
std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }
}  // namespace

int main(int argc, char** argv) {
  sim::PlatformServer::Options options;
  std::string reply;
  int seconds = 600;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--port" && i + 1 < argc)
      options.port = static_cast<uint16_t>(std::atoi(argv[++i]));
    else if (a == "--reply" && i + 1 < argc)
      reply = argv[++i];
    else if (a == "--seconds" && i + 1 < argc)
      seconds = std::atoi(argv[++i]);
    else if (a == "--accept-nothing")
      options.acceptNothing = true;
    else {
      std::fprintf(
          stderr,
          "usage: brisk-platform-sim [--port N] [--reply TEXT] [--seconds S] [--accept-nothing]\n"
          "  echoes what it receives unless --reply is given; stops after S seconds (600)\n");
      return 64;
    }
  }
  options.lifetimeSeconds = seconds;
  auto server = sim::PlatformServer::Start(options);
  if (!server) {
    std::perror("brisk-platform-sim: cannot listen");
    return 1;
  }
  if (!reply.empty()) {
    server->SetReply([reply](const sim::PlatformServer::Bytes& got) {
      std::printf("platform got %zu bytes, answers \"%s\"\n", got.size(), reply.c_str());
      std::fflush(stdout);
      return sim::PlatformServer::Bytes(reply.begin(), reply.end());
    });
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("platform simulator listening on 127.0.0.1:%u\n", server->Port());
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!g_stop && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return 0;
}
