#include "sim/dfu/DfuDeviceModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace brisk::sim {

using namespace dfu;

namespace {

void Le16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

uint32_t Le32(std::span<const uint8_t> p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool IsOutRequest(uint8_t r) { return r == DETACH || r == DNLOAD || r == CLRSTATUS || r == ABORT; }

}  // namespace

namespace {
constexpr std::pair<DfuPhase, const char*> kPhaseNames[] = {{DfuPhase::SetAddress, "set-address"},
                                                            {DfuPhase::Erase, "erase"},
                                                            {DfuPhase::MassErase, "mass-erase"},
                                                            {DfuPhase::Unprotect, "unprotect"},
                                                            {DfuPhase::Write, "write"},
                                                            {DfuPhase::Read, "read"},
                                                            {DfuPhase::Manifest, "manifest"}};
}  // namespace

bool ParseDfuPhase(std::string_view text, DfuPhase& phase) {
  for (const auto& [p, name] : kPhaseNames)
    if (text == name) {
      phase = p;
      return true;
    }
  return false;
}

const char* DfuPhaseName(DfuPhase phase) {
  for (const auto& [p, name] : kPhaseNames)
    if (p == phase) return name;
  return "?";
}

uint8_t DefaultFaultStatus(DfuPhase phase) {
  switch (phase) {
    case DfuPhase::SetAddress:
      return errADDRESS;
    case DfuPhase::Erase:
    case DfuPhase::MassErase:
    case DfuPhase::Unprotect:
      return errERASE;
    case DfuPhase::Write:
      return errWRITE;
    case DfuPhase::Read:
      return errTARGET;
    case DfuPhase::Manifest:
      return errFIRMWARE;
  }
  return errUNKNOWN;
}

uint32_t DfuMemory::Size() const {
  uint32_t total = 0;
  for (const auto& run : runs) total += run.count * run.size;
  return total;
}

std::string DfuMemory::MapString() const {
  char buf[48];
  std::snprintf(buf, sizeof buf, "/0x%08X/", start);
  std::string s = "@" + name + buf;
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto& run = runs[i];
    uint32_t size = run.size;
    char unit = ' ';
    if (size != 0 && size % (1024 * 1024) == 0) {
      size /= 1024 * 1024;
      unit = 'M';
    } else if (size != 0 && size % 1024 == 0) {
      size /= 1024;
      unit = 'K';
    }
    const uint8_t flags = run.flags & 7;
    const char type = char('a' + (flags == 0 ? 0 : flags - 1));
    std::snprintf(buf, sizeof buf, "%s%02u*%03u%c%c", i ? "," : "", run.count, size, unit, type);
    s += buf;
  }
  return s;
}

DfuMemory DfuDeviceConfig::InternalFlash() {
  DfuMemory m;
  m.name = "Internal Flash  ";
  m.start = 0x08000000;
  m.runs = {{128, 2048, Readable | Erasable | Writable}};
  m.flash = true;
  return m;
}

DfuMemory DfuDeviceConfig::OptionBytes() {
  DfuMemory m;
  m.name = "Option Bytes  ";
  m.start = kOptionBytesAddress;
  m.runs = {{1, 16, Readable | Writable}};
  m.optionBytes = true;
  return m;
}

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

std::vector<uint8_t> DfuDeviceModel::DeviceDescriptor() const {
  std::vector<uint8_t> d = {18, 1};
  Le16(d, 0x0200);
  d.insert(d.end(), {0, 0, 0, 64});
  Le16(d, m_config.vendorId);
  Le16(d, m_config.productId);
  Le16(d, m_config.bcdDevice);
  d.insert(d.end(), {1, 2, 3, 1});
  return d;
}

std::vector<uint8_t> DfuDeviceModel::ConfigurationDescriptor() const {
  std::vector<uint8_t> body;
  size_t stringSlot = 0;
  for (const auto& itf : m_config.interfaces) {
    for (size_t a = 0; a < itf.alternates.size(); ++a) {
      body.insert(body.end(), {9, 4, itf.number, uint8_t(a), 0, 0xFE, 0x01, 0x02,
                               m_alternateString[stringSlot++]});
    }
    // The functional descriptor follows the last alternate setting of each interface.
    body.insert(body.end(), {9, 0x21, m_config.attributes});
    Le16(body, m_config.detachTimeOut);
    Le16(body, m_config.transferSize);
    Le16(body, itf.bcdDFUVersion ? itf.bcdDFUVersion : m_config.bcdDFUVersion);
  }
  std::vector<uint8_t> d = {9, 2};
  Le16(d, uint16_t(9 + body.size()));
  d.insert(d.end(), {uint8_t(m_config.interfaces.size()), 1, 0, 0x80, 50});
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

std::vector<uint8_t> DfuDeviceModel::StringDescriptor(uint8_t index) const {
  if (index == 0) return {4, 3, 0x09, 0x04};
  if (index > m_strings.size()) return {};
  const std::string& s = m_strings[index - 1u];
  std::vector<uint8_t> d = {0, 3};
  for (unsigned char c : s) {
    if (d.size() + 2 > 254) break;
    Le16(d, c);  // the device's texts are plain ASCII
  }
  d[0] = uint8_t(d.size());
  return d;
}

bool DfuDeviceModel::HasInterface(uint8_t interfaceNumber) const {
  std::lock_guard lock(m_lock);
  for (const auto& itf : m_config.interfaces)
    if (itf.number == interfaceNumber) return true;
  return false;
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

ControlResult DfuDeviceModel::Class(const SetupPacket& setup, std::span<const uint8_t> out) {
  const uint8_t req = setup.bRequest;
  const bool in = setup.bmRequestType & 0x80;

  bool known = false;
  for (const auto& itf : m_config.interfaces) known = known || itf.number == setup.wIndex;
  if (req > ABORT || !known || in == IsOutRequest(req) ||
      std::find(m_refused.begin(), m_refused.end(), req) != m_refused.end())
    return Stall();

  if (req == DNLOAD || req == UPLOAD) {
    for (auto it = m_unplugFaults.begin(); it != m_unplugFaults.end(); ++it) {
      if (it->request != req || it->block != setup.wValue) continue;
      if (it->skip > 0) {
        --it->skip;
        break;
      }
      m_unplugFaults.erase(it);
      Disconnect(false);
      ControlResult r;
      r.gone = true;
      return r;
    }
  }

  switch (req) {
    case GETSTATUS: {
      // A host that asks again before the announced time-out is told to wait again.
      const auto now = std::chrono::steady_clock::now();
      if (now < m_busyUntil) {
        ++m_earlyStatus;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_busyUntil - now).count();
        ControlResult r = StatusAnswer(uint32_t(left));
        r.data[4] = m_busyState;
        return r;
      }
      uint32_t poll = 0;
      if (m_state == dfuDNLOAD_SYNC && m_pending) {
        m_pendingStatus = Execute(*m_pending, poll);
        m_pending.reset();
        m_state = dfuDNBUSY;
        return BusyAnswer(Scaled(poll));
      }
      if (m_state == dfuDNLOAD_SYNC || m_state == dfuDNBUSY) {
        // The host waited the poll time-out: the block is done.
        if (m_pendingStatus != OK) {
          m_state = dfuERROR;
          m_status = m_pendingStatus;
        } else {
          m_state = dfuDNLOAD_IDLE;
        }
        m_pendingStatus = OK;
        return StatusAnswer(0);
      }
      if (m_state == dfuMANIFEST_SYNC) {
        uint8_t status = OK;
        if (Faulted(DfuPhase::Manifest, status)) {
          m_state = dfuERROR;
          m_status = status;
          return StatusAnswer(0);
        }
        m_state = dfuMANIFEST;
        ControlResult r = BusyAnswer(Scaled(m_config.manifestPollMs));
        if (m_config.attributes & 0x04) {
          m_state = dfuIDLE;
        } else {
          // Without will-detach it waits for a bus reset, answering dfuMANIFEST-WAIT-RESET.
          m_state = dfuMANIFEST_WAIT_RESET;
          if (m_config.attributes & 0x08) Disconnect(true);
        }
        return r;
      }
      return StatusAnswer(0);
    }
    case GETSTATE:
      if (m_state == dfuDNBUSY) return Stall();
      return ControlResult{false, false, {m_state}};
    case CLRSTATUS:
      if (m_state != dfuERROR) return Stall();
      m_state = dfuIDLE;
      m_status = OK;
      return {};
    case ABORT:
      if (m_state == dfuIDLE || m_state == dfuDNLOAD_SYNC || m_state == dfuDNLOAD_IDLE ||
          m_state == dfuMANIFEST_SYNC || m_state == dfuUPLOAD_IDLE) {
        m_state = dfuIDLE;
        m_pending.reset();
        return {};
      }
      return Stall();
    case DETACH:
      // The loader leaves DFU mode on DETACH from dfuIDLE and comes back in its normal mode.
      if (m_state != dfuIDLE) return Stall();
      Disconnect(true);
      return {};
    case DNLOAD: {
      if (m_state != dfuIDLE && m_state != dfuDNLOAD_IDLE) return Stall();
      if (setup.wLength > m_config.transferSize || out.size() != setup.wLength) return Stall();
      if (setup.wLength == 0) {
        if (!m_pointerSet) return Stall(errNOTDONE);
        m_state = dfuMANIFEST_SYNC;
        return {};
      }
      if (setup.wValue == 1) return Stall();
      if (setup.wValue == 0) {
        const uint8_t cmd = out[0];
        const bool valid = (cmd == SetAddress && out.size() == 5) ||
                           (cmd == Erase && out.size() == 5) || (cmd == Erase && out.size() == 1) ||
                           (cmd == ReadUnprotect && out.size() == 1);
        if (!valid) return Stall();
      }
      m_pending = Pending{setup.wValue, std::vector<uint8_t>(out.begin(), out.end())};
      m_state = dfuDNLOAD_SYNC;
      return {};
    }
    case UPLOAD: {
      if (m_state != dfuIDLE && m_state != dfuUPLOAD_IDLE) return Stall();
      if (setup.wLength > m_config.transferSize) return Stall();
      ControlResult r;
      if (setup.wValue == 0) {
        r.data = {GetCommands, SetAddress, Erase, ReadUnprotect};
      } else if (setup.wValue == 1) {
        return Stall();
      } else {
        if (ProtectedLocked()) return Stall(errTARGET);
        const uint32_t address = m_pointer + uint32_t(setup.wValue - 2) * m_config.transferSize;
        MemoryHit hit = Find(address);
        if (hit.memory < 0) return Stall(errADDRESS);
        uint32_t index, start, size;
        uint8_t flags;
        if (!SectorAt(hit.memory, hit.offset, index, start, size, flags) || !(flags & Readable))
          return Stall(errTARGET);
        uint8_t status = OK;
        if (Faulted(DfuPhase::Read, status)) return Stall(status);
        const auto& bytes = m_bytes[size_t(hit.memory)];
        const uint32_t n = std::min<uint32_t>(setup.wLength, uint32_t(bytes.size()) - hit.offset);
        r.data.assign(bytes.begin() + hit.offset, bytes.begin() + hit.offset + n);
      }
      r.data.resize(std::min<size_t>(r.data.size(), setup.wLength));
      // A short frame ends the upload.
      m_state = r.data.size() < setup.wLength ? dfuIDLE : dfuUPLOAD_IDLE;
      return r;
    }
  }
  return Stall();
}

uint8_t DfuDeviceModel::Execute(const Pending& p, uint32_t& pollMs) {
  uint8_t status = OK;
  if (p.block == 0) {
    const uint8_t cmd = p.data[0];
    if (cmd == SetAddress) {
      const uint32_t address = Le32(std::span(p.data).subspan(1));
      if (Find(address).memory < 0) return errADDRESS;
      if (Faulted(DfuPhase::SetAddress, status)) return status;
      m_pointer = address;
      m_pointerSet = true;
      return OK;
    }
    if (cmd == Erase && p.data.size() == 5) {
      pollMs = m_config.erasePollMs;
      if (ProtectedLocked()) return errTARGET;
      const uint32_t address = Le32(std::span(p.data).subspan(1));
      MemoryHit hit = Find(address);
      if (hit.memory < 0) return errADDRESS;
      uint32_t index, start, size;
      uint8_t flags;
      if (!SectorAt(hit.memory, hit.offset, index, start, size, flags) || !(flags & Erasable))
        return errTARGET;
      if (SectorWriteProtected(hit.memory, index)) return errERASE;
      if (Faulted(DfuPhase::Erase, status)) return status;
      auto& bytes = m_bytes[size_t(hit.memory)];
      std::fill(bytes.begin() + start, bytes.begin() + start + size, 0xFF);
      return OK;
    }
    if (cmd == Erase) {
      pollMs = m_config.massErasePollMs;
      if (ProtectedLocked()) return errTARGET;
      if (Faulted(DfuPhase::MassErase, status)) return status;
      EraseFlash(false);
      return OK;
    }
    // ReadUnprotect: the chip erases its flash and drops every protection.
    pollMs = m_config.massErasePollMs;
    if (Faulted(DfuPhase::Unprotect, status)) return status;
    EraseFlash(true);
    m_config.readProtected = false;
    m_config.writeProtection = 0xFFFFFFFF;
    LoadProtection();
    return OK;
  }

  pollMs = m_config.writePollMs;
  if (ProtectedLocked()) return errTARGET;
  const uint32_t address = m_pointer + uint32_t(p.block - 2) * m_config.transferSize;
  MemoryHit hit = Find(address);
  if (hit.memory < 0) return errADDRESS;
  auto& bytes = m_bytes[size_t(hit.memory)];
  if (hit.offset + p.data.size() > bytes.size()) return errADDRESS;
  const bool flash = m_config.memories[size_t(hit.memory)].flash;
  for (uint32_t off = hit.offset; off < hit.offset + p.data.size();) {
    uint32_t index, start, size;
    uint8_t flags;
    if (!SectorAt(hit.memory, off, index, start, size, flags) || !(flags & Writable))
      return errTARGET;
    if (SectorWriteProtected(hit.memory, index)) return errWRITE;
    off = start + size;
  }
  if (flash)
    for (size_t i = 0; i < p.data.size(); ++i)
      if ((bytes[hit.offset + i] & p.data[i]) != p.data[i])
        return errPROG;  // programming can only clear bits: the page was not erased
  if (Faulted(DfuPhase::Write, status)) return status;
  for (size_t i = 0; i < p.data.size(); ++i) {
    uint8_t v = p.data[i];
    const uint32_t at = address + uint32_t(i);
    for (const auto& [flipAddress, bit] : m_bitFlips)
      if (flipAddress == at) v ^= uint8_t(1u << (bit & 7));
    bytes[hit.offset + i] = v;
  }
  return OK;
}

DfuDeviceModel::MemoryHit DfuDeviceModel::Find(uint32_t address) const {
  for (size_t i = 0; i < m_config.memories.size(); ++i) {
    const auto& mem = m_config.memories[i];
    if (address >= mem.start && uint64_t(address) < uint64_t(mem.start) + mem.Size())
      return {int(i), address - mem.start};
  }
  return {};
}

bool DfuDeviceModel::SectorAt(int memory, uint32_t offset, uint32_t& index, uint32_t& start,
                              uint32_t& size, uint8_t& flags) const {
  uint32_t base = 0, n = 0;
  for (const auto& run : m_config.memories[size_t(memory)].runs) {
    if (run.size != 0 && offset < base + run.count * run.size) {
      const uint32_t k = (offset - base) / run.size;
      index = n + k;
      start = base + k * run.size;
      size = run.size;
      flags = run.flags;
      return true;
    }
    base += run.count * run.size;
    n += run.count;
  }
  return false;
}

bool DfuDeviceModel::SectorWriteProtected(int memory, uint32_t sectorIndex) const {
  // Write protection covers the first flash memory only, four sectors per bit.
  for (size_t i = 0; i < m_config.memories.size(); ++i) {
    if (!m_config.memories[i].flash) continue;
    if (int(i) != memory) return false;
    const uint32_t bit = sectorIndex < 128 ? sectorIndex / 4 : 31;
    uint32_t wrp = m_config.writeProtection;
    for (size_t k = 0; k < m_config.memories.size(); ++k)
      if (m_config.memories[k].optionBytes && m_bytes[k].size() >= 16)
        wrp = uint32_t(m_bytes[k][8]) | uint32_t(m_bytes[k][10]) << 8 |
              uint32_t(m_bytes[k][12]) << 16 | uint32_t(m_bytes[k][14]) << 24;
    return ((wrp >> bit) & 1u) == 0;
  }
  return false;
}

void DfuDeviceModel::EraseFlash(bool ignoreWriteProtection) {
  for (size_t i = 0; i < m_config.memories.size(); ++i) {
    if (!m_config.memories[i].flash) continue;
    uint32_t base = 0, n = 0;
    for (const auto& run : m_config.memories[i].runs) {
      for (uint32_t k = 0; k < run.count; ++k) {
        // Protected sectors keep their contents.
        if ((run.flags & Erasable) &&
            (ignoreWriteProtection || !SectorWriteProtected(int(i), n + k)))
          std::fill(m_bytes[i].begin() + base + k * run.size,
                    m_bytes[i].begin() + base + (k + 1) * run.size, 0xFF);
      }
      base += run.count * run.size;
      n += run.count;
    }
  }
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
