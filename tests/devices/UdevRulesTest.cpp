// The shipped udev rules file: syntax (no udevadm verify on this system), the reader's
// identities, and the install script.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// udev's rule grammar: KEY[{attr}] OP "value", separated by commas.
std::vector<Rule> ParseRules(const std::string& path, std::vector<std::string>& errors) {
  static const std::set<std::string> kMatchKeys = {"ACTION", "SUBSYSTEM", "SUBSYSTEMS", "KERNEL", "KERNELS",
                                                   "ATTR", "ATTRS", "ENV", "DRIVERS", "TAG"};
  static const std::set<std::string> kAssignKeys = {"TAG", "ENV", "GOTO", "LABEL", "IMPORT", "MODE", "GROUP"};
  static const std::set<std::string> kWithAttr = {"ATTR", "ATTRS", "ENV", "IMPORT"};
  static const std::regex kToken(R"re(^\s*([A-Z]+)(\{([A-Za-z0-9_ -]+)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(,|$))re");
  std::vector<Rule> rules;
  std::ifstream in(path);
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (text.find_first_not_of(" \t") == std::string::npos || text[text.find_first_not_of(" \t")] == '#') continue;
    if (text.back() == '\\') errors.push_back("line " + std::to_string(number) + ": continuation line");
    Rule rule;
    rule.line = number;
    std::string rest = text;
    std::smatch m;
    while (!rest.empty() && rest.find_first_not_of(" \t") != std::string::npos) {
      if (!std::regex_search(rest, m, kToken)) {
        errors.push_back("line " + std::to_string(number) + ": cannot parse at \"" + rest + "\"");
        break;
      }
      Token t{m[1], m[3], m[4], m[5]};
      const bool match = t.op == "==" || t.op == "!=";
      if (match ? !kMatchKeys.count(t.key) : !kAssignKeys.count(t.key))
        errors.push_back("line " + std::to_string(number) + ": " + t.key + " " + t.op + " not allowed");
      if (kWithAttr.count(t.key) && t.attr.empty())
        errors.push_back("line " + std::to_string(number) + ": " + t.key + " without {attribute}");
      if (!kWithAttr.count(t.key) && !t.attr.empty())
        errors.push_back("line " + std::to_string(number) + ": " + t.key + " takes no {attribute}");
      rule.tokens.push_back(t);
      rest = m.suffix();
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
          EXPECT_TRUE(std::regex_match(t.value, std::regex("[0-9a-f]{4}(\\|[0-9a-f]{4})*")))
              << "line " << r.line << ": " << t.value;
        }
      }
    }
  for (const std::string& g : gotos) EXPECT_TRUE(labels.count(g)) << "GOTO without LABEL: " << g;
}

TEST(UdevRules, BothReaderPortsGetSeatAccessAndModemManagerIgnore) {
  std::vector<std::string> errors;
  const auto rules = ParseRules(kRules, errors);
  for (const auto& [vendor, product] : std::vector<std::pair<std::string, std::string>>{
           {"0425", "8159"}, {"0400", "c35a"}}) {
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
    if (r.Has("ENV", "ID_USB_INTERFACES", "==", "*:fe0102:*") && r.Has("TAG", "", "+=", "uaccess")) dfu = true;
  }
  EXPECT_TRUE(hidraw);
  EXPECT_TRUE(dfu);
}

TEST(UdevRules, InstallScriptCopiesTheFileIntoTheGivenFolder) {
  char dir[] = "/tmp/brisk-udev-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string target = std::string(dir) + "/rules.d";
  const std::string cmd = "UDEV_RULES_DIR='" + target + "' sh '" + std::string(BRISK_SOURCE_DIR) +
                          "/scripts/install-udev-rules.sh' >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream a(kRules), b(target + "/70-brisknetservice.rules");
  std::stringstream sa, sb;
  sa << a.rdbuf();
  sb << b.rdbuf();
  EXPECT_FALSE(sa.str().empty());
  EXPECT_EQ(sa.str(), sb.str());
  struct stat st {};
  ASSERT_EQ(stat((target + "/70-brisknetservice.rules").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}
