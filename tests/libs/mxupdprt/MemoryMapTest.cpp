// The memory-map string of an alternate setting.
#include "libs/mxupdprt/MemoryMap.h"

#include <gtest/gtest.h>

#include <string>

using brisk::dfu::ParsedTarget;
using brisk::dfu::ParseMemoryMap;

namespace {

TEST(MemoryMap, ParsesNamesWithBlanksRunsAndSegments) {
  ParsedTarget t;
  ASSERT_TRUE(ParseMemoryMap("@Internal Flash  /0x08000000/128*002Kg", 0, t, 8192));
  EXPECT_STREQ(t.target.name, "Internal Flash  ");
  ASSERT_EQ(uint32_t(t.target.sectorCount), 128u);
  EXPECT_EQ(uint32_t(t.sectors[127].startAddress), 0x08000000u + 127 * 2048);
  EXPECT_EQ(uint32_t(t.sectors[127].size), 2048u);
  EXPECT_EQ(uint32_t(t.sectors[127].flags), 7);

  ASSERT_TRUE(ParseMemoryMap("@Option Bytes  /0x1FFFF800/01*016 e", 1, t, 8192));
  EXPECT_EQ(uint32_t(t.target.alternate), 1);
  EXPECT_STREQ(t.target.name, "Option Bytes  ");
  ASSERT_EQ(t.sectors.size(), 1u);
  EXPECT_EQ(uint32_t(t.sectors[0].size), 16u);
  EXPECT_EQ(uint32_t(t.sectors[0].flags), 5);

  ASSERT_TRUE(ParseMemoryMap("@Mixed/0x08000000/04*016Kg,01*064Ka,02*001Mb/0x20000000/1*100 d", 2,
                             t, 8192));
  ASSERT_EQ(t.sectors.size(), 8u);
  EXPECT_EQ(uint32_t(t.sectors[4].startAddress), 0x08010000u);
  EXPECT_EQ(uint32_t(t.sectors[4].flags), 1);
  EXPECT_EQ(uint32_t(t.sectors[6].size), 1024u * 1024);
  EXPECT_EQ(uint32_t(t.sectors[6].flags), 2);
  EXPECT_EQ(uint32_t(t.sectors[7].startAddress), 0x20000000u);
  EXPECT_EQ(uint32_t(t.sectors[7].flags), 4);

  // A name longer than the record is cut, keeping the terminator.
  const std::string longName(400, 'N');
  ASSERT_TRUE(ParseMemoryMap("@" + longName + "/0x0/1*1Kg", 0, t, 8192));
  EXPECT_EQ(std::string(t.target.name), std::string(259, 'N'));
}

TEST(MemoryMap, RefusesAnyStringThatDoesNotParseWhole) {
  const char* bad[] = {
      "",
      "Internal Flash/0x08000000/1*2Kg",
      "@Name",
      "@Name/0x08000000",
      "@Name/08000000/1*2Kg",
      "@Name/0x/1*2Kg",
      "@Name/0x080000000/1*2Kg",  // nine digits
      "@Name/0x08000000/1*2Kh",   // type letter
      "@Name/0x08000000/1*2KG",
      "@Name/0x08000000/1*2Xg",  // unit
      "@Name/0x08000000/1*2g",
      "@Name/0x08000000/0*2Kg",   // no sectors
      "@Name/0x08000000/1*0Kg",   // empty sector
      "@Name/0x08000000/1*2Kg,",  // dangling run
      "@Name/0x08000000/1*2Kg ",
      "@Name/0x08000000/1*2Kg/",
      "@Name/0x08000000/*2Kg",
      "@Name/0x08000000/4294967296*1 g",
      "@Name/0xFFFFFC00/2*1Kg",                   // past 4 GiB
      "@Name/0x08000000/2*1Kg/0x08000400/1*1Kg",  // segments overlap
      "@Name/0x08000000/9000*1Kg",                // more sectors than allowed
      "@Name/0x08000000/8000*1Kg,8000*1Kg",
  };
  for (const char* text : bad) {
    ParsedTarget t;
    EXPECT_FALSE(ParseMemoryMap(text, 0, t, 8192)) << '"' << text << '"';
  }
}

}  // namespace
