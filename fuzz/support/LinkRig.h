#pragma once
// One relay and firmware server for a whole fuzzing run, on a port in memory and driven on the
// fuzzer's thread: frames from the reader are fed into the port, and what the link writes for
// the reader is collected and checked to be well-formed frames. Its files live in a private
// temporary folder, and every download is sent to a refusing local proxy so no input reaches the
// network.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "link/FirmwareServer.h"
#include "link/Frame.h"
#include "link/Relay.h"
#include "log/Log.h"
#include "tests/link/MemoryReaderPort.h"

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

struct ReaderFrame {
  uint8_t type = 0;
  std::vector<uint8_t> payload;
};

class LinkRig {
 public:
  explicit LinkRig(bool log) {
    char folder[] = "/tmp/brisk-fuzz-XXXXXX";
    if (!mkdtemp(folder)) Finding("no temporary folder");
    m_folder = folder;
    // Set before the service starts any thread.
    setenv("TMPDIR", folder, 1);
    setenv("XDG_CONFIG_HOME", (m_folder + "/config").c_str(), 1);
    const std::string proxy = "http://127.0.0.1:" + std::to_string(RefusingPort());
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY"})
      setenv(name, proxy.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    SetLogSwitch(log ? 1 : 0);
    firmware = std::make_unique<link::FirmwareServer>(
        link::EnterDfuCallback{},
        [this](const uint8_t* data, int size) { return relay.WriteCom(data, size); });
    relay.SetPlatformAddress("127.0.0.1", RefusingPort());
    relay.SetHandlers({},
                      [this](const uint8_t* data, size_t size) { firmware->Handle(data, size); });
    auto owned = std::make_unique<link::MemoryReaderPort>();
    port = owned.get();
    relay.Attach(std::move(owned));
  }

  // The reader sends one frame; returns what the link wrote for the reader meanwhile.
  std::vector<ReaderFrame> Send(uint8_t type, const std::vector<uint8_t>& payload) {
    port->Feed(link::frame::Encode(type, payload));
    Serve(0);
    return Written();
  }

  // One pass of the relay; the relay never ends while the fuzzer drives it.
  void Serve(int waitMs) {
    if (!relay.Serve(waitMs)) Finding("the relay ended");
  }

  // Everything written for the reader since the last call, cut into frames; anything that is
  // not a whole, well-formed frame is a finding.
  std::vector<ReaderFrame> Written() {
    const std::vector<uint8_t> bytes = port->TakeWritten();
    std::vector<ReaderFrame> frames;
    for (size_t at = 0; at < bytes.size();) {
      const uint8_t* p = bytes.data() + at;
      if (bytes.size() - at < link::frame::kHeadSize + 2 || p[0] != link::frame::kHead1 ||
          p[1] != link::frame::kHead2)
        Finding("the service wrote something that is not a frame");
      const size_t size = link::frame::kHeadSize + link::frame::ReadLe16(p + 2);
      if (size > bytes.size() - at || size < link::frame::kHeadSize + 2)
        Finding("a frame's length field does not match what was written");
      if (link::frame::Checksum(p, size) != 0) Finding("a frame with a wrong check byte");
      frames.push_back({p[4], std::vector<uint8_t>(p + 5, p + size - 1)});
      at += size;
    }
    return frames;
  }

  const std::string& Folder() const { return m_folder; }

  link::Relay relay;
  std::unique_ptr<link::FirmwareServer> firmware;
  link::MemoryReaderPort* port = nullptr;

 private:
  std::string m_folder;
};

}  // namespace brisk::fuzz
