#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

namespace brisk::platform {

namespace {

// Sets an environment variable for one test and puts the old value back.
TEST(Paths, ConfigFolderFollowsXdgAndIgnoresARelativeValue) {
  test::EnvGuard home;
  home.Set("HOME", "/home/reader");
  {
    test::EnvGuard xdg;
    xdg.Set("XDG_CONFIG_HOME", "/etc/xdg-test");
    EXPECT_EQ(platform::ConfigFolder(), "/etc/xdg-test/BriskNetService");
    EXPECT_EQ(platform::DfuCacheFolder(), "/etc/xdg-test/BriskNetService/DFU");
  }
  {
    test::EnvGuard xdg;
    xdg.Set("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(platform::ConfigFolder(), "/home/reader/.config/BriskNetService");
  }
  test::EnvGuard xdg;
  xdg.Unset("XDG_CONFIG_HOME");
  EXPECT_EQ(platform::ConfigFolder(), "/home/reader/.config/BriskNetService");
}

TEST(Paths, TempFolderHonoursTmpdirWithTrailingSlashes) {
  test::TempDir dir;
  test::EnvGuard tmp;
  tmp.Set("TMPDIR", dir.Path() + "//");
  EXPECT_EQ(platform::TempFolder(), dir.Path() + "/BriskNetService-" + std::to_string(getuid()));
}

TEST(Paths, MakeFoldersCreatesParentsAndFailsOnAFile) {
  test::TempDir dir;
  EXPECT_TRUE(platform::MakeFolders(dir.Path() + "/a/b/c", 0700));
  const std::string file = dir.Path() + "/file";
  FILE* f = std::fopen(file.c_str(), "w");
  std::fclose(f);
  EXPECT_FALSE(platform::MakeFolders(file + "/sub", 0700));
  EXPECT_FALSE(platform::MakeFolders("", 0700));
}

}  // namespace

}  // namespace brisk::platform
