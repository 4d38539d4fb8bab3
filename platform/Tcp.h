#pragma once
// IPv4 TCP sockets for the platform connection.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brisk::platform {

// Name lookup: the host's IPv4 addresses as dotted text, in the resolver's order.
// False when the lookup fails.
using Resolver = std::function<bool(const std::string& host, std::vector<std::string>& addresses)>;
bool ResolveIPv4(const std::string& host, std::vector<std::string>& addresses);
// Replaces the system resolver (tests); an empty function restores it.
void SetResolver(Resolver resolver);

bool IsDottedIPv4(const std::string& text);

int TcpCreate();  // descriptor or -1
// SO_KEEPALIVE on; true when the idle time and probe interval could be set too.
bool TcpSetKeepAlive(int fd, int idleMs, int intervalMs);
void TcpSetNoDelay(int fd);
// Non-blocking connect bounded by timeoutMs; the socket is blocking again afterwards.
bool TcpConnect(int fd, const char* address, uint32_t port, int timeoutMs);
// recv/send; send never raises SIGPIPE.
long TcpReceive(int fd, uint8_t* buffer, size_t count);
// Blocks while the peer's window is full, but gives up (-1) as soon as cancelFd becomes
// readable, so a peer that stops reading cannot hold the caller for ever.
long TcpSend(int fd, const uint8_t* buffer, size_t count, int cancelFd);
void TcpClose(int fd);

}  // namespace brisk::platform
