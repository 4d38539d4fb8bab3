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
// The lookup runs on a helper thread of its own, so the caller can give up on it: false as well
// when it has not finished within timeoutMs or cancelFd (if >= 0) became readable first.
inline constexpr int kLookupLimitMs = 10000;
bool ResolveIPv4(const std::string& host, std::vector<std::string>& addresses, int cancelFd = -1,
                 int timeoutMs = kLookupLimitMs);
// Replaces the system resolver (tests); an empty function restores it.
void SetResolver(Resolver resolver);

bool IsDottedIPv4(const std::string& text);

int TcpCreate();  // descriptor or -1
// SO_KEEPALIVE on; true when the idle time and probe interval could be set too.
bool TcpSetKeepAlive(int fd, int idleMs, int intervalMs);
void TcpSetNoDelay(int fd);
// Non-blocking connect bounded by timeoutMs, given up as soon as cancelFd (if >= 0) becomes
// readable; the socket is blocking again afterwards.
bool TcpConnect(int fd, const char* address, uint32_t port, int timeoutMs, int cancelFd = -1);
// True when fd (if >= 0) is readable right now: a cancel descriptor has been signalled.
bool IsSignalled(int fd);
// recv; the send below never raises SIGPIPE.
long TcpReceive(int fd, uint8_t* buffer, size_t count);
// Sends what the socket takes now without waiting: bytes sent (0 when its buffer is full),
// or -1 when the connection failed.
long TcpSendNow(int fd, const uint8_t* buffer, size_t count);
void TcpClose(int fd);

}  // namespace brisk::platform
