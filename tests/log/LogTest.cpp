#include <gtest/gtest.h>
#include "log/Log.h"
TEST(Log, Off) { WriteLog("x"); }
