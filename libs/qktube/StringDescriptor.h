// A USB string descriptor's UTF-16LE text as UTF-8.
#pragma once

#include <cstdint>

namespace brisk::qktube {

// raw: the rc bytes a GET_DESCRIPTOR(string) returned. The text up to its first zero unit goes
// to buffer as UTF-8 with a terminating zero; an unpaired surrogate becomes U+FFFD. QK_OK,
// QK_ERR_BAD_DESCRIPTOR for a malformed descriptor, or QK_ERR_BUFFER with the text cut
// before the first character that does not fit in size - 1 bytes (size is at least 1).
uint32_t DecodeStringDescriptor(const unsigned char* raw, int rc, char* buffer, uint32_t size);

}  // namespace brisk::qktube
