// What the emulated device says about itself: its descriptors, its memory map text, and
// the names of the phases a fault can be injected in.
#include <cstdio>

#include "sim/dfu/DfuDeviceModel.h"

namespace brisk::sim {

using namespace dfu;

namespace {

void Le16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

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

}  // namespace brisk::sim
