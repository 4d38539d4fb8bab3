// The shipped udev rules file: syntax (no udevadm verify on this system), the reader's
// identities, and the install script.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include "platform/devices/ReaderIdentities.h"
#include "tests/support/TestSupport.h"

namespace brisk::platform::devices {

namespace {

const std::string kRules = std::string(BRISK_SOURCE_DIR) + "/data/udev/70-brisknetservice.rules";

struct Token {
  std::string key, attr, op, value;
};
struct Rule {
  int line = 0;
  std::vector<Token> tokens;
  bool Has(const std::string& key, const std::string& attr, const std::string& op,
           const std::string& value) const {
    for (const Token& t : tokens)
      if (t.key == key && t.attr == attr && t.op == op && t.value == value) return true;
    return false;
  }
};

bool IsKeyChar(char c) { return (c >= 'A' && c <= 'Z') || c == '_'; }

// One "KEY[{attr}] OP \"value\"" at text[pos...]; pos moves past it and its comma.
bool ParseToken(const std::string& text, size_t& pos, Token& t) {
  auto skip = [&] {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  };
  skip();
  const size_t keyStart = pos;
  while (pos < text.size() && IsKeyChar(text[pos])) ++pos;
  t.key = text.substr(keyStart, pos - keyStart);
  if (t.key.empty()) return false;
  if (pos < text.size() && text[pos] == '{') {
    const size_t close = text.find('}', pos);
    if (close == std::string::npos) return false;
    t.attr = text.substr(pos + 1, close - pos - 1);
    if (t.attr.empty()) return false;
    pos = close + 1;
  }
  skip();
  for (const char* op : {"==", "!=", "+=", "-=", ":=", "="}) {
    if (text.compare(pos, std::char_traits<char>::length(op), op) == 0) {
      t.op = op;
      pos += t.op.size();
      break;
    }
  }
  if (t.op.empty()) return false;
  skip();
  if (pos >= text.size() || text[pos] != '"') return false;
  const size_t end = text.find('"', pos + 1);
  if (end == std::string::npos) return false;
  t.value = text.substr(pos + 1, end - pos - 1);
  pos = end + 1;
  skip();
  if (pos < text.size()) {
    if (text[pos] != ',') return false;
    ++pos;
  }
  return true;
}

bool IsLowerHexPattern(const std::string& v) {
  // four lower-case hex digits, alternatives joined by '|'
  if (v.size() % 5 != 4) return false;
  for (size_t i = 0; i < v.size(); ++i) {
    const char c = v[i];
    if (i % 5 == 4) {
      if (c != '|') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

// udev's rule grammar: KEY[{attr}] OP "value", separated by commas.
std::vector<Rule> ParseRules(const std::string& path, std::vector<std::string>& errors) {
  static const std::set<std::string> kMatchKeys = {"ACTION",  "SUBSYSTEM", "SUBSYSTEMS", "KERNEL",
                                                   "KERNELS", "ATTR",      "ATTRS",      "ENV",
                                                   "DRIVERS", "TAG"};
  static const std::set<std::string> kAssignKeys = {"TAG",    "ENV",  "GOTO", "LABEL",
                                                    "IMPORT", "MODE", "GROUP"};
  static const std::set<std::string> kWithAttr = {"ATTR", "ATTRS", "ENV", "IMPORT"};
  std::vector<Rule> rules;
  std::ifstream in(path);
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text[first] == '#') continue;
    if (text.back() == '\\')
      errors.push_back("line " + std::to_string(number) + ": continuation line");
    Rule rule;
    rule.line = number;
    size_t pos = 0;
    while (text.find_first_not_of(" \t", pos) != std::string::npos) {
      Token t;
      if (!ParseToken(text, pos, t)) {
        errors.push_back("line " + std::to_string(number) + ": cannot parse at \"" +
                         text.substr(pos) + "\"");
        break;
      }
      const bool match = t.op == "==" || t.op == "!=";
      if (match ? !kMatchKeys.count(t.key) : !kAssignKeys.count(t.key))
        errors.push_back("line " + std::to_string(number) + ": " + t.key + " " + t.op +
                         " not allowed");
      if (kWithAttr.count(t.key) && t.attr.empty())
        errors.push_back("line " + std::to_string(number) + ": " + t.key + " without {attribute}");
      if (!kWithAttr.count(t.key) && !t.attr.empty())
        errors.push_back("line " + std::to_string(number) + ": " + t.key + " takes no {attribute}");
      rule.tokens.push_back(t);
    }
    rules.push_back(rule);
  }
  return rules;
}

}  // namespace

TEST(UdevRules, FileParsesWithKnownKeysAndResolvedLabels) {
  std::vector<std::string> errors;
  const auto rules = ParseRules(kRules, errors);
  for (const std::string& e : errors) ADD_FAILURE() << e;
  ASSERT_FALSE(rules.empty());
  std::set<std::string> labels, gotos;
  for (const Rule& r : rules)
    for (const Token& t : r.tokens) {
      if (t.key == "LABEL") labels.insert(t.value);
      if (t.key == "GOTO") gotos.insert(t.value);
      if (t.key == "ATTRS" || t.key == "ATTR") {
        // sysfs writes lower-case hexadecimal: an upper-case pattern never matches.
        if (t.attr == "idVendor" || t.attr == "idProduct") {
          EXPECT_TRUE(IsLowerHexPattern(t.value)) << "line " << r.line << ": " << t.value;
        }
      }
    }
  for (const std::string& g : gotos) EXPECT_TRUE(labels.count(g)) << "GOTO without LABEL: " << g;
}

TEST(UdevRules, BothReaderPortsGetSeatAccessAndModemManagerIgnore) {
  std::vector<std::string> errors;
  const auto rules = ParseRules(kRules, errors);
  for (const auto& [vendor, product] :
       std::vector<std::pair<std::string, std::string>>{{"0425", "8159"}, {"0400", "c35a"}}) {
    bool found = false;
    for (const Rule& r : rules) {
      if (!r.Has("SUBSYSTEM", "", "==", "tty") || !r.Has("ATTRS", "idVendor", "==", vendor) ||
          !r.Has("ATTRS", "idProduct", "==", product))
        continue;
      found = true;
      EXPECT_TRUE(r.Has("TAG", "", "+=", "uaccess")) << "line " << r.line;
      EXPECT_TRUE(r.Has("ENV", "ID_MM_DEVICE_IGNORE", "=", "1")) << "line " << r.line;
    }
    EXPECT_TRUE(found) << vendor << ":" << product;
  }
  bool hidraw = false, dfu = false;
  for (const Rule& r : rules) {
    if (r.Has("SUBSYSTEM", "", "==", "hidraw") && r.Has("TAG", "", "+=", "uaccess")) hidraw = true;
    if (r.Has("ENV", "ID_USB_INTERFACES", "==", "*:fe0102:*") && r.Has("TAG", "", "+=", "uaccess"))
      dfu = true;
  }
  EXPECT_TRUE(hidraw);
  EXPECT_TRUE(dfu);
}

// One of the '|'-separated alternatives of a udev match value.
bool PatternHas(const std::string& pattern, const std::string& value) {
  std::stringstream alternatives(pattern);
  for (std::string one; std::getline(alternatives, one, '|');)
    if (one == value) return true;
  return false;
}

// A rule that gives seat and group access to the subsystem's devices of this identity; a rule
// without a product match covers every product of the vendor.
bool Covers(const Rule& r, const std::string& subsystem, const char* attrKey, uint16_t vendor,
            uint16_t product, const std::string& interfaces) {
  char v[8], p[8];
  std::snprintf(v, sizeof v, "%04x", vendor);
  std::snprintf(p, sizeof p, "%04x", product);
  bool vendorOk = false, productOk = true, interfacesOk = interfaces.empty();
  for (const Token& t : r.tokens) {
    if (t.op != "==") continue;
    if (t.key == attrKey && t.attr == "idVendor") vendorOk = PatternHas(t.value, v);
    if (t.key == attrKey && t.attr == "idProduct") productOk = PatternHas(t.value, p);
    if (t.key == "ENV" && t.attr == "ID_USB_INTERFACES") interfacesOk = t.value == interfaces;
  }
  // uaccess for the seat's session, the group for a service with no active session.
  return r.Has("SUBSYSTEM", "", "==", subsystem) && r.Has("TAG", "", "+=", "uaccess") &&
         r.Has("GROUP", "", "=", "brisknet") && r.Has("MODE", "", "=", "0660") && vendorOk &&
         productOk && interfacesOk;
}

TEST(UdevRules, CoverEveryReaderIdentityForWhatItOffers) {
  std::vector<std::string> errors;
  const auto rules = ParseRules(kRules, errors);
  struct Need {
    unsigned offer;
    const char* subsystem;
    const char* attrKey;
    const char* interfaces;
  };
  const Need needs[] = {{kSerialPort, "tty", "ATTRS", ""},
                        {kHidEnterDfu, "hidraw", "ATTRS", ""},
                        {kVendorEnterDfu, "usb", "ATTR", ""},
                        {kDfuMode, "usb", "ATTR", "*:fe0102:*"}};
  for (const ReaderIdentity& id : kReaderIdentities)
    for (const Need& need : needs) {
      if (!(id.offers & need.offer)) continue;
      bool covered = false;
      for (const Rule& r : rules)
        covered = covered || Covers(r, need.subsystem, need.attrKey, id.vendorId, id.productId,
                                    need.interfaces);
      EXPECT_TRUE(covered) << std::hex << id.vendorId << ":" << id.productId << " offers "
                           << need.offer << " but no " << need.subsystem << " rule covers it";
    }
}

TEST(UdevRules, InstallScriptCopiesTheFileIntoTheGivenFolder) {
  test::TempDir dir;
  const std::string target = dir.Path() + "/rules.d";
  const std::string cmd = "UDEV_RULES_DIR='" + target + "' sh '" + std::string(BRISK_SOURCE_DIR) +
                          "/scripts/install-udev-rules.sh' >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string installed = test::ReadFile(target + "/70-brisknetservice.rules");
  EXPECT_FALSE(installed.empty());
  EXPECT_EQ(test::ReadFile(kRules), installed);
  struct stat st {};
  ASSERT_EQ(stat((target + "/70-brisknetservice.rules").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

}  // namespace brisk::platform::devices
