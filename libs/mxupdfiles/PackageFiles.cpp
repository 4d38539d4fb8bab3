#include "libs/mxupdfiles/PackageFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "libs/mxupdfiles/MXUPDFILES.h"
#include "platform/AtomicFile.h"

namespace brisk::dfu {

uint32_t ReadPackageFile(const char* path, std::vector<uint8_t>& out) {
  // Without blocking: opening a FIFO for reading would wait for a writer for ever.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return MXUPDFILES_ERR_OPEN;
  struct stat st {};
  uint32_t rc = MXUPDFILES_OK;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    rc = MXUPDFILES_ERR_NOT_REGULAR;
  } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    rc = MXUPDFILES_ERR_OPEN;
  } else if (st.st_size > off_t(MXUPDFILES_MAX_FILE_SIZE)) {
    rc = MXUPDFILES_ERR_TOO_LARGE;
  } else {
    // Read to the end, not to the size seen: the file may change underneath.
    out.resize(size_t(st.st_size) + 1);
    size_t got = 0;
    while (rc == MXUPDFILES_OK) {
      if (got == out.size()) {
        if (out.size() > MXUPDFILES_MAX_FILE_SIZE) {
          rc = MXUPDFILES_ERR_TOO_LARGE;
          break;
        }
        out.resize(std::min<size_t>(out.size() * 2, MXUPDFILES_MAX_FILE_SIZE + 1));
      }
      const ssize_t n = read(fd, out.data() + got, out.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) rc = MXUPDFILES_ERR_OPEN;
      if (n <= 0) break;
      got += size_t(n);
    }
    out.resize(got);
  }
  const int why = errno;
  close(fd);
  errno = why;  // the caller may name the system's reason
  return rc;
}

uint32_t WritePackageFile(const char* path, const std::vector<uint8_t>& bytes) {
  // A reader never sees half a package.
  return platform::WriteFileAtomically(
             path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
             0644, nullptr)
             ? MXUPDFILES_OK
             : MXUPDFILES_ERR_WRITE;
}

}  // namespace brisk::dfu
