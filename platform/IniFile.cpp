#include "platform/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace brisk::platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// True for well-formed UTF-8 (a NUL byte is checked on its own).
bool IsUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t more = 0;
    if (c < 0x80)
      more = 0;
    else if (c >= 0xC2 && c <= 0xDF)
      more = 1;
    else if (c >= 0xE0 && c <= 0xEF)
      more = 2;
    else if (c >= 0xF0 && c <= 0xF4)
      more = 3;
    else
      return false;
    if (more > 0 && i + more >= s.size()) return false;
    for (size_t k = 1; k <= more; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += more + 1;
  }
  return true;
}

bool FitsOneLine(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string Errno(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

IniDocument::Line IniDocument::ParseLine(std::string body, std::string eol) {
  Line line;
  line.body = std::move(body);
  line.eol = std::move(eol);
  const std::string_view t = Trim(line.body);
  if (t.empty() || t.front() == ';' || t.front() == '#') return line;
  if (t.front() == '[') {
    const size_t close = t.find(']');
    if (close != std::string_view::npos) {
      line.kind = Kind::Section;
      line.name = std::string(Trim(t.substr(1, close - 1)));
    }
    return line;
  }
  const size_t eq = t.find('=');
  if (eq != std::string_view::npos && !Trim(t.substr(0, eq)).empty()) {
    line.kind = Kind::Key;
    line.name = std::string(Trim(t.substr(0, eq)));
  }
  return line;
}

IniDocument IniDocument::Parse(std::string text) {
  IniDocument doc;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    doc.m_bom = text.substr(0, 3);
    text.erase(0, 3);
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string eol;
    std::string body;
    if (end == std::string::npos) {
      body = text.substr(start);
      start = text.size();
    } else {
      body = text.substr(start, end - start);
      eol = "\n";
      start = end + 1;
    }
    if (!body.empty() && body.back() == '\r') {
      body.pop_back();
      eol = "\r" + eol;
    }
    Line line = ParseLine(std::move(body), std::move(eol));
    const size_t number = doc.m_lines.size() + 1;
    // A NUL byte is named as such: it usually means a binary file, not a wrong encoding.
    if (line.body.find('\0') != std::string::npos) {
      doc.m_problems.push_back("line " + std::to_string(number) + " holds a NUL byte");
    } else if (!IsUtf8(line.body)) {
      doc.m_problems.push_back("line " + std::to_string(number) + " is not valid UTF-8 text");
    } else if (line.kind == Kind::Other) {
      const std::string_view t = Trim(line.body);
      if (!t.empty() && t.front() != ';' && t.front() != '#')
        doc.m_problems.push_back("line " + std::to_string(number) +
                                 " is neither a section, a key nor a comment; kept as it is");
    }
    doc.m_lines.push_back(std::move(line));
  }
  return doc;
}

size_t IniDocument::FindSection(std::string_view section) const {
  for (size_t i = 0; i < m_lines.size(); ++i)
    if (m_lines[i].kind == Kind::Section && SameName(m_lines[i].name, section)) return i;
  return m_lines.size();
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
  for (size_t i = FindSection(section) + 1; i < m_lines.size(); ++i) {
    const Line& line = m_lines[i];
    if (line.kind == Kind::Section) break;
    if (line.kind != Kind::Key || !SameName(line.name, key)) continue;
    std::string_view value = Trim(line.body);
    value = Trim(value.substr(value.find('=') + 1));
    // A value in matching quotes is read without them.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return std::string(value);
  }
  return std::nullopt;
}

// The file's own line ending for new lines. A bare CR (only possible after the last line,
// since lines are split at LF) does not end a line for a reader, so it is never copied.
std::string IniDocument::NewLineEnding() const {
  bool bareCr = false;
  for (const Line& line : m_lines) {
    if (!line.eol.empty() && line.eol.back() == '\n') return line.eol;
    bareCr = bareCr || line.eol == "\r";
  }
  return bareCr ? "\r\n" : "\n";
}

// Makes sure whatever follows the line starts on a line of its own.
void IniDocument::EndLine(Line& line, const std::string& eol) {
  if (line.eol.empty())
    line.eol = eol;
  else if (line.eol.back() != '\n')
    line.eol += "\n";
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  const std::string_view s = Trim(section), k = Trim(key);
  if (s.empty() || k.empty() || !FitsOneLine(section) || !FitsOneLine(key) || !FitsOneLine(value) ||
      s.find(']') != std::string_view::npos || k.find('=') != std::string_view::npos ||
      k.front() == '[' || k.front() == ';' || k.front() == '#')
    return false;
  const std::string eol = NewLineEnding();
  const size_t head = FindSection(s);
  if (head == m_lines.size()) {
    if (!m_lines.empty()) {
      EndLine(m_lines.back(), eol);
      if (!Trim(m_lines.back().body).empty()) m_lines.push_back(ParseLine("", eol));
    }
    m_lines.push_back(ParseLine("[" + std::string(s) + "]", eol));
    m_lines.push_back(ParseLine(std::string(k) + "=" + std::string(value), eol));
    return true;
  }
  size_t last = head;  // last line of the section that is not blank
  for (size_t i = head + 1; i < m_lines.size(); ++i) {
    Line& line = m_lines[i];
    if (line.kind == Kind::Section) break;
    if (line.kind == Kind::Key && SameName(line.name, k)) {
      // The key keeps the spelling the file gave it.
      line.body = line.name + "=" + std::string(value);
      return true;
    }
    if (!Trim(line.body).empty()) last = i;
  }
  EndLine(m_lines[last], eol);
  m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(last) + 1,
                 ParseLine(std::string(k) + "=" + std::string(value), eol));
  return true;
}

std::string IniDocument::Text() const {
  std::string out = m_bom;
  for (const Line& line : m_lines) {
    out += line.body;
    out += line.eol;
  }
  return out;
}

int IniValueToInt(const std::optional<std::string>& value, int defaultValue) {
  if (!value) return defaultValue;
  const std::string& v = *value;
  size_t i = 0;
  while (i < v.size() && IsBlank(v[i])) ++i;
  bool negative = false;
  if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
  long long n = 0;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
    n = n * 10 + (v[i] - '0');
    if (n > static_cast<long long>(INT_MAX) + 1) n = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) n = -n;
  if (n > INT_MAX) n = INT_MAX;
  if (n < INT_MIN) n = INT_MIN;
  return static_cast<int>(n);
}

bool LoadIniFile(const std::string& path, IniDocument* document, bool* exists, std::string* error) {
  *document = IniDocument();
  *exists = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    if (error) *error = Errno("cannot open", path);
    return false;
  }
  *exists = true;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = path + " is not a regular file";
    ::close(fd);
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > kMaxIniFileSize) {
    if (error) *error = path + " is larger than " + std::to_string(kMaxIniFileSize) + " bytes";
    ::close(fd);
    return false;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = Errno("cannot read", path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxIniFileSize) {
      if (error) *error = path + " is larger than " + std::to_string(kMaxIniFileSize) + " bytes";
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  *document = IniDocument::Parse(std::move(text));
  return true;
}

int ReadIniInt(const std::string& path, std::string_view section, std::string_view key,
               int defaultValue) {
  IniDocument doc;
  bool exists = false;
  if (!LoadIniFile(path, &doc, &exists, nullptr)) return defaultValue;
  return IniValueToInt(doc.Get(section, key), defaultValue);
}

bool WriteIniStrings(const std::string& path, const std::vector<IniEntry>& entries,
                     std::string* error) {
  IniDocument doc;
  bool exists = false;
  // A file we cannot read whole is never replaced: that would lose what it holds.
  if (!LoadIniFile(path, &doc, &exists, error)) return false;
  for (const IniEntry& e : entries) {
    if (!doc.Set(e.section, e.key, e.value)) {
      if (error)
        *error = "refused to write [" + e.section + "] " + e.key + ": not a one-line name or value";
      return false;
    }
  }
  return WriteFileAtomically(path, doc.Text(), 0600, error);
}

bool WriteIniString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value, std::string* error) {
  return WriteIniStrings(path, {{std::string(section), std::string(key), std::string(value)}},
                         error);
}

}  // namespace brisk::platform
