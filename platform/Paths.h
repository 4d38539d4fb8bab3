#pragma once
#include <string>
#include <vector>

#include "log/TempFolder.h"

namespace brisk::platform {

// The per-user private temporary folder (log/TempFolder.h).
inline std::string TempFolder() { return PrivateTempFolder(); }

// $XDG_CONFIG_HOME/BriskNetService (default ~/.config/BriskNetService); not created here.
std::string ConfigFolder();

// The seat-wide settings files, most important first: BriskNetService/setting.ini in each
// absolute folder of $XDG_CONFIG_DIRS (default /etc/xdg).
std::vector<std::string> SeatSettingPaths();

// ConfigFolder()/DFU; not created here.
std::string DfuCacheFolder();

// Creates dir and its missing parents with the given mode; true when it exists as a folder.
bool MakeFolders(const std::string& dir, unsigned mode);

}  // namespace brisk::platform
