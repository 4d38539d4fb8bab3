#pragma once
// Start at logon through an XDG autostart entry: its presence is the setting.
#include <string>

namespace brisk::platform {

// $XDG_CONFIG_HOME/autostart/BriskNetService.desktop; empty when no configuration folder
// can be found (no XDG_CONFIG_HOME and no home folder).
std::string AutostartEntryPath();

// The running program file's full path; empty when the system does not tell.
std::string ProgramPath();

// The desktop entry text that starts programPath; empty when the path cannot be written
// in an Exec line (empty, relative, or holding a line break or a control character).
std::string AutostartEntryText(const std::string& programPath);

// True when something is present at the entry's path (its content is not looked at).
bool AutostartEntryExists(const std::string& entryPath);

// Writes the entry atomically, creating the autostart folder as needed.
bool WriteAutostartEntry(const std::string& entryPath, const std::string& programPath,
                         std::string* error);
bool RemoveAutostartEntry(const std::string& entryPath, std::string* error);

}  // namespace brisk::platform
