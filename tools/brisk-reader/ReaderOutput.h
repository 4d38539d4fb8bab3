// What brisk-reader prints: its exit codes and the decoded fields of an answer, as JSON or as
// a line for people.
#pragma once

#include <string>
#include <vector>

namespace brisk::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitReaderFailed = 1;
inline constexpr int kExitNoAnswer = 2;
inline constexpr int kExitUsage = 64;

// Control characters (C0, DEL and, in UTF-8, C1) are written as \u escapes, so text from the
// reader can neither break a line nor reach a terminal raw.
std::string JsonText(const std::string& s);

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
  struct Field {
    const char* key;
    std::string json, plain;
  };
  bool m_json;
  std::vector<Field> m_fields;
};

}  // namespace brisk::tools
