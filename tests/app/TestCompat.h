#pragma once
// The test helpers' names as seen from brisk::test while they move into it.
#include "tests/devices/ReaderTestbed.h"
#include "tests/support/TestSupport.h"

namespace brisk::test {
using ::testbed::ReaderTestbed;
using ::testing_support::ReadFile;
using ::testing_support::ScopedTmpdir;
using ::testing_support::TempDir;
}  // namespace brisk::test
