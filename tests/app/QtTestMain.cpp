// GoogleTest with one QApplication for the process, and a session bus of its own so that no
// test meets the desktop's bus or another test's program.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <memory>

#include "tests/app/AppTestSupport.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Listing the tests needs neither a bus nor a window system.
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  std::unique_ptr<brisk::test::PrivateBus> bus;
  if (!std::getenv("BRISK_TEST_KEEP_BUS")) {
    bus = std::make_unique<brisk::test::PrivateBus>("session");
    setenv("DBUS_SESSION_BUS_ADDRESS", bus->Address().c_str(), 1);
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("BriskNetService"));
  QApplication::setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
