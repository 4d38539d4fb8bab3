#include "libs/qktube/QKTubeDevice.h"

#include "libs/qktube/Descriptors.h"
#include "libs/qktube/DevicePath.h"
#include "libs/qktube/Errors.h"
#include "libs/qktube/StringDescriptor.h"

#include <libusb.h>

#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct QKDevice {
  libusb_device_handle* usb = nullptr;
  libusb_device* device = nullptr;
  int claimedInterface = -1;
};

using namespace brisk::qktube;

namespace {

constexpr unsigned kTransferTimeoutMs = 5000;

// One context for the whole process, made on first use; a failed init is remembered.
libusb_context* Context() {
  static libusb_context* ctx = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    if (libusb_init(&ctx) != 0) ctx = nullptr;
  });
  return ctx;
}

// Live handles, so that a closed or foreign handle is refused instead of followed. Calls
// hold the lock shared for as long as they use the handle; Close takes it exclusively, so a
// handle is never freed under a caller on another thread.
std::shared_mutex& HandlesLock() {
  static std::shared_mutex m;
  return m;
}
std::unordered_set<QKDevice*>& Handles() {
  static std::unordered_set<QKDevice*> set;
  return set;
}

// A live handle, usable while this object lives; device is null for a closed or foreign one.
struct HandleUse {
  std::shared_lock<std::shared_mutex> lock;
  QKDevice* device = nullptr;
};

HandleUse Use(QKDeviceHandle handle) {
  HandleUse use{std::shared_lock<std::shared_mutex>(HandlesLock())};
  if (handle != nullptr && Handles().count(handle)) use.device = handle;
  return use;
}

// The path of a device as Open takes it; empty when libusb knows no port for it.
std::string PathOf(libusb_device* dev, const libusb_device_descriptor& dd, const char* cls) {
  uint8_t ports[kMaxPortDepth];
  const int n = libusb_get_port_numbers(dev, ports, kMaxPortDepth);
  if (n <= 0) return {};
  const DevicePath path{dd.idVendor, dd.idProduct, libusb_get_bus_number(dev), {ports, ports + n}};
  return FormatDevicePath(path, cls);
}

struct ConfigRef {
  libusb_config_descriptor* cfg = nullptr;
  ~ConfigRef() {
    if (cfg) libusb_free_config_descriptor(cfg);
  }
};

uint32_t LoadConfig(QKDevice* d, uint32_t configuration, ConfigRef& ref) {
  libusb_device_descriptor dd{};
  if (int rc = libusb_get_device_descriptor(d->device, &dd); rc != 0) return FromLibusb(rc);
  if (configuration >= dd.bNumConfigurations) return Fail(QK_ERR_INDEX);
  int rc = libusb_get_config_descriptor(d->device, uint8_t(configuration), &ref.cfg);
  if (rc == LIBUSB_ERROR_IO || rc == LIBUSB_ERROR_NOT_FOUND) return Fail(QK_ERR_BAD_DESCRIPTOR);
  if (rc != 0) return FromLibusb(rc);
  return QK_OK;
}

uint32_t FindAlternate(QKDevice* d, uint32_t configuration, uint32_t interfaceIndex,
                       uint32_t alternate, ConfigRef& ref,
                       const libusb_interface_descriptor*& alt) {
  if (uint32_t rc = LoadConfig(d, configuration, ref); rc != QK_OK) return rc;
  if (interfaceIndex >= ref.cfg->bNumInterfaces) return Fail(QK_ERR_INDEX);
  const libusb_interface& itf = ref.cfg->interface[interfaceIndex];
  if (alternate >= uint32_t(itf.num_altsetting)) return Fail(QK_ERR_INDEX);
  alt = &itf.altsetting[alternate];
  return QK_OK;
}

// The checks every call on a handle starts with: a live handle (held for the whole call),
// then the caller's arguments. body gets the device.
template <typename Body>
uint32_t WithDevice(QKDeviceHandle handle, bool argumentsOk, Body&& body) {
  const HandleUse use = Use(handle);
  if (use.device == nullptr) return Fail(QK_ERR_HANDLE);
  if (!argumentsOk) return Fail(QK_ERR_ARGUMENT);
  return body(*use.device);
}

// The same with one of the device's configurations loaded; body gets both.
template <typename Body>
uint32_t WithConfig(QKDeviceHandle handle, bool argumentsOk, uint32_t configuration, Body&& body) {
  return WithDevice(handle, argumentsOk, [&](QKDevice& d) {
    ConfigRef ref;
    if (uint32_t rc = LoadConfig(&d, configuration, ref); rc != QK_OK) return rc;
    return body(d, *ref.cfg);
  });
}

// The same with one alternate setting of one interface found; body gets the device, the
// configuration and the alternate.
template <typename Body>
uint32_t WithAlternate(QKDeviceHandle handle, bool argumentsOk, uint32_t configuration,
                       uint32_t interfaceIndex, uint32_t alternate, Body&& body) {
  return WithDevice(handle, argumentsOk, [&](QKDevice& d) {
    ConfigRef ref;
    const libusb_interface_descriptor* alt = nullptr;
    if (uint32_t rc = FindAlternate(&d, configuration, interfaceIndex, alternate, ref, alt);
        rc != QK_OK)
      return rc;
    return body(d, *ref.cfg, *alt);
  });
}

// A string descriptor in the device's first language, as UTF-8 cut to the buffer.
uint32_t ReadString(QKDevice& d, uint32_t index, char* buffer, uint32_t size) {
  unsigned char langs[255];
  int rc = libusb_get_string_descriptor(d.usb, 0, 0, langs, sizeof langs);
  if (rc < 0) return FromLibusb(rc);
  if (rc < 4 || langs[1] != LIBUSB_DT_STRING || langs[0] > rc || langs[0] < 4)
    return Fail(QK_ERR_BAD_DESCRIPTOR);
  const uint16_t langId = uint16_t(langs[2] | (langs[3] << 8));

  unsigned char raw[255];
  rc = libusb_get_string_descriptor(d.usb, uint8_t(index), langId, raw, sizeof raw);
  if (rc < 0) return FromLibusb(rc);
  const uint32_t decoded = DecodeStringDescriptor(raw, rc, buffer, size);
  return decoded == QK_OK ? QK_OK : Fail(decoded);
}

// Makes the configuration current and the alternate selected, claiming its interface.
uint32_t SelectAlternate(QKDevice& d, const libusb_config_descriptor& cfg,
                         const libusb_interface_descriptor& alt) {
  int current = 0;
  if (int rc = libusb_get_configuration(d.usb, &current); rc != 0) return FromLibusb(rc);
  if (current != cfg.bConfigurationValue) {
    if (d.claimedInterface >= 0) {
      libusb_release_interface(d.usb, d.claimedInterface);
      d.claimedInterface = -1;
    }
    if (int rc = libusb_set_configuration(d.usb, cfg.bConfigurationValue); rc != 0)
      return FromLibusb(rc);
  }
  if (d.claimedInterface != alt.bInterfaceNumber) {
    if (d.claimedInterface >= 0) {
      libusb_release_interface(d.usb, d.claimedInterface);
      d.claimedInterface = -1;
    }
    if (int rc = libusb_claim_interface(d.usb, alt.bInterfaceNumber); rc != 0)
      return FromLibusb(rc);
    d.claimedInterface = alt.bInterfaceNumber;
  }
  if (int rc = libusb_set_interface_alt_setting(d.usb, alt.bInterfaceNumber, alt.bAlternateSetting);
      rc != 0)
    return FromLibusb(rc);
  return uint32_t(QK_OK);
}
}  // namespace

extern "C" {

uint32_t QKDevice_Open(const char* path, QKDeviceHandle* handle, void* reserved) {
  if (path == nullptr || handle == nullptr || reserved != nullptr) return Fail(QK_ERR_ARGUMENT);
  DevicePath want;
  if (!ParseDevicePath(path, want)) return Fail(QK_ERR_ARGUMENT);
  libusb_context* ctx = Context();
  if (ctx == nullptr) return Fail(QK_ERR_INIT);

  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0) return FromLibusb(int(n));
  libusb_device* match = nullptr;
  for (ssize_t i = 0; i < n && match == nullptr; ++i) {
    libusb_device* dev = list[i];
    if (libusb_get_bus_number(dev) != want.bus) continue;
    uint8_t ports[kMaxPortDepth];
    int depth = libusb_get_port_numbers(dev, ports, kMaxPortDepth);
    if (depth != int(want.ports.size()) ||
        std::memcmp(ports, want.ports.data(), want.ports.size()) != 0)
      continue;
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(dev, &dd) != 0 || dd.idVendor != want.vid ||
        dd.idProduct != want.pid)
      continue;
    match = libusb_ref_device(dev);
  }
  libusb_free_device_list(list, 1);
  if (match == nullptr) return Fail(QK_ERR_NOT_FOUND);

  libusb_device_handle* usb = nullptr;
  int rc = libusb_open(match, &usb);
  if (rc != 0) {
    libusb_unref_device(match);
    return FromLibusb(rc);
  }
  auto* d = new QKDevice{usb, match, -1};
  {
    std::unique_lock lock(HandlesLock());
    Handles().insert(d);
  }
  *handle = d;
  return QK_OK;
}

uint32_t QKDevice_Close(QKDeviceHandle handle) {
  QKDevice* d = nullptr;
  {
    // Waits for every call still using a handle.
    std::unique_lock lock(HandlesLock());
    if (handle == nullptr || Handles().erase(handle) == 0) return Fail(QK_ERR_HANDLE);
    d = handle;
  }
  if (d->claimedInterface >= 0) libusb_release_interface(d->usb, d->claimedInterface);
  libusb_close(d->usb);
  libusb_unref_device(d->device);
  delete d;
  return QK_OK;
}

uint32_t QKDevice_ControlPipeRequest(QKDeviceHandle handle, const ClassRequest* request,
                                     void* data) {
  const bool ok = request != nullptr && request->requestKind == QK_REQUEST_CLASS_INTERFACE &&
                  request->dataToHost <= 1 && request->dataLength <= 0xFFFF &&
                  (request->dataLength == 0 || data != nullptr);
  return WithDevice(handle, ok, [&](QKDevice& d) {
    const uint8_t type = request->dataToHost ? 0xA1 : 0x21;
    const uint16_t length = uint16_t(request->dataLength);
    const int rc =
        libusb_control_transfer(d.usb, type, request->bRequest, request->wValue, request->wIndex,
                                static_cast<unsigned char*>(data), length, kTransferTimeoutMs);
    if (rc < 0) return FromLibusb(rc);
    if (rc != int(length)) return Fail(QK_ERR_SHORT);
    return uint32_t(QK_OK);
  });
}

uint32_t QKDevice_GetDeviceDescriptor(QKDeviceHandle handle, void* descriptor) {
  return WithDevice(handle, descriptor != nullptr, [&](QKDevice& d) {
    libusb_device_descriptor dd{};
    if (int rc = libusb_get_device_descriptor(d.device, &dd); rc != 0) return FromLibusb(rc);
    unsigned char out[18];
    EncodeDeviceDescriptor(dd, out);
    std::memcpy(descriptor, out, sizeof out);
    return uint32_t(QK_OK);
  });
}

uint32_t QKDevice_GetNbOfConfigurations(QKDeviceHandle handle, uint32_t* count) {
  return WithDevice(handle, count != nullptr, [&](QKDevice& d) {
    libusb_device_descriptor dd{};
    if (int rc = libusb_get_device_descriptor(d.device, &dd); rc != 0) return FromLibusb(rc);
    *count = dd.bNumConfigurations;
    return uint32_t(QK_OK);
  });
}

uint32_t QKDevice_GetConfigurationDescriptor(QKDeviceHandle handle, uint32_t configuration,
                                             void* descriptor) {
  return WithConfig(handle, descriptor != nullptr, configuration,
                    [&](QKDevice&, const libusb_config_descriptor& cfg) {
                      unsigned char out[9];
                      EncodeConfigDescriptor(cfg, out);
                      std::memcpy(descriptor, out, sizeof out);
                      return uint32_t(QK_OK);
                    });
}

uint32_t QKDevice_GetNbOfInterfaces(QKDeviceHandle handle, uint32_t configuration,
                                    uint32_t* count) {
  return WithConfig(handle, count != nullptr, configuration,
                    [&](QKDevice&, const libusb_config_descriptor& cfg) {
                      *count = cfg.bNumInterfaces;
                      return uint32_t(QK_OK);
                    });
}

uint32_t QKDevice_GetNbOfAlternates(QKDeviceHandle handle, uint32_t configuration,
                                    uint32_t interfaceIndex, uint32_t* count) {
  return WithConfig(handle, count != nullptr, configuration,
                    [&](QKDevice&, const libusb_config_descriptor& cfg) {
                      if (interfaceIndex >= cfg.bNumInterfaces) return Fail(QK_ERR_INDEX);
                      *count = uint32_t(cfg.interface[interfaceIndex].num_altsetting);
                      return uint32_t(QK_OK);
                    });
}

uint32_t QKDevice_GetInterfaceDescriptor(QKDeviceHandle handle, uint32_t configuration,
                                         uint32_t interfaceIndex, uint32_t alternate,
                                         void* descriptor) {
  return WithAlternate(
      handle, descriptor != nullptr, configuration, interfaceIndex, alternate,
      [&](QKDevice&, const libusb_config_descriptor&, const libusb_interface_descriptor& alt) {
        unsigned char out[9] = {9,
                                LIBUSB_DT_INTERFACE,
                                alt.bInterfaceNumber,
                                alt.bAlternateSetting,
                                alt.bNumEndpoints,
                                alt.bInterfaceClass,
                                alt.bInterfaceSubClass,
                                alt.bInterfaceProtocol,
                                alt.iInterface};
        std::memcpy(descriptor, out, sizeof out);
        return uint32_t(QK_OK);
      });
}

uint32_t QKDevice_GetStringDescriptor(QKDeviceHandle handle, uint32_t index, char* buffer,
                                      uint32_t size) {
  const bool ok = buffer != nullptr && size != 0 && index != 0 && index <= 255;
  return WithDevice(handle, ok, [&](QKDevice& d) { return ReadString(d, index, buffer, size); });
}

uint32_t QKDevice_SelectCurrentConfiguration(QKDeviceHandle handle, uint32_t configuration,
                                             uint32_t interfaceIndex, uint32_t alternate) {
  return WithAlternate(
      handle, true, configuration, interfaceIndex, alternate,
      [&](QKDevice& d, const libusb_config_descriptor& cfg,
          const libusb_interface_descriptor& alt) { return SelectAlternate(d, cfg, alt); });
}

uint32_t QKDevice_GetDescriptor(QKDeviceHandle handle, uint32_t level, uint32_t type,
                                uint32_t configuration, uint32_t interfaceIndex, uint32_t alternate,
                                uint32_t occurrence, uint32_t reserved, void* buffer,
                                uint32_t size) {
  const bool ok = buffer != nullptr && size != 0 && type <= 0xFF && reserved == 0 &&
                  (level == QK_LEVEL_CONFIGURATION || level == QK_LEVEL_INTERFACE);
  if (level == QK_LEVEL_CONFIGURATION)
    return WithConfig(
        handle, ok, configuration, [&](QKDevice&, const libusb_config_descriptor& cfg) {
          return FindInExtra(cfg.extra, cfg.extra_length, type, occurrence, buffer, size);
        });
  return WithAlternate(
      handle, ok, configuration, interfaceIndex, alternate,
      [&](QKDevice&, const libusb_config_descriptor&, const libusb_interface_descriptor& alt) {
        return FindInExtra(alt.extra, alt.extra_length, type, occurrence, buffer, size);
      });
}

uint32_t QKDevice_GetDfuDevicePath(uint32_t index, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return Fail(QK_ERR_ARGUMENT);
  libusb_context* ctx = Context();
  if (ctx == nullptr) return Fail(QK_ERR_INIT);
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0) return FromLibusb(int(n));
  std::string found;
  uint32_t seen = 0;
  for (ssize_t i = 0; i < n && found.empty(); ++i) {
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(list[i], &dd) != 0 || !HasDfuInterface(list[i], dd)) continue;
    std::string path = PathOf(list[i], dd, QK_DFU_CLASS_PRIMARY);
    if (path.empty()) continue;
    if (seen++ == index) found = path;
  }
  libusb_free_device_list(list, 1);
  if (found.empty()) return Fail(QK_ERR_NOT_FOUND);
  if (found.size() + 1 > size) return Fail(QK_ERR_BUFFER);
  std::memcpy(buffer, found.c_str(), found.size() + 1);
  return QK_OK;
}

}  // extern "C"
