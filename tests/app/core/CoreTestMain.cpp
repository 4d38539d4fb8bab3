// GoogleTest with one QCoreApplication and a session bus of its own: the core runs without a
// window system.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <memory>

#include "tests/app/AppTestSupport.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  auto bus = std::make_unique<brisk::test::PrivateBus>("session");
  setenv("DBUS_SESSION_BUS_ADDRESS", bus->Address().c_str(), 1);
  // No logind here: the sleep lock is only asked for.
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  QCoreApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
