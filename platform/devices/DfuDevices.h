#pragma once
// USB interfaces in DFU mode, found through libudev. Present devices only, in libudev's
// enumeration order. Each is named by a path that QKTubeDevice (and so MXUPD_Open) accepts:
//     USB#VID_vvvv&PID_pppp#<bus>-<ports>#{interface-class identifier}
#include <cstdint>
#include <string>
#include <vector>

namespace brisk::platform::devices {

// The two interface classes searched, in order: 1 is DFU mode as DFU 1.1 describes it
// (class 0xFE, subclass 0x01, protocol 0x02); 2 is the older form that announces protocol 0x00.
inline constexpr const char* kDfuClass1Id = "{3FE809AB-FB91-4CB5-A643-69670D52366E}";
inline constexpr const char* kDfuClass2Id = "{CB979912-5029-420A-AEB1-34FC0A7D5726}";
inline constexpr size_t kDfuDescriptionBuffer = 253;  // with its terminator

struct DfuInterface {
  std::string path;         // upper-case hexadecimal digits, ends in the class identifier
  std::string description;  // the product string, at most 252 bytes; empty when unreadable
  std::string sysPath;      // the USB device in sysfs
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint8_t interfaceNumber = 0;
};

// The interfaces of one class (1 or 2). Empty when libudev cannot be used (logged).
std::vector<DfuInterface> EnumerateDfuInterfaces(int interfaceClass);

// The bInterfaceNumber of every interface in the descriptor blob (device descriptor followed
// by configuration descriptors, as sysfs "descriptors" holds them) with class 0xFE, subclass
// 0x01 and the given protocol; each number once, in order. A malformed blob yields what was
// read before the fault.
std::vector<uint8_t> DfuInterfaceNumbers(const std::vector<uint8_t>& descriptors, uint8_t protocol);

// Cuts text to at most maxBytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t maxBytes);

}  // namespace brisk::platform::devices
