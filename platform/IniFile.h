#pragma once
// A small INI store with the reading and writing rules of the classic private-profile
// functions: names matched without regard to (ASCII) case, first section and first key
// win, every other line kept byte for byte, the file rewritten atomically.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AtomicFile.h"

namespace brisk::platform {

class IniDocument {
 public:
  IniDocument() = default;
  // Never fails: lines that are neither a section, a key nor a comment are kept as they
  // stand and noted in Problems().
  static IniDocument Parse(std::string text);

  // The value of the first key of that name in the first section of that name, trimmed.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  // Replaces the value of that key, or adds the key (and the section) as needed. False,
  // and nothing changed, for names or values that would not survive as one line.
  bool Set(std::string_view section, std::string_view key, std::string_view value);

  std::string Text() const;
  const std::vector<std::string>& Problems() const { return m_problems; }

 private:
  enum class Kind { Other, Section, Key };
  struct Line {
    std::string body;  // without its line ending
    std::string eol;   // "\n", "\r\n", or "" or "\r" for a last line without one
    Kind kind = Kind::Other;
    std::string name;  // section or key name, trimmed
  };
  static Line ParseLine(std::string body, std::string eol);
  std::string NewLineEnding() const;
  static void EndLine(Line& line, const std::string& eol);
  // Index of the first section line of that name, or m_lines.size().
  size_t FindSection(std::string_view section) const;

  std::string m_bom;
  std::vector<Line> m_lines;
  std::vector<std::string> m_problems;
};

// The integer reading rule: no value gives the default; otherwise the leading decimal
// integer (sign allowed, saturated to the int range), 0 when it does not begin with one.
int IniValueToInt(const std::optional<std::string>& value, int defaultValue);

// Loads a file. A missing file gives an empty document and *exists false. A file that
// cannot be read, or is larger than kMaxIniFileSize, gives an empty document, false,
// and *error says why.
inline constexpr size_t kMaxIniFileSize = 1 << 20;
bool LoadIniFile(const std::string& path, IniDocument* document, bool* exists, std::string* error);

// GetPrivateProfileInt: the default when the file, section or key is missing.
int ReadIniInt(const std::string& path, std::string_view section, std::string_view key,
               int defaultValue);

struct IniEntry {
  std::string section, key, value;
};
// WritePrivateProfileString for one or more keys, applied in order and stored in one
// atomic replacement of the file. The folder must exist. False (and the old file whole)
// on any failure, with *error saying why.
bool WriteIniStrings(const std::string& path, const std::vector<IniEntry>& entries,
                     std::string* error);
bool WriteIniString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value, std::string* error);

}  // namespace brisk::platform
