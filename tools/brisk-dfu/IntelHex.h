#pragma once
// Intel HEX files: data records with 16-bit offsets, extended segment and linear addresses.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brisk::tools {

struct HexBlock {
  uint32_t address = 0;
  std::vector<uint8_t> data;
};

// Reads a whole file of at most limit bytes; a longer or endless input (a device, a pipe) is
// refused after limit + 1 bytes, and a FIFO is opened without waiting for a writer. The error
// does not name the file.
bool ReadBounded(const std::string& path, size_t limit, std::vector<uint8_t>& out,
                 std::string& error);

// Reads the file into contiguous blocks in address order. False with a reason (line number
// and fault) for a malformed record, a bad checksum, a missing end record or bytes given twice.
bool ReadIntelHex(const std::string& path, std::vector<HexBlock>& blocks, std::string& error);

}  // namespace brisk::tools
