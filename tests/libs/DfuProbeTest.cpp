// dfu-probe run as its own program against an emulated DFU device.
#include "sim/dfu/DfuUsbTestbed.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace brisk {

TEST(DfuProbe, PrintsTheDescriptorsAndMemoryMapOfTheDeviceItFinds) {
  brisk::sim::DfuUsbDevice device;
  FILE* pipe = popen(BRISK_DFU_PROBE " 2>&1", "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe)) out += buf;
  EXPECT_EQ(pclose(pipe), 0) << out;
  EXPECT_NE(out.find(device.DevicePath()), std::string::npos) << out;
  EXPECT_NE(out.find("VID 0483 PID A19B"), std::string::npos) << out;
  EXPECT_NE(out.find("bcdDFUVersion 011A, wTransferSize 2048"), std::string::npos) << out;
  EXPECT_NE(out.find("\"@Internal Flash  /0x08000000/128*002Kg\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"@Option Bytes  /0x1FFFF800/01*016 e\""), std::string::npos) << out;
  EXPECT_NE(out.find("state 2, status 0"), std::string::npos) << out;
}

}  // namespace brisk
