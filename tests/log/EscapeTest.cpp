// Outside text reaches the log and the tools' output only with its control characters escaped.
#include <gtest/gtest.h>

#include "log/Escape.h"
#include "log/Log.h"
#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

namespace brisk {
namespace {

TEST(EscapeTest, ControlCharactersAreEscapedAndTextIsKept) {
  EXPECT_EQ(EscapeControl("a\r\nb\x1b[2Jc\x7f"), "a\\x0D\\x0Ab\\x1B[2Jc\\x7F");
  EXPECT_EQ(EscapeControl("\xC2\x9B"
                          "1m"),
            "\\xC2\\x9B1m");  // C1 CSI in UTF-8
  EXPECT_EQ(EscapeControl("读卡器 ok \\"), "读卡器 ok \\");
  EXPECT_EQ(EscapeControl(std::string_view("x\0y", 3)), "x\\x00y");
}

TEST(EscapeTest, ForgedLineBreaksStayInsideOneLogLine) {
  test::ScopedTmpdir tmp;
  SetLogSwitch(1);
  WriteLog("procDownload %s", "label\n2026-1-1 0:0:0:0 forged\r");
  SetLogSwitch(0);
  const std::string log = test::ReadFile(tmp.LogPath());
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
  EXPECT_NE(log.find("label\\x0A2026-1-1 0:0:0:0 forged\\x0D"), std::string::npos);
}

}  // namespace
}  // namespace brisk
