// dfu-probe: lists the DFU devices libusb can see and prints their descriptors and memory map.
#include "dfureq/MXUPD.h"
#include "libs/qktube/QKTubeDevice.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void PrintDevice(const std::string& path) {
  std::printf("%s\n", path.c_str());
  MXUPD_HANDLE handle = nullptr;
  uint32_t rc = MXUPD_Open(path.c_str(), &handle);
  if (rc != MXUPD_OK) {
    std::printf("  cannot open: 0x%08X\n", rc);
    return;
  }
  UsbDeviceDescriptor dd{};
  if (MXUPD_GetDeviceDescriptor(&handle, &dd) == MXUPD_OK) {
    const unsigned vid = dd.idVendor, pid = dd.idProduct, bcd = dd.bcdDevice;
    std::printf("  device: VID %04X PID %04X bcdDevice %04X, %u configuration(s)\n", vid, pid, bcd,
                unsigned(dd.bNumConfigurations));
    char text[256];
    if (dd.iProduct &&
        MXUPD_GetStringDescriptor(&handle, dd.iProduct, text, sizeof text) == MXUPD_OK)
      std::printf("  product: %s\n", text);
    if (dd.iSerialNumber &&
        MXUPD_GetStringDescriptor(&handle, dd.iSerialNumber, text, sizeof text) == MXUPD_OK)
      std::printf("  serial: %s\n", text);
  }
  uint32_t number = 0, alternates = 0;
  DfuFunctionalDescriptor fd{};
  rc = MXUPD_GetDFUDescriptor(&handle, &number, &alternates, &fd);
  if (rc == MXUPD_OK) {
    const unsigned version = fd.bcdDFUVersion, size = fd.wTransferSize, detach = fd.wDetachTimeOut;
    std::printf(
        "  DFU interface %u, %u alternate setting(s), bcdDFUVersion %04X, wTransferSize %u, "
        "bmAttributes %02X, wDetachTimeOut %u ms\n",
        number, alternates, version, size, unsigned(fd.bmAttributes), detach);
  } else {
    std::printf("  no DFU functional descriptor: 0x%08X\n", rc);
  }
  uint32_t interfaces = 0;
  if (MXUPD_GetNbOfInterfaces(&handle, 0, &interfaces) == MXUPD_OK)
    for (uint32_t i = 0; i < interfaces; ++i) {
      uint32_t alts = 0;
      if (MXUPD_GetNbOfAlternates(&handle, 0, i, &alts) != MXUPD_OK) continue;
      for (uint32_t a = 0; a < alts; ++a) {
        UsbInterfaceDescriptor id{};
        if (MXUPD_GetInterfaceDescriptor(&handle, 0, i, a, &id) != MXUPD_OK) continue;
        char text[256] = "";
        if (id.iInterface) MXUPD_GetStringDescriptor(&handle, id.iInterface, text, sizeof text);
        std::printf("  interface %u alternate %u: \"%s\"\n", unsigned(id.bInterfaceNumber),
                    unsigned(id.bAlternateSetting), text);
      }
    }
  DfuStatusRecord st{};
  if (MXUPD_Getstatus(&handle, &st) == MXUPD_OK)
    std::printf("  state %u, status %u\n", unsigned(st.bState), unsigned(st.bStatus));
  if (handle) MXUPD_Close(&handle);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: %s [device-path...]\nWithout paths, every DFU device found is shown.\n",
                  argv[0]);
      return 0;
    }
    paths.emplace_back(argv[i]);
  }
  if (paths.empty()) {
    char path[256];
    for (uint32_t i = 0; QKDevice_GetDfuDevicePath(i, path, sizeof path) == QK_OK; ++i)
      paths.emplace_back(path);
  }
  if (paths.empty()) {
    std::printf("no DFU device found\n");
    return 1;
  }
  for (const auto& p : paths) PrintDevice(p);
  return 0;
}
