#pragma once
// One reader link for a whole fuzzing run: the service on a real pty, with the simulated reader
// on the master side, its files in a private temporary folder, and every download sent to a
// refusing local proxy so that no input can reach the network.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "link/Brisk7Service.h"
#include "log/Log.h"
#include "platform/Clock.h"
#include "sim/reader/ReaderSim.h"

namespace brisk::fuzz {

// A loopback port on which nothing listens.
inline uint16_t RefusingPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "FINDING: %s\n", what);
  std::abort();
}

class LinkRig {
 public:
  explicit LinkRig(bool log) {
    char folder[] = "/tmp/brisk-fuzz-XXXXXX";
    if (!mkdtemp(folder)) Finding("no temporary folder");
    m_folder = folder;
    setenv("TMPDIR", folder, 1);
    setenv("XDG_CONFIG_HOME", (m_folder + "/config").c_str(), 1);
    const std::string proxy = "http://127.0.0.1:" + std::to_string(RefusingPort());
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY"})
      setenv(name, proxy.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    SetLogSwitch(log ? 1 : 0);
    reader = sim::ReaderSim::Create();
    service = std::make_unique<link::Brisk7Service>();
    service->SetPlatformAddress("127.0.0.1", RefusingPort());
    if (!reader || service->StartDevice(reader->SlavePath()) != 1) Finding("no reader link");
  }
  // Long runs must not grow: frames already judged are dropped now and then.
  void Tick() {
    if (++m_runs % 256 == 0) reader->ForgetReceived();
    if (!service->IsRelayRunning()) Finding("the relay ended although the port is still there");
  }
  const std::string& Folder() const { return m_folder; }

  std::unique_ptr<sim::ReaderSim> reader;
  std::unique_ptr<link::Brisk7Service> service;

 private:
  std::string m_folder;
  unsigned m_runs = 0;
};

}  // namespace brisk::fuzz
