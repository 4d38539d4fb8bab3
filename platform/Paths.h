#pragma once
#include <string>

namespace brisk::platform {

// The per-user private temporary folder ${TMPDIR:-/tmp}/BriskNetService-<uid>, created 0700.
// Empty when it cannot be made safe: a symbolic link, not a folder, or owned by another user.
std::string TempFolder();

// $XDG_CONFIG_HOME/BriskNetService (default ~/.config/BriskNetService); not created here.
std::string ConfigFolder();

// ConfigFolder()/DFU; not created here.
std::string DfuCacheFolder();

// Creates dir and its missing parents with the given mode; true when it exists as a folder.
bool MakeFolders(const std::string& dir, unsigned mode);

}  // namespace brisk::platform
