#pragma once
// Replacing a file whole: the one way this program writes a file that others may read meanwhile
// (settings, autostart entry, cached and built packages).
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace brisk::platform {

// Writes length bytes, retrying after interruptions; false (errno set) on a failed write.
bool WriteAll(int fd, const void* data, size_t length);

// Fills a temporary file beside path through fill (given its descriptor; false with errno set
// when it fails), flushes it to disk and renames it over path: readers see the old content or
// the new, never a part. With followLink a symbolic link at path is followed so the link stays;
// without, the link itself is replaced. A new file gets newMode; a replaced file keeps its
// mode. False on any failure, with *error saying why and errno kept; nothing is left behind.
bool ReplaceFileAtomically(const std::string& path, unsigned newMode, bool followLink,
                           const std::function<bool(int fd)>& fill, std::string* error);

// ReplaceFileAtomically with data, following a link.
bool WriteFileAtomically(const std::string& path, std::string_view data, unsigned newMode,
                         std::string* error);

}  // namespace brisk::platform
