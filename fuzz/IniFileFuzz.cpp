// The settings reader and writer: any file text parses, an untouched document writes back byte
// for byte, a write that reports success reads back, and every other key keeps its value.
//
// Input: the file text, then optionally 0x00 and "section\0key\0value" for one write.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/IniFile.h"

namespace brisk::fuzz {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(std::string s) {
  while (!s.empty() && Blank(s.front())) s.erase(s.begin());
  while (!s.empty() && (Blank(s.back()) || s.back() == '\r')) s.pop_back();
  return s;
}

// What a reader gets for a stored value: trimmed, without matching quotes.
std::string AsRead(const std::string& value) {
  std::string v = Trimmed(value);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v;
}

// Every (section, key) name pair the text mentions, found independently of the parser.
std::vector<std::pair<std::string, std::string>> Names(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> names;
  std::string section;
  bool inSection = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trimmed(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      if (close != std::string::npos) {
        section = Trimmed(line.substr(1, close - 1));
        inSection = true;
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (inSection && eq != std::string::npos && !Trimmed(line.substr(0, eq)).empty())
      names.emplace_back(section, Trimmed(line.substr(0, eq)));
  }
  return names;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

int RunOne(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\0');
  const std::string text = input.substr(0, cut);

  platform::IniDocument doc = platform::IniDocument::Parse(text);
  if (doc.Text() != text) std::abort();  // an untouched document is kept byte for byte
  if (cut == std::string::npos) return 0;

  std::string fields[3] = {"Section", "Key", "Value"};
  size_t at = cut + 1;
  for (std::string& field : fields) {
    if (at > input.size()) break;
    const size_t end = std::min(input.find('\0', at), input.size());
    field = input.substr(at, end - at);
    at = end + 1;
  }
  // Each look-up walks the document, so checking every key of a large input would cost the
  // square of its size; the first and last few keys (and the written one) are checked.
  auto names = Names(text);
  if (names.size() > 16) names.erase(names.begin() + 8, names.end() - 8);
  std::vector<std::optional<std::string>> before;
  for (const auto& [s, k] : names) before.push_back(doc.Get(s, k));

  if (!doc.Set(fields[0], fields[1], fields[2])) {
    if (doc.Text() != text) std::abort();  // a refused write changes nothing
    return 0;
  }
  const platform::IniDocument back = platform::IniDocument::Parse(doc.Text());
  const auto got = back.Get(Trimmed(fields[0]), Trimmed(fields[1]));
  if (!got || *got != AsRead(fields[2])) std::abort();  // a successful write reads back
  for (size_t i = 0; i < names.size(); ++i) {
    const auto& [s, k] = names[i];
    if (SameName(Trimmed(s), Trimmed(fields[0])) && SameName(k, Trimmed(fields[1]))) continue;
    if (back.Get(s, k) != before[i]) std::abort();  // every other key keeps its value
  }
  return 0;
}

}  // namespace brisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return brisk::fuzz::RunOne(data, size);
}
