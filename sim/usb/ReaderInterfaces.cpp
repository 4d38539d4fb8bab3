#include "sim/usb/ReaderInterfaces.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sim/usb/UsbReaderBus.h"

namespace brisk::sim {

namespace {

uint8_t Xor(const uint8_t* bytes, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= bytes[i];
  return x;
}

UMockdevIoctlData* ResolveArg(UMockdevIoctlClient* client, size_t size) {
  GError* error = nullptr;
  UMockdevIoctlData* out =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
  g_clear_error(&error);
  return out;
}

}  // namespace

void EnterDfuResponder::Request(const std::vector<uint8_t>& frame) {
  std::lock_guard lock(m_lock);
  if (frame.size() < 7 || frame[0] != 0x55 || frame[1] != 0xAA || frame[2] != 4 ||
      frame[3] != 0x31 || Xor(frame.data(), 6) != frame[6])
    return;
  // The acknowledgement: command 0x31, result 0xFF, then a check byte.
  m_reply.assign(size_t(3) + m_replyLength, 0);
  m_reply[0] = 0x55;
  m_reply[1] = 0xAA;
  m_reply[2] = m_replyLength;
  m_reply[3] = 0x31;
  m_reply[4] = 0xFF;
  m_reply.back() = Xor(m_reply.data(), m_reply.size() - 1);
}

size_t EnterDfuResponder::Reply(size_t offset, uint8_t* out, size_t n, bool last) {
  std::lock_guard lock(m_lock);
  if (m_reply.empty() || offset >= m_reply.size()) return 0;
  const size_t count = std::min(n, m_reply.size() - offset);
  std::memcpy(out, m_reply.data() + offset, count);
  if (last) {
    m_reply.clear();
    m_bus.RequestDfu();
  }
  return count;
}

gboolean HandleHidraw(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto* h = static_cast<HidrawHandler*>(user);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  const size_t size = _IOC_SIZE(request);
  if (_IOC_TYPE(request) != 'H') {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
  }
  switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRAWINFO): {
      UMockdevIoctlData* d = ResolveArg(client, sizeof(hidraw_devinfo));
      if (!d) break;
      auto* info = reinterpret_cast<hidraw_devinfo*>(d->data);
      info->bustype = 3;  // BUS_USB
      info->vendor = int16_t(kReaderVendorId);
      info->product = int16_t(kReaderProductId);
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case _IOC_NR(HIDIOCGRDESCSIZE): {
      UMockdevIoctlData* d = ResolveArg(client, sizeof(int));
      if (!d) break;
      *reinterpret_cast<int*>(d->data) = 0;
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case 0x0B: {  // HIDIOCSOUTPUT(len): byte 0 the report identifier, the frame behind it
      UMockdevIoctlData* d = size ? ResolveArg(client, size) : nullptr;
      if (!d) break;
      h->responder->Request(std::vector<uint8_t>(d->data + 1, d->data + size));
      umockdev_ioctl_client_complete(client, long(size), 0);
      return TRUE;
    }
    case 0x0A: {  // HIDIOCGINPUT(len)
      UMockdevIoctlData* d = size ? ResolveArg(client, size) : nullptr;
      if (!d) break;
      std::memset(d->data, 0, size);
      h->responder->Reply(0, d->data + 1, size - 1, true);
      umockdev_ioctl_client_complete(client, long(size), 0);
      return TRUE;
    }
    default:
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
  }
  umockdev_ioctl_client_complete(client, -1, EFAULT);
  return TRUE;
}

ControlResult VendorControl(UsbdevfsHandler& h, const SetupPacket& setup, const uint8_t* out) {
  ControlResult r;
  const uint8_t type = setup.bmRequestType, request = setup.bRequest;
  const size_t wLength = setup.wLength;
  if ((type & 0x7F) != 0x41 || setup.wIndex != 2) {
    r.stall = (type & 0x60) != 0;  // standard requests are accepted
    return r;
  }
  if (!(type & 0x80)) {
    if (request == 0x20 && wLength == 7) {
      h.request.assign(out, out + 7);
    } else if (request == 0x24 && h.request.size() >= 7) {
      h.request.insert(h.request.end(), out, out + wLength);
      h.responder->Request(h.request);
      h.request.clear();
    } else {
      r.stall = true;
    }
    return r;
  }
  if (request == 0x28) {
    r.data.assign(wLength, 0);
    uint8_t head[7] = {};
    h.responder->Reply(0, head, 7, false);
    const bool complete = head[0] == 0x55 && head[2] < 5;
    std::memcpy(r.data.data(), head, std::min<size_t>(7, wLength));
    if (complete) h.responder->Reply(0, head, 7, true);
    return r;
  }
  if (request == 0x2C) {
    r.data.assign(wLength, 0);
    r.data.resize(h.responder->Reply(7, r.data.data(), wLength, true));
    return r;
  }
  r.stall = true;
  return r;
}

UMockdevIoctlBase* AttachIoctlHandler(UMockdevTestbed* tb, const std::string& node,
                                      GCallback handler, void* user) {
  UMockdevIoctlBase* base = umockdev_ioctl_base_new();
  g_signal_connect(base, "handle-ioctl", handler, user);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(tb, node.c_str(), base, &error)) {
    std::string msg = error ? error->message : "unknown error";
    g_clear_error(&error);
    g_object_unref(base);
    throw std::runtime_error("cannot emulate " + node + ": " + msg);
  }
  return base;
}

}  // namespace brisk::sim
