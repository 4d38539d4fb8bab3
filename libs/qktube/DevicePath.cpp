#include "libs/qktube/DevicePath.h"

#include <cstdio>

namespace brisk::qktube {
namespace {

bool ParseHex4(std::string_view s, uint16_t& out) {
  if (s.size() != 4) return false;
  unsigned v = 0;
  for (char c : s) {
    v <<= 4;
    if (c >= '0' && c <= '9')
      v |= unsigned(c - '0');
    else if (c >= 'a' && c <= 'f')
      v |= unsigned(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      v |= unsigned(c - 'A' + 10);
    else
      return false;
  }
  out = uint16_t(v);
  return true;
}

bool ParseDecimal(std::string_view s, unsigned max, unsigned& out) {
  if (s.empty() || s.size() > 3) return false;
  unsigned v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > max) return false;
  out = v;
  return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool ParseDevicePath(std::string_view text, DevicePath& out) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    size_t hash = text.find('#', start);
    parts.push_back(
        text.substr(start, hash == std::string_view::npos ? std::string_view::npos : hash - start));
    if (hash == std::string_view::npos) break;
    start = hash + 1;
  }
  if (parts.size() != 4 || !EqualsIgnoreCase(parts[0], "USB")) return false;

  std::string_view ids = parts[1];
  if (ids.size() != 17 || !EqualsIgnoreCase(ids.substr(0, 4), "VID_") ||
      !EqualsIgnoreCase(ids.substr(8, 5), "&PID_") || !ParseHex4(ids.substr(4, 4), out.vid) ||
      !ParseHex4(ids.substr(13, 4), out.pid))
    return false;

  std::string_view place = parts[2];
  size_t dash = place.find('-');
  unsigned bus = 0;
  if (dash == std::string_view::npos || !ParseDecimal(place.substr(0, dash), 255, bus) || bus == 0)
    return false;
  out.bus = uint8_t(bus);
  std::string_view rest = place.substr(dash + 1);
  while (true) {
    size_t dot = rest.find('.');
    unsigned port = 0;
    if (!ParseDecimal(rest.substr(0, dot), 255, port) || port == 0) return false;
    out.ports.push_back(uint8_t(port));
    if (out.ports.size() > kMaxPortDepth) return false;
    if (dot == std::string_view::npos) break;
    rest = rest.substr(dot + 1);
  }

  std::string_view cls = parts[3];
  return cls.size() == 38 && cls.front() == '{' && cls.back() == '}';
}

std::string FormatDevicePath(const DevicePath& path, const char* cls) {
  char head[40];
  std::snprintf(head, sizeof head, "USB#VID_%04X&PID_%04X#%u-", path.vid, path.pid,
                unsigned(path.bus));
  std::string text = head;
  for (size_t i = 0; i < path.ports.size(); ++i) {
    if (i) text += '.';
    text += std::to_string(path.ports[i]);
  }
  text += '#';
  text += cls;
  return text;
}

}  // namespace brisk::qktube
