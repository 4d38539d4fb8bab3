#pragma once
// The MD5 message digest (RFC 1321), the whole-file digest text and the hex helper.
#include <cstddef>
#include <cstdint>
#include <string>

namespace brisk::download {

struct Md5Context {
  uint32_t count[2];   // message length in bits, low word first
  uint32_t state[4];   // chaining words A, B, C, D
  uint8_t buffer[64];  // the block being filled
  uint8_t digest[16];  // written by Md5Final
};

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const void* data, uint32_t length);
void Md5Final(Md5Context* context);

// The file's MD5 as 32 upper-case hexadecimal characters; sizeOut receives its size.
// Empty text, sizeOut untouched, when the file cannot be opened or reading stops short.
std::string GetFileMd5(const std::string& path, int64_t& sizeOut);

// Writes count bytes as 2 * count lower-case hex digits and a terminating zero.
void HexEncode(char* destination, const uint8_t* bytes, size_t count);

}  // namespace brisk::download
