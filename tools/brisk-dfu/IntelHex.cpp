#include "tools/brisk-dfu/IntelHex.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brisk::tools {

namespace {

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Sane cap on what a package holds; the package format refuses more anyway.
constexpr size_t kMaxBytes = 16u * 1024u * 1024u;
// A record line is at most 521 characters: 16 MiB of data in records of 16 bytes is ~48 MiB.
constexpr size_t kMaxHexText = 48u * 1024u * 1024u;

}  // namespace

bool ReadBounded(const std::string& path, size_t limit, std::vector<uint8_t>& out,
                 std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  out.clear();
  size_t got = 0;
  while (got <= limit) {
    // Grows as the input does, never past limit + 1 bytes.
    if (got == out.size()) out.resize(std::min(limit + 1, std::max<size_t>(65536, got * 2)));
    const ssize_t n = read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  close(fd);
  out.resize(got);
  if (got > limit) {
    error = "larger than " + std::to_string(limit / (1024 * 1024)) + " MiB";
    return false;
  }
  return true;
}

bool ReadIntelHex(const std::string& path, std::vector<HexBlock>& blocks, std::string& error) {
  std::vector<uint8_t> text;
  if (!ReadBounded(path, kMaxHexText, text, error)) return false;
  std::map<uint32_t, uint8_t> bytes;
  uint32_t base = 0;
  bool ended = false;
  std::string line;
  size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    size_t end = at;
    while (end < text.size() && text[end] != '\n') ++end;
    line.assign(reinterpret_cast<const char*>(text.data()) + at, end - at);
    at = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (ended) {
      error = where + "record after the end record";
      return false;
    }
    if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) {
      error = where + "not an Intel HEX record";
      return false;
    }
    std::vector<uint8_t> rec;
    for (size_t i = 1; i + 1 < line.size(); i += 2) {
      const int hi = Nibble(line[i]), lo = Nibble(line[i + 1]);
      if (hi < 0 || lo < 0) {
        error = where + "not hexadecimal";
        return false;
      }
      rec.push_back(uint8_t(hi << 4 | lo));
    }
    const size_t count = rec[0];
    if (rec.size() != count + 5) {
      error = where + "length does not match the byte count";
      return false;
    }
    uint8_t sum = 0;
    for (uint8_t b : rec) sum = uint8_t(sum + b);
    if (sum != 0) {
      error = where + "checksum mismatch";
      return false;
    }
    const uint32_t offset = uint32_t(rec[1] << 8 | rec[2]);
    const uint8_t type = rec[3];
    const uint8_t* data = rec.data() + 4;
    switch (type) {
      case 0x00:
        for (size_t i = 0; i < count; ++i) {
          const uint64_t address = uint64_t(base) + offset + i;
          if (address > 0xFFFFFFFFu || bytes.size() >= kMaxBytes) {
            error = where + "data beyond 4 GiB or too much data";
            return false;
          }
          if (!bytes.emplace(uint32_t(address), data[i]).second) {
            error = where + "address given twice";
            return false;
          }
        }
        break;
      case 0x01:
        ended = true;
        break;
      case 0x02:
        if (count != 2) {
          error = where + "bad segment address record";
          return false;
        }
        base = uint32_t(data[0] << 8 | data[1]) << 4;
        break;
      case 0x04:
        if (count != 2) {
          error = where + "bad linear address record";
          return false;
        }
        base = uint32_t(data[0] << 8 | data[1]) << 16;
        break;
      case 0x03:
      case 0x05:
        break;  // start addresses mean nothing to a package
      default:
        error = where + "unknown record type";
        return false;
    }
  }
  if (!ended) {
    error = "no end record";
    return false;
  }
  blocks.clear();
  for (const auto& [address, value] : bytes) {
    if (blocks.empty() || uint64_t(blocks.back().address) + blocks.back().data.size() != address)
      blocks.push_back({address, {}});
    blocks.back().data.push_back(value);
  }
  return true;
}

}  // namespace brisk::tools
