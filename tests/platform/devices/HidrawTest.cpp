// hidraw nodes under the umockdev testbed: the path text the reader is recognised by, and the
// exclusive open another holder makes fail.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/devices/Hidraw.h"
#include "tests/platform/devices/ReaderTestbed.h"

namespace {

using namespace brisk;

TEST(Hidraw, NodesAreNamedByTheirUsbIdentityInLowerCaseAndOpenOnlyOnce) {
  test::ReaderTestbed tb;
  tb.AddUsbHidraw("1-3", "0483", "A19B", 0);
  tb.AddUsbHidraw("1-4", "0425", "8159", 1);
  const auto nodes = platform::devices::EnumerateHidraw();
  ASSERT_EQ(nodes.size(), 2u);
  std::vector<std::string> texts = {nodes[0].pathText, nodes[1].pathText};
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"hid#vid_0425&pid_8159#hidraw1",
                                             "hid#vid_0483&pid_a19b#hidraw0"}));

  platform::devices::HidrawDevice first, second;
  ASSERT_TRUE(first.OpenExclusive("/dev/hidraw1"));
  EXPECT_FALSE(second.OpenExclusive("/dev/hidraw1"));
  first.Close();
  EXPECT_TRUE(second.OpenExclusive("/dev/hidraw1"));
}

}  // namespace
