// The port list rules the window applies: names to numbers, the combo box, the choice.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/core/PortDiscovery.h"
#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

namespace brisk::app {

TEST(PortNames, NumberFromTheFourthCharacterOn) {
  EXPECT_EQ(PortNameToNumber("COM12"), 12);
  EXPECT_EQ(PortNameToNumber("COM1"), 1);
  EXPECT_EQ(PortNameToNumber("COM"), 0);
  EXPECT_EQ(PortNameToNumber(kAutoPortName), 0);
  EXPECT_EQ(PortNameToNumber("XYZ7abc"), 7);
  EXPECT_EQ(PortNameToNumber("COM99999999999999"), 0);  // no such port, no overflow
  EXPECT_EQ(PortNumberToName(5), "COM5");
}

TEST(PortNames, ReaderIdentitiesMatchAsWholeRowsAfterUpperCasing) {
  EXPECT_TRUE(IsReaderHardwareId("USB\\VID_0425&PID_8159"));
  EXPECT_TRUE(IsReaderHardwareId("usb\\vid_0400&pid_c35a&rev_0100"));
  EXPECT_FALSE(IsReaderHardwareId("USB\\VID_0425&PID_C35A"));
  EXPECT_FALSE(IsReaderHardwareId("USB\\VID_0400&PID_8159"));
  EXPECT_FALSE(IsReaderHardwareId(""));
}

TEST(PortCombo, StoredPortSelectsItsLastEntryOrNothing) {
  const std::vector<std::string> list = {kAutoPortName, "COM3", "COM5", "COM3"};
  auto fill = FillPortCombo(list, 3);
  ASSERT_TRUE(fill);
  EXPECT_EQ(fill->items, list);
  EXPECT_EQ(fill->selected, 3);
  EXPECT_EQ(FillPortCombo(list, 0)->selected, 0);
  EXPECT_EQ(FillPortCombo(list, 9)->selected, -1);
  EXPECT_FALSE(FillPortCombo({}, 0));

  const std::vector<std::string> none = {kAutoPortName};
  EXPECT_EQ(FillPortCombo(none, 0)->selected, 0);
  EXPECT_EQ(FillPortCombo(none, 4)->selected, -1);
}

TEST(PortChoice, OnlyAnEntryThatChangesThePortCounts) {
  const std::vector<std::string> list = {kAutoPortName, "COM3", "COM5"};
  EXPECT_EQ(ChoosePort(list, 2, 0), 5);
  EXPECT_EQ(ChoosePort(list, 0, 5), 0);
  EXPECT_FALSE(ChoosePort(list, 2, 5));   // same port
  EXPECT_FALSE(ChoosePort(list, -1, 4));  // no selection: a vanished stored port
  EXPECT_FALSE(ChoosePort(list, 3, 4));
  EXPECT_FALSE(ChoosePort(list, 0, 0));
}

TEST(PortChoice, AChangeIsStoredAsPORT) {
  test::TempDir dir;
  test::EnvGuard env;
  env.Set("XDG_CONFIG_HOME", dir.Path());
  const std::string path = SettingPath();
  BriskSettings s;
  s.m_portNumber = 3;
  const std::vector<std::string> list = {kAutoPortName, "COM3", "COM5"};
  EXPECT_FALSE(ApplyPortChoice(path, s, list, 1));
  EXPECT_EQ(access(path.c_str(), F_OK), -1);  // nothing changed, nothing written
  EXPECT_TRUE(ApplyPortChoice(path, s, list, 2));
  EXPECT_EQ(s.m_portNumber, 5);
  EXPECT_EQ(test::ReadFile(path), "[COM]\nPORT=5\n");
}

}  // namespace brisk::app
