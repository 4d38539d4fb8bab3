#include "tools/brisk-reader/ReaderOutput.h"

#include <cstdio>

#include "log/Escape.h"

namespace brisk::tools {

namespace {

const char* Describe(int result) {
  switch (result) {
    case 0:
      return "ok";
    case -1:
      return "not sent (the link is not running)";
    case -3:
      return "no answer in time";
    case -2:
    case -4:
    case -7:
      return "failed";
    default:
      return result > 0 ? "the reader answered a failure code" : "failed";
  }
}

}  // namespace

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    unsigned escaped = 0x100;
    if (c < 0x20 || c == 0x7F)
      escaped = c;
    else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
             static_cast<unsigned char>(s[i + 1]) <= 0x9F)
      escaped = static_cast<unsigned char>(s[++i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (escaped != 0x100) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", escaped);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

int ExitFor(int result) {
  if (result == 0) return kExitOk;
  return result > 0 ? kExitReaderFailed : kExitNoAnswer;
}

void Output::Number(const char* key, long value) {
  m_fields.push_back({key, std::to_string(value), std::to_string(value)});
}

void Output::Text(const char* key, const std::string& value) {
  m_fields.push_back({key, JsonText(value), EscapeControl(value)});
}

void Output::Hex(const char* key, long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lx", value);
  m_fields.push_back({key, std::to_string(value), text});
}

void Output::Print(int result, const char* what) const {
  if (m_json) {
    std::printf("{\"result\":%d", result);
    for (const auto& f : m_fields) std::printf(",\"%s\":%s", f.key, f.json.c_str());
    std::printf("}\n");
    return;
  }
  std::printf("%s: %s", what, Describe(result));
  for (const auto& f : m_fields) std::printf(", %s %s", f.key, f.plain.c_str());
  std::printf("\n");
}

}  // namespace brisk::tools
