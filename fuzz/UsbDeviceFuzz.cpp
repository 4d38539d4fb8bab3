// The driver-interface library's descriptor walking and the request library's answer handling,
// over a scripted libusb whose device sends whatever the input says.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "libs/mxupd/MXUPD.h"
#include "libs/qktube/QKTubeDevice.h"
#include "sim/libusb/ScriptedUsb.h"

namespace brisk::fuzz {
namespace {

std::vector<uint8_t> Block(FuzzedDataProvider& in, size_t max) {
  return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, max));
}

void WalkDescriptors(MXUPD_HANDLE* handle) {
  UsbDeviceDescriptor dd{};
  MXUPD_GetDeviceDescriptor(handle, &dd);
  uint32_t configurations = 0;
  if (MXUPD_GetNbOfConfigurations(handle, &configurations) != MXUPD_OK) return;
  char text[64];
  for (uint32_t c = 0; c < configurations && c < 3; ++c) {
    UsbConfigurationDescriptor cd{};
    MXUPD_GetConfigurationDescriptor(handle, c, &cd);
    uint32_t interfaces = 0;
    if (MXUPD_GetNbOfInterfaces(handle, c, &interfaces) != MXUPD_OK) continue;
    for (uint32_t i = 0; i <= interfaces && i < 8; ++i) {  // one past the end on purpose
      uint32_t alternates = 0;
      if (MXUPD_GetNbOfAlternates(handle, c, i, &alternates) != MXUPD_OK) continue;
      for (uint32_t a = 0; a <= alternates && a < 8; ++a) {
        UsbInterfaceDescriptor id{};
        if (MXUPD_GetInterfaceDescriptor(handle, c, i, a, &id) == MXUPD_OK && id.iInterface)
          MXUPD_GetStringDescriptor(handle, id.iInterface, text, sizeof text);
        uint8_t functional[16];
        QKDevice_GetDescriptor(static_cast<QKDeviceHandle>(*handle), QK_LEVEL_INTERFACE, 0x21, c, i,
                               a, a, 0, functional, sizeof functional);
      }
    }
    uint8_t any[32];
    QKDevice_GetDescriptor(static_cast<QKDeviceHandle>(*handle), QK_LEVEL_CONFIGURATION, 0x21, c, 0,
                           0, 0, 0, any, sizeof any);
  }
  for (uint32_t s = 1; s < 4; ++s) MXUPD_GetStringDescriptor(handle, s, text, sizeof text);
  char tiny[3];
  MXUPD_GetStringDescriptor(handle, 1, tiny, sizeof tiny);
  uint32_t number = 0, alternates = 0;
  DfuFunctionalDescriptor fd{};
  MXUPD_GetDFUDescriptor(handle, &number, &alternates, &fd);
}

}  // namespace

int RunOne(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sim::ScriptedUsbDevice device;
  device.deviceDescriptor = in.ConsumeBytes<uint8_t>(18);
  const int configurations = in.ConsumeIntegralInRange<int>(0, 2);
  for (int c = 0; c < configurations; ++c) device.configurations.push_back(Block(in, 300));
  const int strings = in.ConsumeIntegralInRange<int>(0, 4);
  for (int s = 0; s < strings; ++s) device.strings[static_cast<uint8_t>(s)] = Block(in, 255);
  device.setupResult = in.ConsumeBool() ? 0 : -in.ConsumeIntegralInRange<int>(1, 12);
  device.currentConfiguration = in.ConsumeIntegralInRange<int>(0, 2);
  const int answers = in.ConsumeIntegralInRange<int>(0, 12);
  for (int a = 0; a < answers; ++a) {
    sim::UsbAnswer answer;
    answer.rc = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 4096)
                                 : -in.ConsumeIntegralInRange<int>(1, 12);
    answer.data = Block(in, 64);
    device.classAnswers.push_back(std::move(answer));
  }
  sim::SetScriptedUsbDevice(&device);

  char path[128];
  std::vector<uint8_t> dd = device.deviceDescriptor;
  dd.resize(18);
  std::snprintf(path, sizeof path, "USB#VID_%02X%02X&PID_%02X%02X#1-1#%s", dd[9], dd[8], dd[11],
                dd[10], QK_DFU_CLASS_PRIMARY);
  char found[128];
  QKDevice_GetDfuDevicePath(0, found, sizeof found);

  MXUPD_HANDLE handle = nullptr;
  if (MXUPD_Open(path, &handle) == MXUPD_OK) {
    WalkDescriptors(&handle);
    MXUPD_SelectCurrentConfiguration(&handle, 0, 0, in.ConsumeIntegralInRange<uint32_t>(0, 2));
    uint8_t buffer[4096];
    while (handle != nullptr && in.remaining_bytes() > 0) {
      DfuStatusRecord status{};
      uint8_t state = 0;
      const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 4096);
      switch (in.ConsumeIntegralInRange<int>(0, 6)) {
        case 0:
          MXUPD_Getstatus(&handle, &status);  // may close the handle (manifestation)
          break;
        case 1:
          MXUPD_Getstate(&handle, &state);
          break;
        case 2:
          MXUPD_Upload(&handle, buffer, length, 2);
          break;
        case 3:
          MXUPD_Dnload(&handle, buffer, length, 2);
          break;
        case 4:
          MXUPD_Clrstatus(&handle);
          break;
        case 5:
          MXUPD_Abort(&handle);
          break;
        case 6:
          MXUPD_Detach(&handle, 0);  // closes the handle when accepted
          break;
      }
    }
    if (handle) MXUPD_Close(&handle);
    MXUPD_Close(&handle);  // a closed handle is refused, not followed
  }
  sim::SetScriptedUsbDevice(nullptr);
  if (sim::ScriptedUsbConfigsInUse() != 0) std::abort();  // every descriptor given back
  return 0;
}

}  // namespace brisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return brisk::fuzz::RunOne(data, size);
}
