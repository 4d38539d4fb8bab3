#include "libs/qktube/StringDescriptor.h"

#include <cstring>
#include <string>

#include "libs/qktube/QKTubeDevice.h"

namespace brisk::qktube {
namespace {

constexpr unsigned char kStringType = 0x03;  // bDescriptorType of a string descriptor

size_t Utf8Length(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

void PutUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

}  // namespace

uint32_t DecodeStringDescriptor(const unsigned char* raw, int rc, char* buffer, uint32_t size) {
  if (rc < 2 || raw[1] != kStringType || raw[0] > rc || raw[0] < 2 || (raw[0] & 1) != 0)
    return QK_ERR_BAD_DESCRIPTOR;

  std::string text;
  const int units = (raw[0] - 2) / 2;
  for (int i = 0; i < units; ++i) {
    uint32_t u = uint32_t(raw[2 + 2 * i] | (raw[3 + 2 * i] << 8));
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t lo = uint32_t(raw[4 + 2 * i] | (raw[5 + 2 * i] << 8));
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        u = 0xFFFD;
      }
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    if (u == 0) break;
    if (text.size() + Utf8Length(u) > size - 1) {
      std::memcpy(buffer, text.data(), text.size());
      buffer[text.size()] = '\0';
      return QK_ERR_BUFFER;
    }
    PutUtf8(text, u);
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return QK_OK;
}

}  // namespace brisk::qktube
