#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

namespace brisk::platform {

namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) {
      m_had = true;
      m_old = old;
    }
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (m_had)
      setenv(m_name, m_old.c_str(), 1);
    else
      unsetenv(m_name);
  }

 private:
  const char* m_name;
  bool m_had = false;
  std::string m_old;
};

TEST(Paths, ConfigFolderFollowsXdgAndIgnoresARelativeValue) {
  ScopedEnv home("HOME", "/home/reader");
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/etc/xdg-test");
    EXPECT_EQ(platform::ConfigFolder(), "/etc/xdg-test/BriskNetService");
    EXPECT_EQ(platform::DfuCacheFolder(), "/etc/xdg-test/BriskNetService/DFU");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(platform::ConfigFolder(), "/home/reader/.config/BriskNetService");
  }
  ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(platform::ConfigFolder(), "/home/reader/.config/BriskNetService");
}

TEST(Paths, TempFolderHonoursTmpdirWithTrailingSlashes) {
  test::TempDir dir;
  ScopedEnv tmp("TMPDIR", (dir.path() + "//").c_str());
  EXPECT_EQ(platform::TempFolder(), dir.path() + "/BriskNetService-" + std::to_string(getuid()));
}

TEST(Paths, MakeFoldersCreatesParentsAndFailsOnAFile) {
  test::TempDir dir;
  EXPECT_TRUE(platform::MakeFolders(dir.path() + "/a/b/c", 0700));
  const std::string file = dir.path() + "/file";
  FILE* f = std::fopen(file.c_str(), "w");
  std::fclose(f);
  EXPECT_FALSE(platform::MakeFolders(file + "/sub", 0700));
  EXPECT_FALSE(platform::MakeFolders("", 0700));
}

}  // namespace

}  // namespace brisk::platform
