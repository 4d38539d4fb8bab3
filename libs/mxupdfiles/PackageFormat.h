// The package file format in memory: parsing with every check, and building.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace brisk::dfu {

struct ImageData {
  struct Element {
    uint32_t address = 0;
    uint32_t size = 0;
    size_t offset = 0;  // into data
  };
  uint8_t alternate = 0;
  std::string name;
  std::vector<Element> elements;
  std::vector<uint8_t> data;  // the elements' bytes, one after the other

  uint64_t End() const;  // end address of the last element (0 when empty)
  // Appends; false when it would start before the end of the last element or pass 4 GiB.
  bool Append(uint32_t address, std::span<const uint8_t> bytes);
};

struct Package {
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t version = 0;
  std::vector<ImageData> images;
};

constexpr size_t kHeaderSize = 16;
constexpr size_t kSuffixSize = 16;
constexpr uint16_t kFormatVersion = 1;
constexpr uint16_t kBcdDfu = 0x011A;

// The ordinary CRC-32 (reflected 0xEDB88320, initial and final complement), continued from crc.
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

// Checks and parses a whole file; returns an MXUPDFILES_ status code.
uint32_t ParsePackage(std::span<const uint8_t> file, Package& out);
// Builds the file bytes; returns an MXUPDFILES_ status code.
uint32_t BuildPackage(const Package& package, std::vector<uint8_t>& out);

}  // namespace brisk::dfu
