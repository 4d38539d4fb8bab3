#include "tests/download/TestFolders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testing_folders {

ScopedFolders::ScopedFolders() {
  const char* base = std::getenv("BRISK_TEST_SCRATCH");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/brisk-dl-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  m_root = pattern;
  m_tmp = m_root + "/tmp";
  m_config = m_root + "/config";
  mkdir(m_tmp.c_str(), 0700);
  mkdir(m_config.c_str(), 0700);
  setenv("TMPDIR", m_tmp.c_str(), 1);
  setenv("XDG_CONFIG_HOME", m_config.c_str(), 1);
}

ScopedFolders::~ScopedFolders() {
  std::error_code ignored;
  std::filesystem::remove_all(m_root, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> List(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

}  // namespace testing_folders
