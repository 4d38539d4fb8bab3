// tty enumeration and the hotplug monitor against umockdev testbeds.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/devices/HotplugMonitor.h"
#include "platform/devices/UdevDevices.h"
#include "tests/platform/devices/ReaderTestbed.h"

namespace brisk::platform::devices {

using platform::devices::EnumerateTtyDevices;
using platform::devices::HotplugEvent;
using platform::devices::HotplugMonitor;
using platform::devices::TtyDevice;

namespace {

const TtyDevice* Find(const std::vector<TtyDevice>& list, const std::string& sysName) {
  for (const TtyDevice& d : list)
    if (d.sysName == sysName) return &d;
  return nullptr;
}

constexpr int kEventWaitMs = 20000;  // generous: only a lost event ever waits this long

// Waits for an event of that kind and subsystem (and devType, when given); other events
// are passed over.
std::optional<HotplugEvent> WaitFor(HotplugMonitor& monitor, HotplugEvent::Kind kind,
                                    const std::string& subsystem, const std::string& devType = "") {
  for (;;) {
    auto e = monitor.WaitEvent(kEventWaitMs);
    if (!e) return std::nullopt;
    if (e->kind == kind && e->subsystem == subsystem && (devType.empty() || e->devType == devType))
      return e;
  }
}

}  // namespace

TEST(TtyEnumeration, GivesEveryTtyWithItsUsbParentsIdentity) {
  test::ReaderTestbed tb;
  tb.AddUsbSerial("1-1", "0425", "8159", 3);
  tb.AddUsbSerial("1-2", "0400", "c35a", 0);
  tb.AddPlainTty("ttyS0");
  tb.AddUsbHidraw("1-3", "0425", "8159", 0);

  const auto list = EnumerateTtyDevices();
  ASSERT_EQ(list.size(), 3u);

  const TtyDevice* a = Find(list, "ttyACM3");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->hasUsbIdentity);
  EXPECT_EQ(a->hardwareId, "USB\\VID_0425&PID_8159");
  EXPECT_EQ(a->devNode, "/dev/ttyACM3");

  const TtyDevice* b = Find(list, "ttyACM0");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->vendorId, 0x0400);
  EXPECT_EQ(b->productId, 0xC35A);
  EXPECT_EQ(b->hardwareId, "USB\\VID_0400&PID_C35A");

  const TtyDevice* s = Find(list, "ttyS0");
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->hasUsbIdentity);
  EXPECT_TRUE(s->hardwareId.empty());
}

TEST(TtyEnumeration, MalformedUsbIdentifiersAreRefusedNotGuessed) {
  test::ReaderTestbed tb;
  tb.AddUsbSerial("1-1", "zz25", "8159", 0);
  tb.AddUsbSerial("1-2", "04250", "8159", 1);  // five digits
  tb.AddUsbSerial("1-3", "", "", 2);
  tb.AddUsbSerial("1-4", "0425", "8159", 3);

  const auto list = EnumerateTtyDevices();
  ASSERT_EQ(list.size(), 4u);
  for (const char* name : {"ttyACM0", "ttyACM1", "ttyACM2"}) {
    const TtyDevice* d = Find(list, name);
    ASSERT_NE(d, nullptr) << name;
    EXPECT_FALSE(d->hasUsbIdentity) << name;
    EXPECT_TRUE(d->hardwareId.empty()) << name;
  }
  EXPECT_TRUE(Find(list, "ttyACM3")->hasUsbIdentity);
}

TEST(UsbIdText, AcceptsOnlyOneToFourHexDigits) {
  EXPECT_EQ(platform::devices::ParseUsbId("c35a\n"), 0xC35A);
  EXPECT_EQ(platform::devices::ParseUsbId("1"), 0x1);
  EXPECT_FALSE(platform::devices::ParseUsbId(""));
  EXPECT_FALSE(platform::devices::ParseUsbId("0x12"));
  EXPECT_FALSE(platform::devices::ParseUsbId("12 34"));
  EXPECT_FALSE(platform::devices::ParseUsbId(nullptr));
  EXPECT_EQ(platform::devices::HardwareIdText(0x4, 0xabc), "USB\\VID_0004&PID_0ABC");
}

TEST(Hotplug, ReportsArrivalAndRemovalOfAReader) {
  test::ReaderTestbed tb;
  auto monitor = HotplugMonitor::Create();
  ASSERT_NE(monitor, nullptr);
  EXPECT_GE(monitor->Fd(), 0);

  const std::string usb = tb.AddUsbSerial("1-1", "0425", "8159", 0);
  auto arrived = WaitFor(*monitor, HotplugEvent::Kind::Arrival, "tty");
  ASSERT_TRUE(arrived);
  EXPECT_EQ(arrived->action, "add");
  EXPECT_EQ(arrived->devNode, "/dev/ttyACM0");
  EXPECT_EQ(arrived->vendorId, "0425");
  EXPECT_EQ(arrived->productId, "8159");

  tb.Remove(usb);
  auto removed = WaitFor(*monitor, HotplugEvent::Kind::Removal, "tty");
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->sysPath, arrived->sysPath);
  auto usbRemoved = WaitFor(*monitor, HotplugEvent::Kind::Removal, "usb", "usb_device");
  ASSERT_TRUE(usbRemoved);
  EXPECT_EQ(usbRemoved->sysPath, usb);
  EXPECT_TRUE(EnumerateTtyDevices().empty());
}

TEST(Hotplug, ReportsHidrawAndUsbDevicesAndIgnoresOtherSubsystems) {
  test::ReaderTestbed tb;
  auto monitor = HotplugMonitor::Create();
  ASSERT_NE(monitor, nullptr);

  tb.AddFromString(
      "P: /devices/virtual/input/input9\n"
      "E: SUBSYSTEM=input\n");
  tb.AddUsbHidraw("1-5", "0425", "8159", 2);
  std::vector<HotplugEvent> seen;
  for (;;) {
    auto e = monitor->WaitEvent(kEventWaitMs);
    ASSERT_TRUE(e) << "no hidraw arrival";
    seen.push_back(*e);
    if (e->subsystem == "hidraw") break;
  }
  EXPECT_EQ(seen.back().devNode, "/dev/hidraw2");
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const HotplugEvent& e) {
    return e.subsystem == "usb" && e.devType == "usb_device" && e.vendorId == "0425";
  }));
  for (const HotplugEvent& e : seen) EXPECT_NE(e.subsystem, "input");
}

}  // namespace brisk::platform::devices
