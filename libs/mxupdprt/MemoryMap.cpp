#include "libs/mxupdprt/MemoryMap.h"

#include <cstring>

namespace brisk::dfu {

namespace {

class Scanner {
 public:
  explicit Scanner(std::string_view text) : m_text(text) {}
  bool AtEnd() const { return m_at == m_text.size(); }
  bool Peek(char c) const { return !AtEnd() && m_text[m_at] == c; }
  bool Take(char c) {
    if (!Peek(c)) return false;
    ++m_at;
    return true;
  }
  char Next() { return AtEnd() ? '\0' : m_text[m_at++]; }
  // Decimal digits, at least one, value at most 0xFFFFFFFF.
  bool Decimal(uint64_t& value) {
    value = 0;
    size_t digits = 0;
    while (!AtEnd() && m_text[m_at] >= '0' && m_text[m_at] <= '9') {
      value = value * 10 + uint64_t(m_text[m_at++] - '0');
      if (value > 0xFFFFFFFFull) return false;
      ++digits;
    }
    return digits > 0;
  }
  // "0x" and one to eight hexadecimal digits.
  bool Hex(uint64_t& value) {
    if (!Take('0') || !(Take('x') || Take('X'))) return false;
    value = 0;
    size_t digits = 0;
    while (!AtEnd()) {
      const char c = m_text[m_at];
      int v = -1;
      if (c >= '0' && c <= '9') v = c - '0';
      if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
      if (v < 0) break;
      if (++digits > 8) return false;
      value = value * 16 + uint64_t(v);
      ++m_at;
    }
    return digits > 0;
  }

 private:
  std::string_view m_text;
  size_t m_at = 0;
};

// Copies the name, cut to fit with its terminator, never inside a UTF-8 sequence.
void CopyName(std::string_view name, char (&out)[DFU_TARGET_NAME_SIZE]) {
  size_t n = name.size();
  if (n > DFU_TARGET_NAME_SIZE - 1) {
    n = DFU_TARGET_NAME_SIZE - 1;
    while (n > 0 && (uint8_t(name[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(out, name.data(), n);
  std::memset(out + n, 0, DFU_TARGET_NAME_SIZE - n);
}

}  // namespace

bool ParseMemoryMap(std::string_view text, uint8_t alternate, ParsedTarget& out,
                    uint32_t maxSectors) {
  if (text.empty() || text[0] != '@') return false;
  const size_t slash = text.find('/', 1);
  if (slash == std::string_view::npos) return false;
  const std::string_view name = text.substr(1, slash - 1);
  if (name.find('\0') != std::string_view::npos) return false;

  ParsedTarget result;
  result.target.alternate = alternate;
  CopyName(name, result.target.name);

  Scanner in(text.substr(slash));
  uint64_t segmentFloor = 0;
  // One or more "/0xSTART/runs" segments, each starting at or after the end of the last.
  while (!in.AtEnd()) {
    uint64_t address = 0;
    if (!in.Take('/') || !in.Hex(address) || !in.Take('/')) return false;
    if (address < segmentFloor) return false;
    do {
      uint64_t count = 0, size = 0;
      if (!in.Decimal(count) || !in.Take('*') || !in.Decimal(size)) return false;
      const char unit = in.Next();
      if (unit == 'K')
        size *= 1024;
      else if (unit == 'M')
        size *= 1024 * 1024;
      else if (unit != ' ')
        return false;
      const char type = in.Next();
      if (type < 'a' || type > 'g') return false;
      if (count == 0 || size == 0 || size > 0xFFFFFFFFull) return false;
      if (count > maxSectors - result.sectors.size()) return false;
      if (address + count * size > 0x100000000ull) return false;
      for (uint64_t i = 0; i < count; ++i) {
        SectorMap s{};
        s.startAddress = uint32_t(address);
        s.size = uint32_t(size);
        s.flags = uint8_t(type - 'a' + 1);
        result.sectors.push_back(s);
        address += size;
      }
    } while (in.Take(','));
    segmentFloor = address;
  }
  if (result.sectors.empty()) return false;
  result.target.sectorCount = uint32_t(result.sectors.size());
  result.target.sectors = nullptr;
  out = std::move(result);
  return true;
}

}  // namespace brisk::dfu
