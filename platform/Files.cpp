#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/AtomicFile.h"

namespace brisk::platform {

namespace {

// O_NONBLOCK: a FIFO opens at once and is then refused by the check on its kind.
int OpenRegular(const std::string& path, int flags, int64_t* size) {
  const int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  // Back to blocking reads and writes: a regular file never waits long.
  const int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  if (size) *size = static_cast<int64_t>(st.st_size);
  return fd;
}

std::FILE* Stream(int fd, const char* mode) {
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, mode);
  if (!file) close(fd);
  return file;
}

}  // namespace

FileKind KindOfPath(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return FileKind::kMissing;
  if (S_ISREG(st.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) return FileKind::kFolder;
  return FileKind::kOther;
}

std::FILE* OpenRegularForRead(const std::string& path, int64_t* size) {
  return Stream(OpenRegular(path, O_RDONLY, size), "rb");
}

std::FILE* CreateRegularForWrite(const std::string& path) {
  return Stream(OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC, nullptr), "wb");
}

bool ReadRegularRange(const std::string& path, uint64_t offset, void* destination, size_t length) {
  int64_t size = 0;
  const int fd = OpenRegular(path, O_RDONLY, &size);
  if (fd < 0) return false;
  bool ok = offset + length <= static_cast<uint64_t>(size);
  size_t got = 0;
  while (ok && got < length) {
    const ssize_t n = pread(fd, static_cast<char*>(destination) + got, length - got,
                            static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      got += static_cast<size_t>(n);
  }
  close(fd);
  return ok;
}

bool CopyRegularFileAtomically(const std::string& source, const std::string& destination) {
  if (destination.find('/') == std::string::npos) return false;
  const int in = OpenRegular(source, O_RDONLY, nullptr);
  if (in < 0) return false;
  std::vector<char> buffer(1 << 16);
  // A link at the destination is replaced, never written through.
  const bool ok = ReplaceFileAtomically(
      destination, 0644, false,
      [&](int out) {
        for (;;) {
          const ssize_t got = read(in, buffer.data(), buffer.size());
          if (got < 0 && errno == EINTR) continue;
          if (got <= 0) return got == 0;
          if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) return false;
        }
      },
      nullptr);
  close(in);
  return ok;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace brisk::platform
