#pragma once
// Per-test TMPDIR and XDG_CONFIG_HOME, removed afterwards, and the helpers around them.
#include <string>
#include <vector>

namespace testing_folders {

class ScopedFolders {
 public:
  ScopedFolders();
  ~ScopedFolders();
  ScopedFolders(const ScopedFolders&) = delete;
  ScopedFolders& operator=(const ScopedFolders&) = delete;

  const std::string& Root() const { return m_root; }
  const std::string& Tmp() const { return m_tmp; }
  const std::string& Config() const { return m_config; }

 private:
  std::string m_root, m_tmp, m_config;
};

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// Names in a folder, without "." and "..".
std::vector<std::string> List(const std::string& folder);
// Deterministic bytes of the given size.
std::string Pattern(size_t size, unsigned seed = 1);

}  // namespace testing_folders
