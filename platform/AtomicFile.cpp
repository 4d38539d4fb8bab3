#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace brisk::platform {

namespace {

std::string Errno(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool WriteAll(int fd, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool ReplaceFileAtomically(const std::string& path, unsigned newMode, bool followLink,
                           const std::function<bool(int fd)>& fill, std::string* error) {
  std::string target = path;
  struct stat st {};
  if (followLink && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) {
      if (error) *error = Errno("cannot follow the link", path);
      return false;
    }
    target = real;
    std::free(real);
  }
  const size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = folder + "/." + base + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = Errno("cannot create a temporary file in", folder);
    return false;
  }
  bool fdOpen = true;
  auto fail = [&](const char* what, const std::string& where) {
    const int reason = errno;
    if (error) *error = Errno(what, where);
    if (fdOpen) ::close(fd);
    ::unlink(temp.c_str());
    errno = reason;
    return false;
  };
  const bool replacing = lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (fchmod(fd, replacing ? (st.st_mode & 07777) : newMode) != 0)
    return fail("cannot set the mode of", temp);
  if (!fill(fd)) return fail("cannot write", temp);
  if (fsync(fd) != 0) return fail("cannot flush", temp);
  fdOpen = false;
  if (::close(fd) != 0) return fail("cannot close", temp);
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail("cannot replace", target);
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    ::close(dir);
  }
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view data, unsigned newMode,
                         std::string* error) {
  return ReplaceFileAtomically(
      path, newMode, true, [&](int fd) { return WriteAll(fd, data.data(), data.size()); }, error);
}

}  // namespace brisk::platform
