#pragma once
// The folder of firmware packages kept for a later DFU upgrade: the downloader adds to it and
// prunes it, the upgrade engine picks from it. Only regular files count; names starting with a
// dot are copies in progress.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brisk::platform {

struct CachedPackage {
  std::string path;
  std::string name;
  int64_t modifiedNs = 0;  // last write, nanoseconds since the epoch
};

class PackageCache {
 public:
  explicit PackageCache(std::string folder) : m_folder(std::move(folder)) {}
  // The per-user DFU cache (DfuCacheFolder()).
  static PackageCache Dfu();

  const std::string& Folder() const { return m_folder; }
  // Newest first; equal times by name, so that a choice among them is repeatable.
  std::vector<CachedPackage> NewestFirst() const;
  // Copies a package in under its own file name (the folder is made 0700 when missing).
  // copyPath, when given, gets the copy's path, failed or not.
  bool Add(const std::string& packagePath, std::string* copyPath = nullptr) const;
  // Removes all but the newest keep packages; the paths removed.
  std::vector<std::string> Prune(size_t keep) const;

 private:
  std::string m_folder;
};

}  // namespace brisk::platform
