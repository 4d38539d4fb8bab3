// Package files: writing and reading back, every check of the reader, and the DFU suffix.
#include "libs/mxupdfiles/MXUPDFILES.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 13);
  return v;
}

class PackageFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mxupdfiles-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/pkg.dfu";
  }
  void TearDown() override {
    for (auto* image : images) MXUPDFILES_DestroyImage(&image);
    std::system(("rm -rf " + dir).c_str());
  }

  MXUPDFILES_IMAGE Image(uint8_t alternate, const char* name,
                         std::vector<std::pair<uint32_t, std::vector<uint8_t>>> elements) {
    MXUPDFILES_IMAGE image = nullptr;
    EXPECT_EQ(MXUPDFILES_CreateImage(&image, alternate, name), MXUPDFILES_OK);
    for (auto& [address, data] : elements) {
      ImageElement e{address, uint32_t(data.size()), data.data()};
      EXPECT_EQ(MXUPDFILES_AppendImageElement(image, &e), MXUPDFILES_OK);
    }
    images.push_back(image);
    return image;
  }

  // A package with two images: alternate 0 with two elements, alternate 1 with none.
  std::vector<uint8_t> WriteSample() {
    MXUPDFILES_IMAGE two[2] = {
        Image(0, "Internal Flash  ",
              {{0x08000000, Pattern(3000, 1)}, {0x08001000, Pattern(17, 2)}}),
        Image(1, "", {})};
    EXPECT_EQ(MXUPDFILES_WriteDFUFile(path.c_str(), 0x0425, 0x8159, 0x0102, two, 2), MXUPDFILES_OK);
    return Bytes();
  }

  std::vector<uint8_t> Bytes() {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void Store(const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  uint32_t Open() {
    MXUPDFILES_FILE file = nullptr;
    uint8_t count = 0;
    const uint32_t rc =
        MXUPDFILES_OpenExistingDFUFile(path.c_str(), &file, nullptr, nullptr, nullptr, &count);
    if (rc == MXUPDFILES_OK)
      EXPECT_EQ(MXUPDFILES_CloseDFUFile(file), MXUPDFILES_OK);
    else
      EXPECT_EQ(file, nullptr);
    return rc;
  }

  std::string dir, path;
  std::vector<MXUPDFILES_IMAGE> images;
};

// The DFU standard's own CRC: the register without the final complement, bit by bit.
uint32_t StandardDfuCrc(const std::vector<uint8_t>& bytes, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return crc;
}

void SetLe32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + size_t(i)] = uint8_t(x >> (8 * i));
}

void FixCrc(std::vector<uint8_t>& v) { SetLe32(v, v.size() - 4, StandardDfuCrc(v, v.size() - 4)); }

TEST_F(PackageFile, WritesAndReadsBackEveryImageAndElement) {
  WriteSample();
  MXUPDFILES_FILE file = nullptr;
  uint16_t vid = 0, pid = 0, version = 0;
  uint8_t count = 0;
  ASSERT_EQ(MXUPDFILES_OpenExistingDFUFile(path.c_str(), &file, &vid, &pid, &version, &count),
            MXUPDFILES_OK);
  EXPECT_EQ(vid, 0x0425);
  EXPECT_EQ(pid, 0x8159);
  EXPECT_EQ(version, 0x0102);
  ASSERT_EQ(count, 2);

  MXUPDFILES_IMAGE image = nullptr;
  ASSERT_EQ(MXUPDFILES_ReadImageFromDFUFile(file, 0, &image), MXUPDFILES_OK);
  images.push_back(image);
  uint8_t alt = 9;
  char name[64];
  uint32_t elements = 0;
  EXPECT_EQ(MXUPDFILES_GetImageAlternate(image, &alt), MXUPDFILES_OK);
  EXPECT_EQ(alt, 0);
  EXPECT_EQ(MXUPDFILES_GetImageName(image, name, sizeof name), MXUPDFILES_OK);
  EXPECT_STREQ(name, "Internal Flash  ");
  EXPECT_EQ(MXUPDFILES_GetImageSize(image), 3017u);
  ASSERT_EQ(MXUPDFILES_GetImageNbElement(image, &elements), MXUPDFILES_OK);
  ASSERT_EQ(elements, 2u);
  std::vector<uint8_t> data(17);
  ImageElement e{0, uint32_t(data.size()), data.data()};
  ASSERT_EQ(MXUPDFILES_GetImageElement(image, 1, &e), MXUPDFILES_OK);
  EXPECT_EQ(uint32_t(e.address), 0x08001000u);
  EXPECT_EQ(data, Pattern(17, 2));
  // A buffer smaller than the element gets what fits and never more.
  std::vector<uint8_t> small(11, 0xEE);
  e = {0, 10, small.data()};
  EXPECT_EQ(MXUPDFILES_GetImageElement(image, 0, &e), MXUPDFILES_ERR_BUFFER);
  EXPECT_EQ(uint32_t(e.size), 3000u);
  EXPECT_EQ(std::vector<uint8_t>(small.begin(), small.begin() + 10),
            std::vector<uint8_t>(Pattern(10, 1)));
  EXPECT_EQ(small[10], 0xEE);
  EXPECT_EQ(MXUPDFILES_GetImageElement(image, 2, &e), MXUPDFILES_ERR_INDEX);

  ASSERT_EQ(MXUPDFILES_ReadImageFromDFUFile(file, 1, &image), MXUPDFILES_OK);
  images.push_back(image);
  EXPECT_EQ(MXUPDFILES_GetImageAlternate(image, &alt), MXUPDFILES_OK);
  EXPECT_EQ(alt, 1);
  EXPECT_EQ(MXUPDFILES_GetImageSize(image), 0u);
  EXPECT_EQ(MXUPDFILES_ReadImageFromDFUFile(file, 2, &image), MXUPDFILES_ERR_INDEX);
  EXPECT_EQ(MXUPDFILES_CloseDFUFile(file), MXUPDFILES_OK);
  EXPECT_EQ(MXUPDFILES_CloseDFUFile(file), MXUPDFILES_ERR_HANDLE);
  EXPECT_EQ(MXUPDFILES_ReadImageFromDFUFile(file, 0, &image), MXUPDFILES_ERR_HANDLE);

  // A duplicate is independent of its original.
  MXUPDFILES_IMAGE copy = nullptr;
  ASSERT_EQ(MXUPDFILES_DuplicateImage(images[2], &copy), MXUPDFILES_OK);
  MXUPDFILES_IMAGE gone = images[2];
  ASSERT_EQ(MXUPDFILES_DestroyImage(&images[2]), MXUPDFILES_OK);
  EXPECT_EQ(images[2], nullptr);
  EXPECT_EQ(MXUPDFILES_GetImageSize(gone), 0u);
  EXPECT_EQ(MXUPDFILES_GetImageSize(copy), 3017u);
  images.push_back(copy);
}

TEST_F(PackageFile, EndsWithTheStandardDfuSuffix) {
  const auto v = WriteSample();
  ASSERT_GE(v.size(), 32u);
  const uint8_t* s = v.data() + v.size() - 16;
  EXPECT_EQ(s[0] | s[1] << 8, 0x0102);  // bcdDevice
  EXPECT_EQ(s[2] | s[3] << 8, 0x8159);  // idProduct
  EXPECT_EQ(s[4] | s[5] << 8, 0x0425);  // idVendor
  EXPECT_EQ(s[6] | s[7] << 8, 0x011A);  // bcdDFU
  EXPECT_EQ(std::string(s + 8, s + 11), "UFD");
  EXPECT_EQ(s[11], 16);  // bLength
  const uint32_t crc = uint32_t(s[12] | s[13] << 8 | s[14] << 16) | uint32_t(s[15]) << 24;
  EXPECT_EQ(crc, StandardDfuCrc(v, v.size() - 4));
  // The header names the suffix's place and the image count.
  EXPECT_EQ(std::string(v.begin(), v.begin() + 8), "BRISKDFU");
  EXPECT_EQ(v[8] | v[9] << 8, 1);
  EXPECT_EQ(v[10], 2);
  EXPECT_EQ(uint32_t(v[12] | v[13] << 8 | v[14] << 16), v.size() - 16);
}

TEST_F(PackageFile, EveryCheckRefusesItsFault) {
  const auto good = WriteSample();
  // Offsets in the sample: image 0 head at 16, its name (16 bytes) at 24, element 0 head at 40,
  // element 1 head at 40 + 8 + 3000.
  const size_t element0 = 40, element1 = 40 + 8 + 3000;
  const size_t image1 = element1 + 8 + 17;
  struct Case {
    const char* what;
    void (*mutate)(std::vector<uint8_t>&);
    bool fixCrc;
    uint32_t expected;
  };
  const Case cases[] = {
      {"magic", [](auto& v) { v[0] = 'X'; }, true, MXUPDFILES_ERR_MAGIC},
      {"version", [](auto& v) { v[8] = 2; }, true, MXUPDFILES_ERR_VERSION},
      {"reserved header byte", [](auto& v) { v[11] = 1; }, true, MXUPDFILES_ERR_HEADER},
      {"suffix offset", [](auto& v) { v[12] ^= 1; }, true, MXUPDFILES_ERR_HEADER},
      {"reserved image field", [](auto& v) { v[18] = 1; }, true, MXUPDFILES_ERR_HEADER},
      {"suffix signature", [](auto& v) { v[v.size() - 8] = 'X'; }, false, MXUPDFILES_ERR_SUFFIX},
      {"suffix length", [](auto& v) { v[v.size() - 5] = 15; }, false, MXUPDFILES_ERR_SUFFIX},
      {"bcdDFU", [](auto& v) { v[v.size() - 10] = 0x00; }, true, MXUPDFILES_ERR_SUFFIX},
      {"CRC", [](auto& v) { v[v.size() - 1] ^= 0x80; }, false, MXUPDFILES_ERR_CRC},
      {"data changed", [](auto& v) { v[100] ^= 1; }, false, MXUPDFILES_ERR_CRC},
      {"image count too high", [](auto& v) { v[10] = 3; }, true, MXUPDFILES_ERR_TRUNCATED},
      {"image count too low", [](auto& v) { v[10] = 1; }, true, MXUPDFILES_ERR_TRAILING},
      {"element count", [](auto& v) { SetLe32(v, 20, 0xFFFFFFFF); }, true,
       MXUPDFILES_ERR_TRUNCATED},
      {"element size", [](auto& v) { SetLe32(v, element0 + 4, 0x7FFFFFFF); }, true,
       MXUPDFILES_ERR_TRUNCATED},
      {"name length", [](auto& v) { v[17] = 255; }, true, MXUPDFILES_ERR_TRUNCATED},
      {"overlap", [](auto& v) { SetLe32(v, element1, 0x08000000 + 2999); }, true,
       MXUPDFILES_ERR_ORDER},
      {"descending", [](auto& v) { SetLe32(v, element1, 0x07000000); }, true, MXUPDFILES_ERR_ORDER},
      {"past 4 GiB", [](auto& v) { SetLe32(v, element1, 0xFFFFFFF8); }, true, MXUPDFILES_ERR_ORDER},
      {"two images for one alternate", [](auto& v) { v[40 + 8 + 3000 + 8 + 17] = 0; }, true,
       MXUPDFILES_ERR_DUPLICATE},
      {"too short", [](auto& v) { v.erase(v.begin() + 8, v.end() - 10); }, false,
       MXUPDFILES_ERR_TOO_SHORT},
      {"too large", [](auto& v) { v.insert(v.begin() + 16, MXUPDFILES_MAX_FILE_SIZE, 0); }, false,
       MXUPDFILES_ERR_TOO_LARGE},
  };
  ASSERT_EQ(good[image1], 1);
  for (const auto& c : cases) {
    auto v = good;
    c.mutate(v);
    if (c.fixCrc) FixCrc(v);
    Store(v);
    EXPECT_EQ(Open(), c.expected) << c.what;
  }
  Store(good);
  EXPECT_EQ(Open(), MXUPDFILES_OK);
  path = dir;  // a folder is not a package
  EXPECT_EQ(Open(), MXUPDFILES_ERR_NOT_REGULAR);
  path = dir + "/missing.dfu";
  EXPECT_EQ(Open(), MXUPDFILES_ERR_OPEN);
}

TEST_F(PackageFile, ImagesRefuseElementsOutOfOrderAndWritingRefusesBadHandles) {
  MXUPDFILES_IMAGE image = Image(0, "x", {{0x1000, Pattern(16, 0)}});
  auto data = Pattern(16, 1);
  ImageElement overlap{0x100F, 16, data.data()};
  EXPECT_EQ(MXUPDFILES_AppendImageElement(image, &overlap), MXUPDFILES_ERR_ORDER);
  ImageElement tooFar{0xFFFFFFF8, 16, data.data()};
  EXPECT_EQ(MXUPDFILES_AppendImageElement(image, &tooFar), MXUPDFILES_ERR_ORDER);
  ImageElement replace{0x1000, 16, data.data()};
  EXPECT_EQ(MXUPDFILES_SetImageElement(image, 0, &replace), MXUPDFILES_OK);
  replace.size = 15;
  EXPECT_EQ(MXUPDFILES_SetImageElement(image, 0, &replace), MXUPDFILES_ERR_MISMATCH);

  MXUPDFILES_IMAGE bad = reinterpret_cast<MXUPDFILES_IMAGE>(&data);
  EXPECT_EQ(MXUPDFILES_WriteDFUFile(path.c_str(), 1, 2, 3, &bad, 1), MXUPDFILES_ERR_HANDLE);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "nothing is written";
  errno = 0;
  EXPECT_EQ(MXUPDFILES_WriteDFUFile((dir + "/no/such/folder.dfu").c_str(), 1, 2, 3, &image, 1),
            MXUPDFILES_ERR_WRITE);
  EXPECT_EQ(errno, ENOENT) << "the system's reason is kept for the caller";
}

TEST_F(PackageFile, HostileFilesAreRefusedWithoutBlockingOrSlowingTheFlash) {
  // A FIFO: the reader must not wait for a writer. If it did, a writer is opened after a
  // while so that the test ends, and fails.
  const std::string fifo = dir + "/fifo.dfu";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  path = fifo;
  std::atomic<uint32_t> rc{0};
  std::thread reader([&] { rc = Open(); });
  for (int i = 0; i < 200 && rc == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool blocked = rc == 0;
  if (blocked) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  reader.join();
  EXPECT_FALSE(blocked) << "the reader waited on a FIFO";
  EXPECT_EQ(rc, MXUPDFILES_ERR_NOT_REGULAR);

  // 100,000 one-byte elements, each adjacent to the last: well formed, but bounded.
  path = dir + "/many.dfu";
  std::vector<uint8_t> v = {'B', 'R', 'I', 'S', 'K', 'D', 'F', 'U', 1, 0, 1, 0, 0, 0, 0, 0};
  const uint32_t count = 100000;
  v.insert(v.end(), {0, 0, 0, 0, 0, 0, 0, 0});
  SetLe32(v, v.size() - 4, count);
  for (uint32_t i = 0; i < count; ++i) {
    v.insert(v.end(), 9, 0);
    SetLe32(v, v.size() - 9, 0x08000000 + i);
    SetLe32(v, v.size() - 5, 1);
    v.back() = uint8_t(i);
  }
  SetLe32(v, 12, uint32_t(v.size()));
  v.insert(v.end(),
           {0xFF, 0xFF, 0x9B, 0xA1, 0x83, 0x04, 0x1A, 0x01, 'U', 'F', 'D', 16, 0, 0, 0, 0});
  FixCrc(v);
  Store(v);
  EXPECT_EQ(Open(), MXUPDFILES_ERR_ELEMENTS);
  // Nor can such an image be built.
  MXUPDFILES_IMAGE image = Image(0, "x", {});
  uint8_t byte = 0;
  for (uint32_t i = 0; i < MXUPDFILES_MAX_ELEMENTS; ++i) {
    ImageElement e{0x1000 + 2 * i, 1, &byte};
    ASSERT_EQ(MXUPDFILES_AppendImageElement(image, &e), MXUPDFILES_OK);
  }
  ImageElement e{0x8000, 1, &byte};
  EXPECT_EQ(MXUPDFILES_AppendImageElement(image, &e), MXUPDFILES_ERR_ELEMENTS);
}

TEST_F(PackageFile, FileAndImageHandlesAreNeverTakenForEachOther) {
  WriteSample();
  MXUPDFILES_FILE file = nullptr;
  uint8_t count = 0;
  ASSERT_EQ(MXUPDFILES_OpenExistingDFUFile(path.c_str(), &file, nullptr, nullptr, nullptr, &count),
            MXUPDFILES_OK);
  auto asImage = reinterpret_cast<MXUPDFILES_IMAGE>(file);
  EXPECT_EQ(MXUPDFILES_DestroyImage(&asImage), MXUPDFILES_ERR_HANDLE);
  EXPECT_EQ(MXUPDFILES_GetImageSize(asImage), 0u);
  MXUPDFILES_IMAGE image = nullptr;
  ASSERT_EQ(MXUPDFILES_ReadImageFromDFUFile(file, 0, &image), MXUPDFILES_OK);
  images.push_back(image);
  EXPECT_EQ(MXUPDFILES_CloseDFUFile(reinterpret_cast<MXUPDFILES_FILE>(image)),
            MXUPDFILES_ERR_HANDLE);
  EXPECT_EQ(MXUPDFILES_GetImageSize(image), 3017u);
  EXPECT_EQ(MXUPDFILES_CloseDFUFile(file), MXUPDFILES_OK);
}

}  // namespace
