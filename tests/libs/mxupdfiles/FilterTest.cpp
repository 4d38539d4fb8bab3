// Preparing an image for one operation on one target of the memory map.
#include "libs/mxupdfiles/MXUPDFILES.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// 0x08000000: four 2 KiB sectors readable/erasable/writable, then one read-only sector, a gap,
// and one 1 KiB sector at 0x08004000 that is erasable and writable but not readable.
struct Target {
  Target() {
    for (uint32_t i = 0; i < 4; ++i) sectors.push_back(Sector(0x08000000 + i * 2048, 2048, 7));
    sectors.push_back(Sector(0x08002000, 2048, SECTOR_READABLE));
    sectors.push_back(Sector(0x08004000, 1024, SECTOR_ERASABLE | SECTOR_WRITABLE));
    map.alternate = 3;
    std::strcpy(map.name, "Internal Flash  ");
    map.sectorCount = uint32_t(sectors.size());
    map.sectors = sectors.data();
  }
  static SectorMap Sector(uint32_t start, uint32_t size, uint8_t flags) {
    SectorMap s{};
    s.startAddress = start;
    s.size = size;
    s.flags = flags;
    return s;
  }
  std::vector<SectorMap> sectors;
  TargetMap map{};
};

class Filter : public ::testing::Test {
 protected:
  void TearDown() override {
    if (image) MXUPDFILES_DestroyImage(&image);
  }
  void Make(std::vector<std::pair<uint32_t, uint32_t>> elements) {
    if (image) MXUPDFILES_DestroyImage(&image);
    ASSERT_EQ(MXUPDFILES_CreateImage(&image, 0, "img"), MXUPDFILES_OK);
    for (auto [address, size] : elements) {
      std::vector<uint8_t> data(size, 0x5A);
      ImageElement e{address, size, data.data()};
      ASSERT_EQ(MXUPDFILES_AppendImageElement(image, &e), MXUPDFILES_OK);
    }
  }
  std::vector<std::pair<uint32_t, uint32_t>> Elements() {
    uint32_t n = 0;
    EXPECT_EQ(MXUPDFILES_GetImageNbElement(image, &n), MXUPDFILES_OK);
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (uint32_t i = 0; i < n; ++i) {
      ImageElement e{};
      EXPECT_EQ(MXUPDFILES_GetImageElement(image, i, &e), MXUPDFILES_OK);
      out.emplace_back(uint32_t(e.address), uint32_t(e.size));
    }
    return out;
  }
  uint32_t Run(int32_t operation) {
    return MXUPDFILES_FilterImageForOperation(image, &target.map, operation, 0);
  }

  Target target;
  MXUPDFILES_IMAGE image = nullptr;
};

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

TEST_F(Filter, EraseBecomesTheTouchedSectorsAndWriteKeepsTheData) {
  Make({{0x08000100, 16}, {0x08000700, 0x200}, {0x08004000, 4}});
  ASSERT_EQ(Run(OPERATION_DNLOAD), MXUPDFILES_OK);
  EXPECT_EQ(Elements(), (Pairs{{0x08000100, 16}, {0x08000700, 0x200}, {0x08004000, 4}}));
  uint8_t alt = 0;
  MXUPDFILES_GetImageAlternate(image, &alt);
  EXPECT_EQ(alt, 3) << "the image now names the target's alternate setting";

  ASSERT_EQ(Run(OPERATION_ERASE), MXUPDFILES_OK);
  EXPECT_EQ(Elements(), (Pairs{{0x08000000, 2048}, {0x08000800, 2048}, {0x08004000, 1024}}));
  std::vector<uint8_t> data(2048);
  ImageElement e{0, 2048, data.data()};
  ASSERT_EQ(MXUPDFILES_GetImageElement(image, 1, &e), MXUPDFILES_OK);
  EXPECT_EQ(data, std::vector<uint8_t>(2048, 0xFF));
}

TEST_F(Filter, RefusesImagesOutsideTheTargetOrOnSectorsWithoutTheRightFlag) {
  Make({{0x08001F00, 0x200}});  // into the read-only sector
  EXPECT_EQ(Run(OPERATION_DNLOAD), MXUPDFILES_ERR_PROTECTED);
  EXPECT_EQ(Run(OPERATION_ERASE), MXUPDFILES_ERR_PROTECTED);
  EXPECT_EQ(Run(OPERATION_UPLOAD), MXUPDFILES_OK);
  EXPECT_EQ(Elements(), (Pairs{{0x08001F00, 0x200}})) << "a failed filter changes nothing";

  Make({{0x08004000, 16}});
  EXPECT_EQ(Run(OPERATION_UPLOAD), MXUPDFILES_ERR_PROTECTED);
  Make({{0x08002800, 16}});  // the gap
  EXPECT_EQ(Run(OPERATION_DNLOAD), MXUPDFILES_ERR_OUTSIDE);
  Make({{0x08004300, 0x200}});  // runs past the last sector
  EXPECT_EQ(Run(OPERATION_ERASE), MXUPDFILES_ERR_OUTSIDE);
  Make({{0x07FFFFFF, 2}});
  EXPECT_EQ(Run(OPERATION_UPLOAD), MXUPDFILES_ERR_OUTSIDE);

  EXPECT_EQ(Run(7), MXUPDFILES_ERR_OPERATION);
  EXPECT_EQ(MXUPDFILES_FilterImageForOperation(image, &target.map, OPERATION_DNLOAD, 1),
            MXUPDFILES_ERR_ARGUMENT);
  EXPECT_EQ(MXUPDFILES_FilterImageForOperation(image, nullptr, OPERATION_DNLOAD, 0),
            MXUPDFILES_ERR_ARGUMENT);
}

TEST_F(Filter, LeaveAndDetachNeedNoData) {
  Make({{0x08000100, 16}});
  ASSERT_EQ(Run(OPERATION_LEAVE), MXUPDFILES_OK);
  EXPECT_EQ(Elements(), (Pairs{{0x08000000, 0}}));
  ASSERT_EQ(Run(OPERATION_DETACH), MXUPDFILES_OK);
  EXPECT_EQ(Elements(), Pairs{});
}

TEST_F(Filter, AnImageOfTheMappingJoinsAdjacentSectors) {
  ASSERT_EQ(MXUPDFILES_CreateImageFromMapping(&image, &target.map), MXUPDFILES_OK);
  EXPECT_EQ(Elements(), (Pairs{{0x08000000, 5 * 2048}, {0x08004000, 1024}}));
  char name[32];
  MXUPDFILES_GetImageName(image, name, sizeof name);
  EXPECT_STREQ(name, "Internal Flash  ");
}

}  // namespace
