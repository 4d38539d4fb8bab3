// brisk-dfu pack: builds a package from binary and Intel HEX files.
#pragma once

namespace brisk::tools {

// argv as main got it ("pack" at argv[1]). 0 when the package was written, 1 after saying on
// standard error why not, kUsage when the words are no pack command (the caller shows the usage).
int Pack(int argc, char** argv);

}  // namespace brisk::tools
