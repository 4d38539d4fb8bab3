#include "sim/dfu/UsbdevfsNode.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace brisk::sim {

// URBs submitted and not yet reaped, in the order they completed, each with its descriptor.
struct UsbdevfsNode::State {
  UsbdevfsDevice device;
  UMockdevIoctlBase* base = nullptr;
  // The testbed's thread gets the state through glib's locks, which the thread sanitizer
  // cannot see: set once the device is in place, read before each request.
  std::atomic<bool> ready{false};
  std::mutex lock;
  std::deque<std::pair<UMockdevIoctlClient*, UMockdevIoctlData*>> done;

  bool Connected() const { return !device.connected || device.connected(); }
  UMockdevIoctlData* TakeFor(UMockdevIoctlClient* client) {
    std::lock_guard guard(lock);
    for (auto it = done.begin(); it != done.end(); ++it) {
      if (it->first != client) continue;
      UMockdevIoctlData* urb = it->second;
      done.erase(it);
      return urb;
    }
    return nullptr;
  }
  void DropFor(UMockdevIoctlClient* client) {
    std::lock_guard guard(lock);
    for (auto it = done.begin(); it != done.end();) {
      if (it->first == client) {
        g_object_unref(it->second);
        it = done.erase(it);
      } else {
        ++it;
      }
    }
  }
  ~State() {
    for (auto& d : done) g_object_unref(d.second);
  }
};

namespace {

using State = UsbdevfsNode::State;

void Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

template <typename T>
T* Resolve(UMockdevIoctlData* arg, UMockdevIoctlData*& out) {
  GError* error = nullptr;
  out = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &error);
  g_clear_error(&error);
  return out ? reinterpret_cast<T*>(out->data) : nullptr;
}

void ClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer user) {
  auto* state = static_cast<State*>(user);
  if (state->device.clientsChanged) state->device.clientsChanged(+1);
}

void ClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto* state = static_cast<State*>(user);
  state->DropFor(client);
  if (state->device.clientsChanged) state->device.clientsChanged(-1);
}

void SubmitUrb(State& state, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* data = nullptr;
  auto* urb = Resolve<usbdevfs_urb>(arg, data);
  if (!urb || urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
    Complete(client, -1, EINVAL);
    return;
  }
  GError* error = nullptr;
  UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                          size_t(urb->buffer_length), &error);
  g_clear_error(&error);
  if (!buffer) {
    Complete(client, -1, EFAULT);
    return;
  }
  const uint8_t* b = buffer->data;
  const SetupPacket setup{b[0], b[1], uint16_t(b[2] | b[3] << 8), uint16_t(b[4] | b[5] << 8),
                          uint16_t(b[6] | b[7] << 8)};
  const size_t room = size_t(urb->buffer_length) - 8;
  if (setup.wLength > room) {
    Complete(client, -1, EINVAL);
    return;
  }
  const ControlResult r = state.device.control(setup, b + 8);
  if (r.gone) {
    Complete(client, -1, ENODEV);
    return;
  }
  const bool in = setup.bmRequestType & 0x80;
  if (r.stall) {
    urb->status = -EPIPE;
    urb->actual_length = 0;
  } else {
    const size_t n = std::min({r.data.size(), room, size_t(setup.wLength)});
    if (in && n) std::memcpy(buffer->data + 8, r.data.data(), n);
    urb->status = 0;
    urb->actual_length = in ? int(n) : int(setup.wLength);
  }
  {
    std::lock_guard lock(state.lock);
    state.done.emplace_back(client, static_cast<UMockdevIoctlData*>(g_object_ref(data)));
  }
  Complete(client, 0, 0);
}

void ReapUrb(State& state, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* urb = state.TakeFor(client);
  if (!urb) {
    Complete(client, -1, state.Connected() ? EAGAIN : ENODEV);
    return;
  }
  GError* error = nullptr;
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
  g_clear_error(&error);
  const bool ok = slot && umockdev_ioctl_data_set_ptr(slot, 0, urb);
  g_object_unref(urb);
  Complete(client, ok ? 0 : -1, ok ? 0 : EFAULT);
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  State& state = *static_cast<State*>(user);
  if (!state.ready.load(std::memory_order_acquire)) return FALSE;
  const UsbdevfsDevice& device = state.device;
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* data = nullptr;

  // URBs that completed before a disconnect are still handed back, as the kernel does:
  // libusb only learns of the end from a failed submit, and would spin on a failed reap.
  if (!state.Connected() && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
    Complete(client, -1, ENODEV);
    return TRUE;
  }

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      auto* caps = Resolve<uint32_t>(arg, data);
      if (caps) *caps = 0;
      Complete(client, caps ? 0 : -1, caps ? 0 : EFAULT);
      return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      auto* itf = Resolve<unsigned int>(arg, data);
      const bool ok = itf && *itf <= 0xFF && (!device.hasInterface || device.hasInterface(*itf));
      Complete(client, ok ? 0 : -1, ok ? 0 : EINVAL);
      return TRUE;
    }
    case USBDEVFS_SETINTERFACE: {
      auto* si = Resolve<usbdevfs_setinterface>(arg, data);
      const bool ok = si && si->interface <= 0xFF && si->altsetting <= 0xFF &&
                      (!device.setInterface ||
                       device.setInterface(uint8_t(si->interface), uint8_t(si->altsetting)));
      Complete(client, ok ? 0 : -1, ok ? 0 : EINVAL);
      return TRUE;
    }
    case USBDEVFS_RESET:
      Complete(client, 0, 0);
      if (device.reset) device.reset();
      return TRUE;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
      Complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      Complete(client, -1, ENODATA);
      return TRUE;
    case USBDEVFS_DISCARDURB:
      // Every URB completes at once, so there is never one to discard.
      Complete(client, -1, EINVAL);
      return TRUE;
    case USBDEVFS_SUBMITURB:
      SubmitUrb(state, client, arg);
      return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      ReapUrb(state, client, arg);
      return TRUE;
    default:
      Complete(client, -1, ENOTTY);
      return TRUE;
  }
}

}  // namespace

std::vector<uint8_t> SimpleDeviceDescriptors(uint16_t vendorId, uint16_t productId,
                                             const std::vector<UsbInterfaceSpec>& interfaces) {
  std::vector<uint8_t> d = {18,
                            1,
                            0x00,
                            0x02,
                            0,
                            0,
                            0,
                            64,
                            uint8_t(vendorId),
                            uint8_t(vendorId >> 8),
                            uint8_t(productId),
                            uint8_t(productId >> 8),
                            0x00,
                            0x01,
                            0,
                            0,
                            0,
                            1};
  const uint16_t total = uint16_t(9 + 9 * interfaces.size());
  const std::vector<uint8_t> cfg = {
      9, 2, uint8_t(total), uint8_t(total >> 8), uint8_t(interfaces.size()), 1, 0, 0x80, 50};
  d.insert(d.end(), cfg.begin(), cfg.end());
  for (const UsbInterfaceSpec& i : interfaces)
    d.insert(d.end(), {9, 4, i.number, 0, 0, i.interfaceClass, i.subClass, i.protocol, 0});
  return d;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t v : bytes) {
    s += kDigits[v >> 4];
    s += kDigits[v & 15];
  }
  return s;
}

void AddRecords(UMockdevTestbed* tb, const std::string& records) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(tb, records.c_str(), &error)) {
    std::string msg = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("umockdev record refused: " + msg);
  }
}

UsbdevfsNode::UsbdevfsNode(UMockdevTestbed* tb, std::string devNode, UsbdevfsDevice device)
    : m_tb(tb), m_devNode(std::move(devNode)), m_state(std::make_unique<State>()) {
  m_state->device = std::move(device);
  m_state->ready.store(true, std::memory_order_release);
  UMockdevIoctlBase* base = umockdev_ioctl_base_new();
  g_signal_connect(base, "handle-ioctl", G_CALLBACK(HandleIoctl), m_state.get());
  g_signal_connect(base, "client-connected", G_CALLBACK(ClientConnected), m_state.get());
  g_signal_connect(base, "client-vanished", G_CALLBACK(ClientVanished), m_state.get());
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(tb, m_devNode.c_str(), base, &error)) {
    std::string msg = error ? error->message : "unknown error";
    g_clear_error(&error);
    g_object_unref(base);
    throw std::runtime_error("cannot emulate " + m_devNode + ": " + msg);
  }
  m_state->base = base;
}

UsbdevfsNode::~UsbdevfsNode() {
  umockdev_testbed_detach_ioctl(m_tb, m_devNode.c_str(), nullptr);
  g_object_unref(m_state->base);
}

}  // namespace brisk::sim
