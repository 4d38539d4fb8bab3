// Any block from the platform, sent over a loopback connection: forwarded to the reader whole and
// unchanged, whatever notice markers, control characters or zero bytes it carries, with the
// notice scan and its log line; the only other frame it may bring is the heartbeat setting a
// notice asks for.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/support/LinkRig.h"

namespace brisk::fuzz {
namespace {

constexpr size_t kBlock = link::frame::kReceiveBufferSize - 1;  // the most one read takes
constexpr uint8_t kNoticePrefix[] = {0x01, 0x3F, 0x02};

// The platform's side: a listener the service connects to on the reader's request.
class Platform {
 public:
  explicit Platform(LinkRig& rig) : m_rig(rig) {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(m_listener, 1) != 0)
      Finding("setup");
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len);
    rig.relay.SetPlatformAddress("127.0.0.1", ntohs(a.sin_port));
  }

  // The reader asks for the connection (again: an upgrade notice ends the relay's session).
  void Connect() {
    const auto answers = m_rig.Send(link::frame::kConnect, {0, 0});
    if (answers.size() != 1 || answers[0].type != link::frame::kConnect ||
        answers[0].payload != std::vector<uint8_t>{0, 0})
      Finding("no platform connection");
    pollfd p{m_listener, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) Finding("no platform connection");
    if (m_fd >= 0) close(m_fd);
    m_fd = accept(m_listener, nullptr, nullptr);
  }

  void Send(const uint8_t* block, size_t size) {
    if (send(m_fd, block, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) Finding("send");
  }

 private:
  LinkRig& m_rig;
  int m_listener = -1;
  int m_fd = -1;
};

}  // namespace

int RunOne(const uint8_t* data, size_t size) {
  static LinkRig& rig = *new LinkRig(true);
  static Platform& platform = *new Platform(rig);
  if (size == 0) return 0;
  for (size_t at = 0; at < size; at += kBlock) {
    if (!rig.relay.IsRelayActive()) platform.Connect();
    const size_t n = std::min(kBlock, size - at);
    const uint8_t* block = data + at;
    platform.Send(block, n);
    // The relay reads the block as it arrives, in one receive on the loopback as a rule.
    std::vector<uint8_t> forwarded;
    std::vector<ReaderFrame> frames;
    for (int i = 0; i < 1000 && forwarded.size() < n; ++i) {
      rig.Serve(20);
      for (ReaderFrame& f : rig.Written()) {
        if (f.type == link::frame::kPlatformData)
          forwarded.insert(forwarded.end(), f.payload.begin(), f.payload.end());
        else
          frames.push_back(std::move(f));
      }
    }
    if (forwarded != std::vector<uint8_t>(block, block + n))
      Finding("a block was not forwarded whole and unchanged");
    const bool notice = n > 3 && std::memcmp(block, kNoticePrefix, sizeof kNoticePrefix) == 0;
    for (const ReaderFrame& f : frames)
      if (!notice || f.type != link::frame::kSetHeartbeat || f.payload.size() != 4)
        Finding("a block brought a frame it did not ask for");
    if (!rig.relay.IsServerConnected()) Finding("the platform connection was dropped");
  }
  return 0;
}

}  // namespace brisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return brisk::fuzz::RunOne(data, size);
}
