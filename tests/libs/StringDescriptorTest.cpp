#include "libs/qktube/StringDescriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "libs/qktube/QKTubeDevice.h"

namespace brisk::qktube {
namespace {

std::vector<unsigned char> Descriptor(std::initializer_list<uint16_t> units) {
  std::vector<unsigned char> d = {uint8_t(2 + 2 * units.size()), 0x03};
  for (uint16_t u : units) d.insert(d.end(), {uint8_t(u), uint8_t(u >> 8)});
  return d;
}

uint32_t Decode(const std::vector<unsigned char>& d, char* out, uint32_t size) {
  return DecodeStringDescriptor(d.data(), int(d.size()), out, size);
}

TEST(StringDescriptor, Utf16BecomesUtf8WithPairsJoinedAndLoneSurrogatesReplaced) {
  char out[64];
  ASSERT_EQ(Decode(Descriptor({'a', 0xE9, 0x20AC, 0xD83D, 0xDE00}), out, sizeof out), QK_OK);
  EXPECT_STREQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  // A high half without its low half, a low half alone, and a high half at the very end.
  ASSERT_EQ(Decode(Descriptor({0xD800, 'A', 0xDC00, 0xD83D}), out, sizeof out), QK_OK);
  EXPECT_STREQ(out,
               "\xEF\xBF\xBD"
               "A\xEF\xBF\xBD\xEF\xBF\xBD");
  // The text ends at a zero unit.
  ASSERT_EQ(Decode(Descriptor({'A', 0, 'B'}), out, sizeof out), QK_OK);
  EXPECT_STREQ(out, "A");
}

TEST(StringDescriptor, MalformedDescriptorsAreRefusedAndLongTextIsCutAtACharacter) {
  char out[8];
  auto odd = Descriptor({'A'});
  odd[0] = 3;
  auto wrongType = Descriptor({'A'});
  wrongType[1] = 0x02;
  auto longerThanRead = Descriptor({'A', 'B'});
  longerThanRead.pop_back();
  for (const auto& d : {odd, wrongType, longerThanRead, std::vector<unsigned char>{0x02}})
    EXPECT_EQ(Decode(d, out, sizeof out), QK_ERR_BAD_DESCRIPTOR);

  // The euro sign needs three bytes where two are left: the text stops before it.
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(Decode(Descriptor({'a', 'b', 0x20AC}), out, 5), QK_ERR_BUFFER);
  EXPECT_STREQ(out, "ab");
}

}  // namespace
}  // namespace brisk::qktube
