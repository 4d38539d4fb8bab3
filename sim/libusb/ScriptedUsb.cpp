#include "sim/libusb/ScriptedUsb.h"

#include <libusb.h>

#include <algorithm>
#include <memory>
#include <mutex>

struct libusb_context {
  int unused = 0;
};
struct libusb_device {
  int unused = 0;
};
struct libusb_device_handle {
  int unused = 0;
};

namespace brisk::sim {
namespace {

std::mutex g_lock;
ScriptedUsbDevice* g_device = nullptr;
std::vector<std::string> g_events;
libusb_context g_context;
libusb_device g_usbDevice;

void Event(const char* what) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_events.emplace_back(what);
}

ScriptedUsbDevice* Device() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_device;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// One parsed configuration and the storage its pointers lead into.
struct ConfigHolder {
  struct Alt {
    libusb_interface_descriptor d{};
    std::vector<uint8_t> extra;
    std::vector<libusb_endpoint_descriptor> endpoints;
    std::vector<std::vector<uint8_t>> endpointExtras;
  };
  struct Group {
    uint8_t number = 0;
    std::vector<Alt> alts;
  };
  libusb_config_descriptor config{};
  std::vector<uint8_t> extra;
  std::vector<Group> groups;
  std::vector<libusb_interface> interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> altArrays;
};

std::map<const libusb_config_descriptor*, std::unique_ptr<ConfigHolder>> g_configs;

// Splits the bytes as libusb does: the configuration's own extra bytes, then each interface
// descriptor with the class descriptors behind it, grouped by interface number, and endpoints.
int ParseConfig(const std::vector<uint8_t>& raw, libusb_config_descriptor** out) {
  if (raw.size() < 9 || raw[0] < 9 || raw[1] != LIBUSB_DT_CONFIG) return LIBUSB_ERROR_IO;
  const size_t total = std::min<size_t>(raw.size(), Le16(raw.data() + 2));
  if (total < raw[0]) return LIBUSB_ERROR_IO;
  auto holder = std::make_unique<ConfigHolder>();
  libusb_config_descriptor& c = holder->config;
  c.bLength = raw[0];
  c.bDescriptorType = raw[1];
  c.wTotalLength = Le16(raw.data() + 2);
  c.bConfigurationValue = raw[5];
  c.iConfiguration = raw[6];
  c.bmAttributes = raw[7];
  c.MaxPower = raw[8];

  ConfigHolder::Alt* alt = nullptr;
  std::vector<uint8_t>* extra = &holder->extra;
  for (size_t pos = raw[0]; pos + 2 <= total;) {
    const uint8_t len = raw[pos], type = raw[pos + 1];
    if (len < 2 || pos + len > total) break;  // a short descriptor ends the walk
    const uint8_t* d = raw.data() + pos;
    if (type == LIBUSB_DT_INTERFACE && len >= 9) {
      auto group = std::find_if(holder->groups.begin(), holder->groups.end(),
                                [&](const auto& g) { return g.number == d[2]; });
      if (group == holder->groups.end()) {
        if (holder->groups.size() == 255) break;
        holder->groups.push_back({d[2], {}});
        group = holder->groups.end() - 1;
      }
      group->alts.emplace_back();
      alt = &group->alts.back();
      alt->d = {d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], nullptr, nullptr, 0};
      extra = &alt->extra;
    } else if (type == LIBUSB_DT_ENDPOINT && len >= 7 && alt && alt->endpoints.size() < 255) {
      libusb_endpoint_descriptor e{};
      e.bLength = d[0];
      e.bDescriptorType = d[1];
      e.bEndpointAddress = d[2];
      e.bmAttributes = d[3];
      e.wMaxPacketSize = Le16(d + 4);
      e.bInterval = d[6];
      alt->endpoints.push_back(e);
      alt->endpointExtras.emplace_back();
      extra = &alt->endpointExtras.back();
    } else {
      extra->insert(extra->end(), d, d + len);
    }
    pos += len;
  }

  // Every vector is complete: the pointers into them stay valid.
  for (auto& group : holder->groups) {
    std::vector<libusb_interface_descriptor> alts;
    for (auto& a : group.alts) {
      for (size_t i = 0; i < a.endpoints.size(); ++i) {
        a.endpoints[i].extra = a.endpointExtras[i].data();
        a.endpoints[i].extra_length = static_cast<int>(a.endpointExtras[i].size());
      }
      a.d.bNumEndpoints = static_cast<uint8_t>(a.endpoints.size());
      a.d.endpoint = a.endpoints.empty() ? nullptr : a.endpoints.data();
      a.d.extra = a.extra.empty() ? nullptr : a.extra.data();
      a.d.extra_length = static_cast<int>(a.extra.size());
      alts.push_back(a.d);
    }
    holder->altArrays.push_back(std::move(alts));
  }
  for (auto& alts : holder->altArrays)
    holder->interfaces.push_back({alts.data(), static_cast<int>(alts.size())});
  c.bNumInterfaces = static_cast<uint8_t>(holder->interfaces.size());
  c.interface = holder->interfaces.empty() ? nullptr : holder->interfaces.data();
  c.extra = holder->extra.empty() ? nullptr : holder->extra.data();
  c.extra_length = static_cast<int>(holder->extra.size());

  std::lock_guard<std::mutex> guard(g_lock);
  *out = &holder->config;
  g_configs[&holder->config] = std::move(holder);
  return 0;
}

}  // namespace

void SetScriptedUsbDevice(ScriptedUsbDevice* device) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_device = device;
  g_events.clear();
}

std::vector<std::string> ScriptedUsbEvents() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_events;
}

int ScriptedUsbConfigsInUse() {
  std::lock_guard<std::mutex> guard(g_lock);
  return static_cast<int>(g_configs.size());
}

}  // namespace brisk::sim

using brisk::sim::Device;

extern "C" {

int libusb_init(libusb_context** ctx) {
  if (ctx) *ctx = &brisk::sim::g_context;
  return 0;
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
  const bool present = Device() != nullptr;
  auto** devices = new libusb_device* [2] {};
  if (present) devices[0] = &brisk::sim::g_usbDevice;
  *list = devices;
  return present ? 1 : 0;
}

void libusb_free_device_list(libusb_device** list, int) { delete[] list; }
libusb_device* libusb_ref_device(libusb_device* dev) { return dev; }
void libusb_unref_device(libusb_device*) {}
uint8_t libusb_get_bus_number(libusb_device*) { return 1; }

int libusb_get_port_numbers(libusb_device*, uint8_t* ports, int length) {
  if (length < 1) return LIBUSB_ERROR_OVERFLOW;
  ports[0] = 1;
  return 1;
}

int libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* desc) {
  const brisk::sim::ScriptedUsbDevice* device = Device();
  if (!device) return LIBUSB_ERROR_NO_DEVICE;
  uint8_t b[18] = {};
  std::copy_n(device->deviceDescriptor.begin(),
              std::min<size_t>(18, device->deviceDescriptor.size()), b);
  *desc = {b[0],
           b[1],
           brisk::sim::Le16(b + 2),
           b[4],
           b[5],
           b[6],
           b[7],
           brisk::sim::Le16(b + 8),
           brisk::sim::Le16(b + 10),
           brisk::sim::Le16(b + 12),
           b[14],
           b[15],
           b[16],
           b[17]};
  return 0;
}

int libusb_get_config_descriptor(libusb_device*, uint8_t index, libusb_config_descriptor** config) {
  const brisk::sim::ScriptedUsbDevice* device = Device();
  if (!device) return LIBUSB_ERROR_NO_DEVICE;
  if (index >= device->configurations.size()) return LIBUSB_ERROR_NOT_FOUND;
  return brisk::sim::ParseConfig(device->configurations[index], config);
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) {
  if (!config) return;
  std::lock_guard<std::mutex> guard(brisk::sim::g_lock);
  brisk::sim::g_configs.erase(config);
}

int libusb_open(libusb_device*, libusb_device_handle** handle) {
  const brisk::sim::ScriptedUsbDevice* device = Device();
  if (!device) return LIBUSB_ERROR_NO_DEVICE;
  if (device->openResult != 0) return device->openResult;
  *handle = new libusb_device_handle;
  brisk::sim::Event("open");
  return 0;
}

void libusb_close(libusb_device_handle* handle) {
  brisk::sim::Event("close");
  delete handle;
}

int libusb_get_configuration(libusb_device_handle*, int* config) {
  const brisk::sim::ScriptedUsbDevice* device = Device();
  if (!device) return LIBUSB_ERROR_NO_DEVICE;
  *config = device->currentConfiguration;
  return 0;
}

int libusb_set_configuration(libusb_device_handle*, int config) {
  brisk::sim::ScriptedUsbDevice* device = Device();
  if (!device) return LIBUSB_ERROR_NO_DEVICE;
  if (device->setupResult == 0) device->currentConfiguration = config;
  return device->setupResult;
}

int libusb_claim_interface(libusb_device_handle*, int) {
  const brisk::sim::ScriptedUsbDevice* device = Device();
  return device ? device->setupResult : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_release_interface(libusb_device_handle*, int) {
  const brisk::sim::ScriptedUsbDevice* device = Device();
  return device ? device->setupResult : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_set_interface_alt_setting(libusb_device_handle*, int, int) {
  const brisk::sim::ScriptedUsbDevice* device = Device();
  return device ? device->setupResult : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_control_transfer(libusb_device_handle*, uint8_t requestType, uint8_t request,
                            uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                            unsigned int) {
  (void)index;
  brisk::sim::ScriptedUsbDevice* device = Device();
  if (!device) return LIBUSB_ERROR_NO_DEVICE;
  const bool toHost = (requestType & LIBUSB_ENDPOINT_IN) != 0;
  if (requestType == LIBUSB_ENDPOINT_IN && request == LIBUSB_REQUEST_GET_DESCRIPTOR &&
      (value >> 8) == LIBUSB_DT_STRING) {
    const auto found = device->strings.find(static_cast<uint8_t>(value & 0xFF));
    if (found == device->strings.end()) return LIBUSB_ERROR_PIPE;
    const size_t n = std::min<size_t>(found->second.size(), length);
    std::copy_n(found->second.begin(), n, data);
    return static_cast<int>(n);
  }
  if ((requestType & 0x60) != LIBUSB_REQUEST_TYPE_CLASS) return LIBUSB_ERROR_PIPE;
  if (device->onClassRequest) device->onClassRequest();
  int rc = LIBUSB_ERROR_PIPE;
  {
    std::lock_guard<std::mutex> guard(brisk::sim::g_lock);
    if (!device->classAnswers.empty()) {
      const brisk::sim::UsbAnswer answer = std::move(device->classAnswers.front());
      device->classAnswers.pop_front();
      rc = answer.rc;
      if (rc >= 0) {
        rc = std::min<int>(rc, length);
        if (toHost) {
          rc = std::min<int>(rc, static_cast<int>(answer.data.size()));
          std::copy_n(answer.data.begin(), rc, data);
        }
      }
    }
  }
  brisk::sim::Event("class-request-done");
  return rc;
}

}  // extern "C"
