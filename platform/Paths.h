#pragma once
#include <string>

#include "log/TempFolder.h"

namespace brisk::platform {

// The per-user private temporary folder (log/TempFolder.h).
inline std::string TempFolder() { return PrivateTempFolder(); }

// $XDG_CONFIG_HOME/BriskNetService (default ~/.config/BriskNetService); not created here.
std::string ConfigFolder();

// ConfigFolder()/DFU; not created here.
std::string DfuCacheFolder();

// Creates dir and its missing parents with the given mode; true when it exists as a folder.
bool MakeFolders(const std::string& dir, unsigned mode);

}  // namespace brisk::platform
