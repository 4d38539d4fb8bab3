// What brisk-reader prints: its exit codes and the decoded fields of an answer, as JSON or as
// a line for people.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace brisk::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitReaderFailed = 1;
inline constexpr int kExitNoAnswer = 2;
inline constexpr int kExitUsage = 64;

// One JSON object on one line. Text that is not UTF-8 is replaced (U+FFFD) and everything but
// printable ASCII is escaped, so text from the reader can neither break a line nor reach a
// terminal raw.
std::string JsonLine(const nlohmann::ordered_json& object);

// The exit code for a service call's result.
int ExitFor(int result);

// Collects the decoded fields of one answer, printed as JSON or as one readable line.
class Output {
 public:
  explicit Output(bool json) : m_json(json) {}
  void Number(const char* key, long value);
  void Text(const char* key, const std::string& value);
  void Hex(const char* key, long value);
  void Print(int result, const char* what) const;

 private:
  bool m_json;
  nlohmann::ordered_json m_fields = nlohmann::ordered_json::object();
  std::string m_plain;
};

}  // namespace brisk::tools
