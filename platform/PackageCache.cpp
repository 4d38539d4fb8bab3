#include "platform/PackageCache.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace brisk::platform {

PackageCache PackageCache::Dfu() { return PackageCache(DfuCacheFolder()); }

std::vector<CachedPackage> PackageCache::NewestFirst() const {
  std::vector<CachedPackage> packages;
  DIR* dir = m_folder.empty() ? nullptr : opendir(m_folder.c_str());
  if (!dir) return packages;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    const std::string path = m_folder + "/" + name;
    struct stat st {};
    // A link is not ours to read or remove, whatever it points at.
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    packages.push_back({path, name, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
  }
  closedir(dir);
  std::sort(packages.begin(), packages.end(), [](const CachedPackage& a, const CachedPackage& b) {
    return a.modifiedNs != b.modifiedNs ? a.modifiedNs > b.modifiedNs : a.name < b.name;
  });
  return packages;
}

bool PackageCache::Add(const std::string& packagePath, std::string* copyPath) const {
  const size_t slash = packagePath.rfind('/');
  const std::string name = slash == std::string::npos ? packagePath : packagePath.substr(slash + 1);
  const std::string destination = m_folder + "/" + name;
  if (copyPath) *copyPath = destination;
  if (m_folder.empty() || name.empty() || name[0] == '.' || !MakeFolders(m_folder, 0700))
    return false;
  return CopyRegularFileAtomically(packagePath, destination);
}

std::vector<std::string> PackageCache::Prune(size_t keep) const {
  std::vector<std::string> removed;
  const std::vector<CachedPackage> packages = NewestFirst();
  for (size_t i = keep; i < packages.size(); ++i)
    if (RemoveFile(packages[i].path)) removed.push_back(packages[i].path);
  return removed;
}

}  // namespace brisk::platform
