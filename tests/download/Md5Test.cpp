#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "download/Md5.h"
#include "tests/support/TestSupport.h"

namespace brisk::download {

using test::Pattern;
using test::ScopedFolders;
using test::WriteFile;

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string text(2 * n + 1, '\0');
  HexEncode(text.data(), bytes, n);
  text.resize(2 * n);
  return text;
}

std::string OurMd5(const std::string& data) {
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, data.data(), static_cast<uint32_t>(data.size()));
  Md5Final(&context);
  return Hex(context.digest, 16);
}

// The reference digest from libcrypto.
std::string ReferenceMd5(const std::string& data) {
  unsigned char digest[16];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  return Hex(digest, length);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TEST(Md5Digest, MatchesTheRfc1321TestSuite) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [message, digest] : suite) EXPECT_EQ(OurMd5(message), digest) << message;
}

TEST(Md5Digest, PaddingAndBlockBoundariesMatchTheReference) {
  for (size_t size : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u}) {
    const std::string data = Pattern(size, static_cast<unsigned>(size));
    EXPECT_EQ(OurMd5(data), ReferenceMd5(data)) << size;
  }
  for (size_t size = 0; size < 300; ++size) {
    const std::string data = Pattern(size, 7);
    ASSERT_EQ(OurMd5(data), ReferenceMd5(data)) << size;
  }
}

TEST(Md5Digest, UpdatesInPiecesGiveTheSameDigestAsOneUpdate) {
  const std::string data = Pattern(10007, 3);
  const std::string whole = ReferenceMd5(data);
  for (size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 1000u}) {
    Md5Context context;
    Md5Init(&context);
    for (size_t done = 0; done < data.size(); done += piece) {
      const size_t n = std::min(piece, data.size() - done);
      Md5Update(&context, data.data() + done, static_cast<uint32_t>(n));
    }
    Md5Update(&context, data.data(), 0);
    Md5Final(&context);
    EXPECT_EQ(Hex(context.digest, 16), whole) << piece;
  }
}

TEST(HexEncodeText, IsLowerCaseTwoDigitsPerByteWithATerminator) {
  const uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff, 0x5c};
  char text[11];
  std::memset(text, 'x', sizeof text);
  HexEncode(text, bytes, sizeof bytes);
  EXPECT_STREQ(text, "000fa0ff5c");
  char empty[1] = {'x'};
  HexEncode(empty, bytes, 0);
  EXPECT_EQ(empty[0], '\0');
}

class FileMd5 : public ::testing::Test {
 protected:
  ScopedFolders m_folders;
  std::string Path(const char* name) { return m_folders.Root() + "/" + name; }
};

TEST_F(FileMd5, GivesUpperCaseTextAndTheSizeForSmallFiles) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {Pattern(56), Upper(ReferenceMd5(Pattern(56)))},
      {Pattern(64), Upper(ReferenceMd5(Pattern(64)))},
  };
  for (const auto& [content, digest] : cases) {
    ASSERT_TRUE(WriteFile(Path("f.bin"), content));
    int64_t size = -1;
    EXPECT_EQ(GetFileMd5(Path("f.bin"), size), digest);
    EXPECT_EQ(size, static_cast<int64_t>(content.size()));
  }
}

TEST_F(FileMd5, AFileLargerThanOneReadPieceGivesTheWholeFileDigest) {
  const std::string content = Pattern(3 * 1024 * 1024 + 7, 11);
  ASSERT_TRUE(WriteFile(Path("big.bin"), content));
  int64_t size = 0;
  EXPECT_EQ(GetFileMd5(Path("big.bin"), size), Upper(ReferenceMd5(content)));
  EXPECT_EQ(size, static_cast<int64_t>(content.size()));
}

TEST_F(FileMd5, AMissingFileOrAFolderGivesTheEmptyTextAndLeavesTheSizeAlone) {
  int64_t size = 1234;
  EXPECT_EQ(GetFileMd5(Path("missing.bin"), size), "");
  EXPECT_EQ(size, 1234);
  const std::string folder = Path("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(GetFileMd5(folder, size), "");
  EXPECT_EQ(size, 1234);
}

}  // namespace brisk::download
