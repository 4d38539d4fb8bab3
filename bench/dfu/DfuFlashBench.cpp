// Flashes a 256 KiB image (erase, write, read back, compare) on the emulated DFU device through
// MXUPDPRT and the real libusb path, once at the device's real busy times and once with none.
// Prints the total, the device's own busy time (the poll time-outs it announced), their ratio
// and the rate. Runs itself under the umockdev preload.
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdprt/MXUPDPRT.h"
#include "sim/dfu/DfuUsbTestbed.h"
#include "sim/dfu/UmockdevPreload.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace brisk::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kFlash = 0x08000000;
constexpr uint32_t kSize = 256 * 1024;

// Polls every 2 ms (not the dialog's 300 ms) so that the figure is the library's own time.
bool RunOperation(OperationRecord& record, int32_t operation, MXUPDFILES_IMAGE image) {
  record.operation = operation;
  record.image = image;
  MXUPDPRT_OPERATION op = nullptr;
  if (MXUPDPRT_LaunchOperation(&record, &op) != MXUPDPRT_OK) return false;
  OperationRecord status{};
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    MXUPDPRT_GetOperationStatus(op, &status);
  } while (status.errorCode == MXUPDPRT_OK && status.percent < 100);
  MXUPDPRT_StopOperation(op, &status);
  if (status.errorCode != MXUPDPRT_OK)
    std::fprintf(stderr, "operation %d failed: 0x%08X\n", operation, status.errorCode);
  return status.errorCode == MXUPDPRT_OK;
}

MXUPDFILES_IMAGE Filtered(MXUPDFILES_IMAGE source, const TargetMap& target, int32_t operation) {
  MXUPDFILES_IMAGE copy = nullptr;
  MXUPDFILES_DuplicateImage(source, &copy);
  MXUPDFILES_FilterImageForOperation(copy, &target, operation, 0);
  return copy;
}

bool Flash(double busyScale) {
  sim::DfuDeviceConfig config;
  config.busyScale = busyScale;
  config.memories = {sim::DfuDeviceConfig::InternalFlash(), sim::DfuDeviceConfig::OptionBytes()};
  config.memories[0].runs = {{kSize / 2048, 2048}};
  sim::DfuUsbDevice device(config);

  TargetMap* map = nullptr;
  uint32_t targets = 0;
  uint32_t rc = MXUPDPRT_ERR_OPEN;
  for (int i = 0; i < 500 && rc == MXUPDPRT_ERR_OPEN; ++i) {
    rc = MXUPDPRT_CreateMappingFromDevice(device.DevicePath().c_str(), &map, &targets);
    if (rc == MXUPDPRT_ERR_OPEN) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (rc != MXUPDPRT_OK) {
    std::fprintf(stderr, "no memory map: 0x%08X\n", rc);
    return false;
  }

  std::vector<uint8_t> data(kSize);
  std::mt19937 gen(42);
  for (auto& b : data) b = uint8_t(gen());
  MXUPDFILES_IMAGE package = nullptr;
  MXUPDFILES_CreateImage(&package, 0, "Internal Flash  ");
  ImageElement element{kFlash, kSize, data.data()};
  MXUPDFILES_AppendImageElement(package, &element);
  MXUPDFILES_IMAGE erase = Filtered(package, map[0], OPERATION_ERASE);
  MXUPDFILES_IMAGE write = Filtered(package, map[0], OPERATION_DNLOAD);
  MXUPDFILES_IMAGE read = Filtered(package, map[0], OPERATION_UPLOAD);

  OperationRecord record{};
  std::snprintf(record.devicePath, sizeof record.devicePath, "%s", device.DevicePath().c_str());
  const auto start = Clock::now();
  bool ok = RunOperation(record, OPERATION_ERASE, erase) &&
            RunOperation(record, OPERATION_DNLOAD, write) &&
            RunOperation(record, OPERATION_UPLOAD, read);
  std::vector<uint8_t> back(kSize);
  ImageElement readBack{0, kSize, back.data()};
  ok = ok && MXUPDFILES_GetImageElement(read, 0, &readBack) == MXUPDFILES_OK && back == data;
  const double total = std::chrono::duration<double>(Clock::now() - start).count();

  const double busy = double(device.Model().AnnouncedBusyMs()) / 1000.0;
  std::printf("busy scale %.1f: %s, total %.3f s, device busy %.3f s", busyScale,
              ok ? "flashed and verified" : "FAILED", total, busy);
  if (busy > 0) std::printf(", ratio %.3f (target <= 1.15)", total / busy);
  std::printf(", %.1f KiB/s, early status requests %u\n", kSize / 1024.0 / total,
              device.Model().EarlyStatusRequests());

  for (auto* image : {package, erase, write, read}) MXUPDFILES_DestroyImage(&image);
  MXUPDPRT_DestroyMapping(&map);
  return ok;
}

}  // namespace
}  // namespace brisk::bench

int main(int argc, char** argv) {
  (void)argc;
  if (!brisk::sim::EnsureUmockdevPreload(argv, "bench_dfu")) return 1;
  std::printf("256 KiB image: erase, write, read back, compare through MXUPDPRT\n");
  const bool real = brisk::bench::Flash(1.0);
  const bool floor = brisk::bench::Flash(0.0);
  return real && floor ? 0 : 1;
}
