// The one atomic file write, through each of its users: a failure keeps the old file whole and
// leaves no temporary file; a link is followed or replaced as the caller asks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/AtomicFile.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace brisk::test {
namespace {

TEST(AtomicFileTest, AFailedFillKeepsTheOldFileAndItsErrno) {
  TempDir dir;
  const std::string path = dir.Path() + "/a.dfu";
  ASSERT_TRUE(platform::WriteFileAtomically(path, "old", 0600, nullptr));
  std::string error;
  const bool ok = platform::ReplaceFileAtomically(
      path, 0644, true,
      [](int fd) {
        platform::WriteAll(fd, "new", 3);
        errno = ENOSPC;
        return false;
      },
      &error);
  EXPECT_FALSE(ok);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(List(dir.Path()), std::vector<std::string>{"a.dfu"});
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a replaced file keeps its mode";
}

TEST(AtomicFileTest, ACachedCopyReplacesALinkWhereSettingsFollowIt) {
  TempDir dir;
  const std::string real = dir.Path() + "/real", link = dir.Path() + "/link";
  const std::string source = dir.Path() + "/source";
  ASSERT_TRUE(platform::WriteFileAtomically(real, "real", 0600, nullptr));
  ASSERT_TRUE(platform::WriteFileAtomically(source, "package", 0600, nullptr));
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  ASSERT_TRUE(platform::WriteFileAtomically(link, "settings", 0600, nullptr));
  EXPECT_EQ(ReadFile(real), "settings");
  ASSERT_TRUE(platform::CopyRegularFileAtomically(source, link));
  EXPECT_EQ(platform::KindOfPath(link), platform::FileKind::kRegular);
  EXPECT_EQ(ReadFile(link), "package");
  EXPECT_EQ(ReadFile(real), "settings");
  EXPECT_FALSE(platform::CopyRegularFileAtomically(dir.Path() + "/missing", real));
}

}  // namespace
}  // namespace brisk::test
