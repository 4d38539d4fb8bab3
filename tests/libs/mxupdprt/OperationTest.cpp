// The operation library through MXUPD, QKTubeDevice and the real libusb, against the DFU device
// model behind umockdev's usbdevfs emulation.
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdprt/MXUPDPRT.h"
#include "sim/dfu/DfuUsbTestbed.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace brisk::sim;

namespace {

constexpr uint32_t kFlash = 0x08000000;

std::vector<uint8_t> Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(gen());
  return v;
}

class Operation : public ::testing::Test {
 protected:
  void Plug(DfuDeviceConfig config = {}) {
    device = std::make_unique<DfuUsbDevice>(std::move(config));
    // The device arrives by hotplug; the map is the first thing that opens it.
    uint32_t rc = MXUPDPRT_ERR_OPEN;
    for (int i = 0; i < 500 && rc == MXUPDPRT_ERR_OPEN; ++i) {
      rc = MXUPDPRT_CreateMappingFromDevice(device->DevicePath().c_str(), &map, &targets);
      if (rc == MXUPDPRT_ERR_OPEN) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(rc, MXUPDPRT_OK);
  }
  void TearDown() override {
    for (auto* image : images) MXUPDFILES_DestroyImage(&image);
    if (map) {
      EXPECT_EQ(MXUPDPRT_DestroyMapping(&map), MXUPDPRT_OK);
    }
  }
  DfuDeviceModel& Model() { return device->Model(); }

  MXUPDFILES_IMAGE Image(uint32_t address, const std::vector<uint8_t>& data) {
    MXUPDFILES_IMAGE image = nullptr;
    EXPECT_EQ(MXUPDFILES_CreateImage(&image, 0, "Internal Flash  "), MXUPDFILES_OK);
    ImageElement e{address, uint32_t(data.size()), const_cast<uint8_t*>(data.data())};
    EXPECT_EQ(MXUPDFILES_AppendImageElement(image, &e), MXUPDFILES_OK);
    images.push_back(image);
    return image;
  }
  MXUPDFILES_IMAGE Copy(MXUPDFILES_IMAGE image, int32_t filter) {
    MXUPDFILES_IMAGE copy = nullptr;
    EXPECT_EQ(MXUPDFILES_DuplicateImage(image, &copy), MXUPDFILES_OK);
    EXPECT_EQ(MXUPDFILES_FilterImageForOperation(copy, &map[0], filter, 0), MXUPDFILES_OK);
    images.push_back(copy);
    return copy;
  }

  MXUPDPRT_OPERATION Launch(int32_t operation, MXUPDFILES_IMAGE image) {
    OperationRecord record{};
    record.interfaceClass1 = DfuGuid DFU_INTERFACE_CLASS_1;
    record.interfaceClass2 = DfuGuid DFU_INTERFACE_CLASS_2;
    record.operation = operation;
    record.image = image;
    std::snprintf(record.devicePath, sizeof record.devicePath, "%s", device->DevicePath().c_str());
    MXUPDPRT_OPERATION op = nullptr;
    EXPECT_EQ(MXUPDPRT_LaunchOperation(&record, &op), MXUPDPRT_OK);
    return op;
  }
  // Polls as the dialog does until the operation is done or failed, then stops it.
  OperationRecord Finish(MXUPDPRT_OPERATION op) {
    OperationRecord record{};
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int lastPercent = 0;
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(MXUPDPRT_GetOperationStatus(op, &record), MXUPDPRT_OK);
      EXPECT_GE(uint32_t(record.percent), lastPercent);
      EXPECT_LE(uint32_t(record.percent), 100);
      lastPercent = record.percent;
    } while (record.errorCode == MXUPDPRT_OK && record.percent < 100 &&
             std::chrono::steady_clock::now() < limit);
    EXPECT_EQ(MXUPDPRT_StopOperation(op, &record), MXUPDPRT_OK);
    return record;
  }
  uint32_t Run(int32_t operation, MXUPDFILES_IMAGE image) {
    return Finish(Launch(operation, image)).errorCode;
  }

  std::unique_ptr<DfuUsbDevice> device;
  TargetMap* map = nullptr;
  uint32_t targets = 0;
  std::vector<MXUPDFILES_IMAGE> images;
};

TEST_F(Operation, ReadsTheMemoryMapOfEveryAlternateSetting) {
  Plug();
  ASSERT_EQ(targets, 2u);
  EXPECT_EQ(uint32_t(map[0].alternate), 0);
  EXPECT_STREQ(map[0].name, "Internal Flash  ");
  ASSERT_EQ(uint32_t(map[0].sectorCount), 128u);
  EXPECT_EQ(uint32_t(map[0].sectors[1].startAddress), kFlash + 2048);
  EXPECT_EQ(uint32_t(map[0].sectors[1].size), 2048u);
  EXPECT_EQ(uint32_t(map[0].sectors[1].flags), SECTOR_READABLE | SECTOR_ERASABLE | SECTOR_WRITABLE);
  EXPECT_EQ(uint32_t(map[1].alternate), 1);
  EXPECT_STREQ(map[1].name, "Option Bytes  ");
  ASSERT_EQ(uint32_t(map[1].sectorCount), 1u);
  EXPECT_EQ(uint32_t(map[1].sectors[0].flags), SECTOR_READABLE | SECTOR_WRITABLE);

  TargetMap* foreign = map + 1;
  EXPECT_EQ(MXUPDPRT_DestroyMapping(&foreign), MXUPDPRT_ERR_HANDLE);
}

TEST_F(Operation, OneBadInterfaceStringFailsTheWholeMap) {
  DfuDeviceConfig config;
  config.interfaces = {{0, {{-1, "@Internal Flash  /0x08000000/128*002Kg"}, {-1, "@Broken/0x1/"}}}};
  device = std::make_unique<DfuUsbDevice>(config);
  uint32_t rc = MXUPDPRT_ERR_OPEN;
  for (int i = 0; i < 500 && rc == MXUPDPRT_ERR_OPEN; ++i) {
    rc = MXUPDPRT_CreateMappingFromDevice(device->DevicePath().c_str(), &map, &targets);
    if (rc == MXUPDPRT_ERR_OPEN) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(rc, MXUPDPRT_ERR_MAP);
  EXPECT_EQ(map, nullptr);
  EXPECT_EQ(targets, 0u);
}

// The whole upgrade at the device's real busy times: erase, write, read back, leave.
TEST_F(Operation, ErasesWritesReadsBackAndLeaves128KiB) {
  Plug();
  const auto data = Random(128 * 1024, 7);
  Model().WriteMemory(kFlash, Random(128 * 1024, 8));  // old firmware, to be erased

  MXUPDFILES_IMAGE package = Image(kFlash, data);
  MXUPDFILES_IMAGE erase = Copy(package, OPERATION_ERASE);
  MXUPDFILES_IMAGE write = Copy(package, OPERATION_DNLOAD);

  MXUPDPRT_OPERATION op = Launch(OPERATION_ERASE, erase);
  OperationRecord record = Finish(op);
  ASSERT_EQ(uint32_t(record.errorCode), MXUPDPRT_OK);
  EXPECT_EQ(uint32_t(record.percent), 100);
  // The polled record carries the launch fields, ready to be launched again.
  EXPECT_EQ(uint32_t(record.operation), OPERATION_ERASE);
  EXPECT_EQ(MXUPDFILES_IMAGE(record.image), erase);
  EXPECT_EQ(std::string(record.devicePath), device->DevicePath());
  EXPECT_EQ(Model().ReadMemory(kFlash, 128 * 1024), std::vector<uint8_t>(128 * 1024, 0xFF));

  record.operation = OPERATION_DNLOAD;
  record.image = write;
  ASSERT_EQ(MXUPDPRT_LaunchOperation(&record, &op), MXUPDPRT_OK);
  ASSERT_EQ(uint32_t(Finish(op).errorCode), MXUPDPRT_OK);
  EXPECT_EQ(Model().ReadMemory(kFlash, 128 * 1024), data);

  MXUPDFILES_IMAGE read = Copy(package, OPERATION_UPLOAD);
  std::vector<uint8_t> zero(data.size());
  ImageElement blank{kFlash, uint32_t(zero.size()), zero.data()};
  ASSERT_EQ(MXUPDFILES_SetImageElement(read, 0, &blank), MXUPDFILES_OK);
  ASSERT_EQ(Run(OPERATION_UPLOAD, read), MXUPDPRT_OK);
  std::vector<uint8_t> back(data.size());
  ImageElement e{0, uint32_t(back.size()), back.data()};
  ASSERT_EQ(MXUPDFILES_GetImageElement(read, 0, &e), MXUPDFILES_OK);
  EXPECT_EQ(back, data);

  // Whole-block writes, numbered from 2 after the address pointer.
  size_t blocks = 0;
  for (const auto& r : Model().ClassRequests())
    if (r.setup.bRequest == 1 && r.setup.wValue >= 2) {
      EXPECT_EQ(r.setup.wLength, 2048);
      ++blocks;
    }
  EXPECT_EQ(blocks, 64u);

  MXUPDFILES_IMAGE leave = nullptr;
  ASSERT_EQ(MXUPDFILES_CreateImageFromMapping(&leave, &map[0]), MXUPDFILES_OK);
  images.push_back(leave);
  ASSERT_EQ(MXUPDFILES_FilterImageForOperation(leave, &map[0], OPERATION_LEAVE, 0), MXUPDFILES_OK);
  EXPECT_EQ(Run(OPERATION_LEAVE, leave), MXUPDPRT_OK);
  EXPECT_TRUE(Model().LeftDfuMode());
  EXPECT_EQ(Model().EarlyStatusRequests(), 0u);
  EXPECT_GT(Model().AnnouncedBusyMs(), 64u * 20 + 64u * 54 - 1);
}

TEST_F(Operation, AStalledRequestIsUnsupportedAndADeviceErrorIsItsStatus) {
  DfuDeviceConfig config;
  config.busyScale = 0;
  config.faultPhase = DfuPhase::Write;
  Plug(config);
  Model().RefuseRequest(2);  // UPLOAD
  MXUPDFILES_IMAGE image = Image(kFlash, Random(4096, 1));
  EXPECT_EQ(Run(OPERATION_UPLOAD, image), MXUPDPRT_ERR_UNSUPPORTED);
  EXPECT_EQ(Run(OPERATION_DNLOAD, image), MXUPDPRT_ERR_DEVICE_STATUS | 0x03);  // errWRITE
}

TEST_F(Operation, AnImageOutsideTheDevicesMapFailsTheOperation) {
  DfuDeviceConfig config;
  config.busyScale = 0;
  Plug(config);
  MXUPDFILES_IMAGE image = Image(kFlash + 127 * 2048, Random(4096, 1));
  EXPECT_EQ(Run(OPERATION_DNLOAD, image), MXUPDPRT_ERR_IMAGE);
  EXPECT_EQ(Run(OPERATION_ERASE, image), MXUPDPRT_ERR_IMAGE);
  EXPECT_EQ(Model().ReadMemory(kFlash + 127 * 2048, 1), std::vector<uint8_t>{0xFF});
}

TEST_F(Operation, AnUnplugDuringTheWriteEndsItPromptly) {
  DfuDeviceConfig config;
  config.unplugAtBlock = 10;
  Plug(config);
  EXPECT_EQ(Run(OPERATION_DNLOAD, Image(kFlash, Random(64 * 1024, 3))), MXUPDPRT_ERR_UNPLUGGED);
  EXPECT_TRUE(device->WaitForDeparture(std::chrono::seconds(10)));
}

TEST_F(Operation, StopEndsTheOperationAtTheNextBlockAndLeavesTheDeviceIdle) {
  Plug();
  MXUPDPRT_OPERATION op = Launch(OPERATION_DNLOAD, Image(kFlash, Random(128 * 1024, 5)));
  OperationRecord record{};
  for (int i = 0; i < 1000 && record.percent < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(MXUPDPRT_GetOperationStatus(op, &record), MXUPDPRT_OK);
  }
  ASSERT_EQ(MXUPDPRT_StopOperation(op, &record), MXUPDPRT_OK);
  EXPECT_EQ(uint32_t(record.errorCode), MXUPDPRT_ERR_STOPPED);
  EXPECT_LT(uint32_t(record.percent), 100);
  EXPECT_EQ(Model().State(), 2) << "dfuIDLE";
  EXPECT_TRUE(Model().Connected());
  EXPECT_EQ(MXUPDPRT_GetOperationStatus(op, &record), MXUPDPRT_ERR_HANDLE);
  EXPECT_EQ(MXUPDPRT_StopOperation(op, &record), MXUPDPRT_ERR_HANDLE);
  EXPECT_EQ(Model().EarlyStatusRequests(), 0u);
}

TEST_F(Operation, DetachNeedsNoImageAndALaunchChecksItsRecord) {
  DfuDeviceConfig config;
  config.busyScale = 0;
  Plug(config);
  OperationRecord record{};
  std::snprintf(record.devicePath, sizeof record.devicePath, "%s", device->DevicePath().c_str());
  MXUPDPRT_OPERATION op = nullptr;
  record.operation = 5;
  EXPECT_EQ(MXUPDPRT_LaunchOperation(&record, &op), MXUPDPRT_ERR_OPERATION);
  record.operation = OPERATION_DNLOAD;
  EXPECT_EQ(MXUPDPRT_LaunchOperation(&record, &op), MXUPDPRT_ERR_IMAGE) << "no image";
  // An image with nothing to write (no element, or only empty ones) is refused before the
  // device is touched: erasing and writing nothing and comparing nothing is no flash.
  MXUPDFILES_IMAGE none = nullptr;
  ASSERT_EQ(MXUPDFILES_CreateImage(&none, 0, "Internal Flash  "), MXUPDFILES_OK);
  images.push_back(none);
  for (MXUPDFILES_IMAGE empty : {none, Image(kFlash, {}), Copy(Image(kFlash, {}), OPERATION_ERASE)})
    for (int32_t operation : {OPERATION_ERASE, OPERATION_DNLOAD, OPERATION_UPLOAD}) {
      record.operation = operation;
      record.image = empty;
      EXPECT_EQ(MXUPDPRT_LaunchOperation(&record, &op), MXUPDPRT_ERR_EMPTY) << operation;
    }
  EXPECT_TRUE(Model().ClassRequests().empty());
  record.devicePath[0] = '\0';
  EXPECT_EQ(MXUPDPRT_LaunchOperation(&record, &op), MXUPDPRT_ERR_ARGUMENT);
  EXPECT_EQ(op, nullptr);

  EXPECT_EQ(Run(OPERATION_DETACH, nullptr), MXUPDPRT_OK);
  EXPECT_TRUE(Model().LeftDfuMode());
  EXPECT_EQ(Model().ClassRequests().back().setup.bRequest, 0) << "DETACH";
}

std::set<std::string> Exports(const char* file) {
  std::istringstream lines(brisk::test::ToolOutput({"nm", "-D", "--defined-only", file}));
  std::set<std::string> names;
  std::string line;
  while (std::getline(lines, line)) {
    char address[64], type[8], name[256];
    if (std::sscanf(line.c_str(), "%63s %7s %255s", address, type, name) == 3) names.insert(name);
  }
  return names;
}

TEST(Exports, EachLibraryExportsOnlyItsPrefixedFunctions) {
  EXPECT_EQ(Exports(BRISK_MXUPDPRT_FILE),
            (std::set<std::string>{"MXUPDPRT_CreateMappingFromDevice", "MXUPDPRT_DestroyMapping",
                                   "MXUPDPRT_GetOperationStatus", "MXUPDPRT_GetOperationWhere",
                                   "MXUPDPRT_LaunchOperation", "MXUPDPRT_StatusText",
                                   "MXUPDPRT_StopOperation"}));
  const auto files = Exports(BRISK_MXUPDFILES_FILE);
  EXPECT_GE(files.size(), 12u);
  for (const auto& name : files) EXPECT_EQ(name.rfind("MXUPDFILES_", 0), 0u) << name;
  for (const char* needed :
       {"MXUPDFILES_OpenExistingDFUFile", "MXUPDFILES_ReadImageFromDFUFile",
        "MXUPDFILES_GetImageAlternate", "MXUPDFILES_CloseDFUFile", "MXUPDFILES_DestroyImage",
        "MXUPDFILES_DuplicateImage", "MXUPDFILES_FilterImageForOperation",
        "MXUPDFILES_CreateImageFromMapping", "MXUPDFILES_SetImageName", "MXUPDFILES_GetImageSize",
        "MXUPDFILES_GetImageNbElement", "MXUPDFILES_GetImageElement", "MXUPDFILES_WriteDFUFile"})
    EXPECT_EQ(files.count(needed), 1u) << needed;
}

}  // namespace
