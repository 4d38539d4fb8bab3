// Any block from the platform: forwarded to the reader whole and unchanged, whatever notice
// markers, control characters or zero bytes it carries, with the notice scan and its log line.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include "fuzz/support/LinkRig.h"

namespace brisk::fuzz {
namespace {

constexpr uint8_t kPlatformData = 4;
constexpr uint8_t kConnect = 10;

// The platform's end of one connection the service made on the reader's request.
int ConnectPlatform(LinkRig& rig) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0)
    Finding("setup");
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  rig.service->SetPlatformAddress("127.0.0.1", ntohs(a.sin_port));
  rig.reader->SendFrame(kConnect, {0, 0});
  auto result = rig.reader->WaitFrame(kConnect, 20000);
  if (!result || result->payload != std::vector<uint8_t>{0, 0}) Finding("no platform connection");
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, 5000) != 1) Finding("no platform connection");
  const int fd = accept(listener, nullptr, nullptr);
  close(listener);
  return fd;
}

}  // namespace

int RunOne(const uint8_t* data, size_t size) {
  static LinkRig& rig = *new LinkRig(true);
  static const int platformFd = ConnectPlatform(rig);
  if (size == 0) return 0;
  for (size_t sent = 0; sent < size;) {
    const ssize_t n = send(platformFd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) Finding("the service closed the platform connection");
    sent += static_cast<size_t>(n);
  }
  std::vector<uint8_t> forwarded;
  while (forwarded.size() < size) {
    auto block = rig.reader->WaitFrame(kPlatformData, 20000);
    if (!block) Finding("a block was not forwarded");
    forwarded.insert(forwarded.end(), block->payload.begin(), block->payload.end());
  }
  if (forwarded != std::vector<uint8_t>(data, data + size)) Finding("a block was changed");
  if (!rig.service->IsServerConnected()) Finding("the platform connection was dropped");
  rig.Tick();
  return 0;
}

}  // namespace brisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return brisk::fuzz::RunOne(data, size);
}
