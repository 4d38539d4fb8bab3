#pragma once
// One service for a whole fuzzing run, driven without a port: frames from the reader and
// blocks from the platform are handed to it directly, and what it writes for the reader is
// collected and checked to be well-formed frames. Its files live in a private temporary
// folder, and every download is sent to a refusing local proxy so no input reaches the network.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/Brisk7Service.h"
#include "link/Frame.h"
#include "log/Log.h"

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
    service = std::make_unique<link::Brisk7Service>();
    service->SetPlatformAddress("127.0.0.1", RefusingPort());
    service->SetComWriter([this](const uint8_t* bytes, size_t size) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_written.insert(m_written.end(), bytes, bytes + size);
      return static_cast<int>(size);
    });
  }

  // The reader sends one frame; returns what the service wrote for the reader meanwhile.
  std::vector<ReaderFrame> Send(uint8_t type, const std::vector<uint8_t>& payload) {
    const std::vector<uint8_t> frame = link::frame::Encode(type, payload);
    if (!service->HandleReaderFrame(frame.data(), frame.size())) Finding("a frame was refused");
    return Written();
  }

  // Everything written for the reader since the last call, cut into frames; anything that is
  // not a whole, well-formed frame is a finding.
  std::vector<ReaderFrame> Written() {
    std::vector<uint8_t> bytes;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      bytes.swap(m_written);
    }
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

  std::unique_ptr<link::Brisk7Service> service;

 private:
  std::string m_folder;
  std::mutex m_lock;
  std::vector<uint8_t> m_written;
};

}  // namespace brisk::fuzz
