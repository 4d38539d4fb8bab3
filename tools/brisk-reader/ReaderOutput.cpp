#include "tools/brisk-reader/ReaderOutput.h"

#include <cstdio>

#include "link/ReaderCommands.h"
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
    case link::kShortAnswer:
      return "the answer was too short";
    default:
      return result > 0 ? "the reader answered a failure code" : "failed";
  }
}

}  // namespace

std::string JsonLine(const nlohmann::ordered_json& object) {
  return object.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

int ExitFor(int result) {
  if (result == 0) return kExitOk;
  return result > 0 ? kExitReaderFailed : kExitNoAnswer;
}

void Output::Number(const char* key, long value) {
  m_fields[key] = value;
  m_plain += std::string(", ") + key + " " + std::to_string(value);
}

void Output::Text(const char* key, const std::string& value) {
  m_fields[key] = value;
  m_plain += std::string(", ") + key + " " + EscapeControl(value);
}

void Output::Hex(const char* key, long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lx", value);
  m_fields[key] = value;
  m_plain += std::string(", ") + key + " " + text;
}

void Output::Print(int result, const char* what) const {
  if (m_json) {
    nlohmann::ordered_json object = {{"result", result}};
    object.update(m_fields);
    std::fputs(JsonLine(object).c_str(), stdout);
    return;
  }
  std::printf("%s: %s%s\n", what, Describe(result), m_plain.c_str());
}

}  // namespace brisk::tools
