#pragma once
// Plain files from outside: packages, their cached copies, digests. Each open refuses what is
// not a regular file and never follows a link or blocks on a FIFO planted at the name.
#include <cstdint>
#include <cstdio>
#include <string>

namespace brisk::platform {

enum class FileKind { kMissing, kRegular, kFolder, kOther };

// What is at path itself (a link is kOther, not its target).
FileKind KindOfPath(const std::string& path);

// Opens a regular file for reading; nullptr for anything else. size, when given, gets its size.
std::FILE* OpenRegularForRead(const std::string& path, int64_t* size = nullptr);

// Creates or truncates a regular file (mode 0600) for writing; nullptr when the name holds
// anything but a regular file or cannot be created.
std::FILE* CreateRegularForWrite(const std::string& path);

// Reads exactly length bytes at offset of a regular file; false for a range past its end, even
// an empty one.
bool ReadRegularRange(const std::string& path, uint64_t offset, void* destination, size_t length);

// Copies a regular file under a hidden temporary name in destination's folder, then renames it
// so that a reader of that folder never sees half a file. The copy is made readable (0644).
bool CopyRegularFileAtomically(const std::string& source, const std::string& destination);

// Removes a file (not a folder); true when it is gone.
bool RemoveFile(const std::string& path);

}  // namespace brisk::platform
