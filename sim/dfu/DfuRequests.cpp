// The DFU class requests: the state machine, and the flash they write, read and erase.
#include <algorithm>

#include "sim/dfu/DfuDeviceModel.h"

namespace brisk::sim {

using namespace dfu;

namespace {

uint32_t Le32(std::span<const uint8_t> p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool IsOutRequest(uint8_t r) { return r == DETACH || r == DNLOAD || r == CLRSTATUS || r == ABORT; }

}  // namespace

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

}  // namespace brisk::sim
