// A new line always starts on a line of its own, whatever ending the file's last line had.
#include <gtest/gtest.h>

#include "platform/IniFile.h"
#include "tests/support/TestSupport.h"

namespace brisk::test {
namespace {

TEST(IniLineEndingTest, KeyAddedAfterABareCrReadsBack) {
  platform::IniDocument doc = platform::IniDocument::Parse("[Heartbeat]\r\nUsb=600\r");
  ASSERT_TRUE(doc.Set("Heartbeat", "Cat1", "300"));
  const platform::IniDocument back = platform::IniDocument::Parse(doc.Text());
  EXPECT_EQ(back.Get("Heartbeat", "Usb"), "600");
  EXPECT_EQ(back.Get("Heartbeat", "Cat1"), "300");
  ASSERT_TRUE(doc.Set("Other", "Key", "1"));
  EXPECT_EQ(platform::IniDocument::Parse(doc.Text()).Get("Other", "Key"), "1");
}

TEST(IniLineEndingTest, FileOfABareCrGetsOneSectionOverRepeatedSaves) {
  TempDir dir;
  const std::string path = dir.Path() + "/settings.ini";
  {
    std::string error;
    ASSERT_TRUE(platform::WriteFileAtomically(path, "\r", 0600, &error)) << error;
  }
  for (int i = 0; i < 3; ++i) {
    std::string error;
    ASSERT_TRUE(platform::WriteIniString(path, "Port", "Number", std::to_string(i), &error))
        << error;
    EXPECT_EQ(platform::ReadIniInt(path, "Port", "Number", -1), i);
  }
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.find("[Port]"), text.rfind("[Port]"));
}

}  // namespace
}  // namespace brisk::test
