#pragma once
// The per-user private temporary folder. It lives with the log, the lowest part that writes
// into it; platform/Paths.h offers it to everything above.
#include <string>

namespace brisk {

// ${TMPDIR:-/tmp}/BriskNetService-<uid>, created 0700. Empty when it cannot be made safe: a
// symbolic link, not a folder, or owned by another user.
std::string PrivateTempFolder();

}  // namespace brisk
