#include "sim/dfu/DfuDeviceModel.h"

#include <algorithm>
#include <cmath>

namespace brisk::sim {

using namespace dfu;

DfuDeviceModel::DfuDeviceModel(DfuDeviceConfig config) : m_config(std::move(config)) {
  if (m_config.memories.empty())
    m_config.memories = {DfuDeviceConfig::InternalFlash(), DfuDeviceConfig::OptionBytes()};
  if (m_config.interfaces.empty()) {
    DfuInterface itf;
    for (size_t i = 0; i < m_config.memories.size(); ++i) itf.alternates.push_back({int(i), {}});
    m_config.interfaces.push_back(itf);
  }
  if (m_config.transferSize == 0) m_config.transferSize = 2048;

  for (const auto& mem : m_config.memories)
    m_bytes.emplace_back(mem.Size(), mem.flash ? 0xFF : 0x00);

  m_strings = {m_config.manufacturer, m_config.product, m_config.serial};
  for (const auto& itf : m_config.interfaces)
    for (const auto& alt : itf.alternates) {
      std::string text = alt.memory >= 0 && size_t(alt.memory) < m_config.memories.size()
                             ? m_config.memories[size_t(alt.memory)].MapString()
                             : alt.interfaceString;
      if (text.empty()) {
        m_alternateString.push_back(0);
      } else {
        m_strings.push_back(text);
        m_alternateString.push_back(uint8_t(m_strings.size()));
      }
    }
  LoadProtection();
  if (m_config.flipBitAddress)
    m_bitFlips.emplace_back(*m_config.flipBitAddress, m_config.flipBitNumber);
  if (m_config.unplugAtBlock) m_unplugFaults.push_back({DNLOAD, *m_config.unplugAtBlock, 0});
  if (m_config.faultPhase)
    m_statusFaults.push_back(
        {*m_config.faultPhase,
         m_config.faultStatus ? m_config.faultStatus : DefaultFaultStatus(*m_config.faultPhase),
         0});
}

void DfuDeviceModel::LoadProtection() {
  for (size_t i = 0; i < m_config.memories.size(); ++i) {
    if (!m_config.memories[i].optionBytes || m_bytes[i].size() < 16) continue;
    auto& ob = m_bytes[i];
    ob[0] = m_config.readProtected ? 0x00 : 0xA5;
    ob[1] = uint8_t(~ob[0]);
    for (int k = 0; k < 4; ++k) {
      ob[size_t(8 + 2 * k)] = uint8_t(m_config.writeProtection >> (8 * k));
      ob[size_t(9 + 2 * k)] = uint8_t(~ob[size_t(8 + 2 * k)]);
    }
  }
}

void DfuDeviceModel::BusReset() {
  std::function<void(bool)> notify;
  {
    std::lock_guard lock(m_lock);
    if (!m_connected || m_state != dfuMANIFEST_WAIT_RESET) return;
    Disconnect(true);
    m_notify = false;
    notify = m_onDisconnect;
  }
  if (notify) notify(true);
}

bool DfuDeviceModel::SetInterface(uint8_t interfaceNumber, uint8_t alternate) {
  std::lock_guard lock(m_lock);
  for (const auto& itf : m_config.interfaces)
    if (itf.number == interfaceNumber && alternate < itf.alternates.size()) {
      m_selected = {interfaceNumber, alternate};
      return true;
    }
  return false;
}

ControlResult DfuDeviceModel::HandleControl(const SetupPacket& setup,
                                            std::span<const uint8_t> out) {
  ControlResult result;
  std::function<void(bool)> notify;
  bool left = false;
  {
    std::lock_guard lock(m_lock);
    if (!m_connected) {
      result.gone = true;
      return result;
    }
    m_log.push_back({setup, std::vector<uint8_t>(out.begin(), out.end())});
    const uint8_t type = setup.bmRequestType & 0x60;
    if (type == 0x00)
      result = Standard(setup);
    else if (type == 0x20 && (setup.bmRequestType & 0x1F) == 0x01)
      result = Class(setup, out);
    else
      result.stall = true;
    if (result.data.size() > setup.wLength) result.data.resize(setup.wLength);
    if (m_notify) {
      m_notify = false;
      notify = m_onDisconnect;
      left = m_left;
    }
  }
  if (notify) notify(left);
  return result;
}

ControlResult DfuDeviceModel::Standard(const SetupPacket& setup) {
  ControlResult r;
  const bool in = setup.bmRequestType & 0x80;
  switch (setup.bRequest) {
    case 0:  // GET_STATUS
      if (!in)
        r.stall = true;
      else
        r.data = {0, 0};
      break;
    case 6: {  // GET_DESCRIPTOR
      const uint8_t kind = uint8_t(setup.wValue >> 8);
      if (!in || (setup.bmRequestType & 0x1F) != 0) {
        r.stall = true;
      } else if (kind == 1) {
        r.data = DeviceDescriptor();
      } else if (kind == 2 && (setup.wValue & 0xFF) == 0) {
        r.data = ConfigurationDescriptor();
      } else if (kind == 3) {
        r.data = StringDescriptor(uint8_t(setup.wValue));
        r.stall = r.data.empty();
      } else {
        r.stall = true;
      }
      break;
    }
    case 8:  // GET_CONFIGURATION
      r.data = {m_configuration};
      break;
    case 9:  // SET_CONFIGURATION
      if (setup.wValue > 1)
        r.stall = true;
      else
        m_configuration = uint8_t(setup.wValue);
      break;
    case 11: {  // SET_INTERFACE
      bool ok = false;
      for (const auto& itf : m_config.interfaces)
        if (itf.number == setup.wIndex && setup.wValue < itf.alternates.size()) {
          m_selected = {uint8_t(setup.wIndex), uint8_t(setup.wValue)};
          ok = true;
        }
      r.stall = !ok;
      break;
    }
    default:
      r.stall = true;
  }
  return r;
}

ControlResult DfuDeviceModel::Stall(uint8_t status) {
  m_state = dfuERROR;
  m_status = status;
  m_pending.reset();
  ControlResult r;
  r.stall = true;
  return r;
}

ControlResult DfuDeviceModel::StatusAnswer(uint32_t pollMs) {
  ControlResult r;
  r.data = {m_status, uint8_t(pollMs), uint8_t(pollMs >> 8), uint8_t(pollMs >> 16), m_state, 0};
  return r;
}

uint32_t DfuDeviceModel::Scaled(uint32_t ms) const {
  const double scaled = std::round(double(ms) * std::max(0.0, m_config.busyScale));
  return scaled >= double(0xFFFFFF) ? 0xFFFFFFu : uint32_t(scaled);
}

ControlResult DfuDeviceModel::BusyAnswer(uint32_t pollMs) {
  m_busyUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(pollMs);
  m_busyState = m_state;
  m_announcedMs += pollMs;
  return StatusAnswer(pollMs);
}

bool DfuDeviceModel::Faulted(DfuPhase phase, uint8_t& status) {
  for (auto it = m_statusFaults.begin(); it != m_statusFaults.end(); ++it) {
    if (it->phase != phase) continue;
    if (it->skip > 0) {
      --it->skip;
      return false;
    }
    status = it->status;
    m_statusFaults.erase(it);
    return true;
  }
  return false;
}

bool DfuDeviceModel::ProtectedLocked() const {
  for (size_t i = 0; i < m_config.memories.size(); ++i)
    if (m_config.memories[i].optionBytes && !m_bytes[i].empty()) return m_bytes[i][0] != 0xA5;
  return m_config.readProtected;
}

void DfuDeviceModel::Disconnect(bool leftDfuMode) {
  m_connected = false;
  m_left = leftDfuMode;
  m_notify = true;
}

uint8_t DfuDeviceModel::State() const {
  std::lock_guard lock(m_lock);
  return m_state;
}

uint8_t DfuDeviceModel::Status() const {
  std::lock_guard lock(m_lock);
  return m_status;
}

bool DfuDeviceModel::Connected() const {
  std::lock_guard lock(m_lock);
  return m_connected;
}

bool DfuDeviceModel::LeftDfuMode() const {
  std::lock_guard lock(m_lock);
  return m_left;
}

uint32_t DfuDeviceModel::AddressPointer() const {
  std::lock_guard lock(m_lock);
  return m_pointer;
}

std::optional<std::pair<uint8_t, uint8_t>> DfuDeviceModel::SelectedAlternate() const {
  std::lock_guard lock(m_lock);
  return m_selected;
}

std::vector<LoggedRequest> DfuDeviceModel::Requests() const {
  std::lock_guard lock(m_lock);
  return m_log;
}

std::vector<LoggedRequest> DfuDeviceModel::ClassRequests() const {
  std::lock_guard lock(m_lock);
  std::vector<LoggedRequest> out;
  for (const auto& r : m_log)
    if ((r.setup.bmRequestType & 0x60) == 0x20) out.push_back(r);
  return out;
}

void DfuDeviceModel::ClearRequests() {
  std::lock_guard lock(m_lock);
  m_log.clear();
}

std::vector<uint8_t> DfuDeviceModel::ReadMemory(uint32_t address, uint32_t length) const {
  std::lock_guard lock(m_lock);
  std::vector<uint8_t> out;
  for (uint32_t i = 0; i < length; ++i) {
    MemoryHit hit = Find(address + i);
    if (hit.memory < 0) break;
    out.push_back(m_bytes[size_t(hit.memory)][hit.offset]);
  }
  return out;
}

void DfuDeviceModel::WriteMemory(uint32_t address, std::span<const uint8_t> bytes) {
  std::lock_guard lock(m_lock);
  for (size_t i = 0; i < bytes.size(); ++i) {
    MemoryHit hit = Find(address + uint32_t(i));
    if (hit.memory >= 0) m_bytes[size_t(hit.memory)][hit.offset] = bytes[i];
  }
}

bool DfuDeviceModel::ReadProtected() const {
  std::lock_guard lock(m_lock);
  return ProtectedLocked();
}

uint32_t DfuDeviceModel::EarlyStatusRequests() const {
  std::lock_guard lock(m_lock);
  return m_earlyStatus;
}

uint64_t DfuDeviceModel::AnnouncedBusyMs() const {
  std::lock_guard lock(m_lock);
  return m_announcedMs;
}

uint32_t DfuDeviceModel::WriteProtection() const {
  std::lock_guard lock(m_lock);
  for (size_t k = 0; k < m_config.memories.size(); ++k)
    if (m_config.memories[k].optionBytes && m_bytes[k].size() >= 16)
      return uint32_t(m_bytes[k][8]) | uint32_t(m_bytes[k][10]) << 8 |
             uint32_t(m_bytes[k][12]) << 16 | uint32_t(m_bytes[k][14]) << 24;
  return m_config.writeProtection;
}

void DfuDeviceModel::InjectStatusError(DfuPhase phase, uint8_t status, unsigned skip) {
  std::lock_guard lock(m_lock);
  m_statusFaults.push_back({phase, status, skip});
}

void DfuDeviceModel::UnplugAt(uint8_t bRequest, uint16_t block, unsigned skip) {
  std::lock_guard lock(m_lock);
  m_unplugFaults.push_back({bRequest, block, skip});
}

void DfuDeviceModel::FlipBitOnWrite(uint32_t address, uint8_t bit) {
  std::lock_guard lock(m_lock);
  m_bitFlips.emplace_back(address, bit);
}

void DfuDeviceModel::RefuseRequest(uint8_t bRequest) {
  std::lock_guard lock(m_lock);
  m_refused.push_back(bRequest);
}

void DfuDeviceModel::Unplug() {
  std::function<void(bool)> notify;
  {
    std::lock_guard lock(m_lock);
    if (!m_connected) return;
    Disconnect(false);
    m_notify = false;
    notify = m_onDisconnect;
  }
  if (notify) notify(false);
}

void DfuDeviceModel::SetDisconnectCallback(std::function<void(bool leftDfuMode)> callback) {
  std::lock_guard lock(m_lock);
  m_onDisconnect = std::move(callback);
}

}  // namespace brisk::sim
