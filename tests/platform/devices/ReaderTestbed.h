#pragma once
// An umockdev testbed that plays card readers and other USB devices for tests.
// Use one ReaderTestbed per test process (umockdev leaks a few descriptors per testbed);
// the test binary must run under libumockdev-preload (brisk_test ... UMOCKDEV).
// Create it before anything in the process touches libudev or umockdev.
//
// Typical use (CMake: brisk_test(... LIBS brisk_reader_testbed brisk_reader_sim ... UMOCKDEV)):
//   test::ReaderTestbed tb;
//   tb.AddUsbSerial("1-1", test::kReaderVendorA, test::kReaderProductA, 2);  // COM3
//   auto reader = sim::ReaderSim::Attach(tb.MasterFd(2));  // plays the reader
//   ... DiscoverPorts lists "COM3"; Brisk7Service::Start(0, list) opens it ...
//   reader->Unplug();   // the open port fails from now on
//   tb.Remove(usb);     // "remove" events, then the device leaves sysfs
// A program started from the test (posix_spawn) sees the same testbed through the
// inherited UMOCKDEV_DIR and LD_PRELOAD. Run a udev monitor in one process only.
#include <map>
#include <set>
#include <string>
#include <utility>

struct _UMockdevTestbed;

namespace brisk::test {

// The two reader identities and one that mixes them (no reader).
inline constexpr const char* kReaderVendorA = "0425";
inline constexpr const char* kReaderProductA = "8159";
inline constexpr const char* kReaderVendorB = "0400";
inline constexpr const char* kReaderProductB = "c35a";  // lower case, as sysfs writes it

class ReaderTestbed {
 public:
  ReaderTestbed();
  ~ReaderTestbed();
  ReaderTestbed(const ReaderTestbed&) = delete;
  ReaderTestbed& operator=(const ReaderTestbed&) = delete;

  // A USB device at usb1/<usbName> (such as "1-2") with one CDC interface whose tty is
  // /dev/ttyACM<acmIndex>, backed by a pseudo-terminal. Sends the "add" events.
  // A name whose device was removed may be used again. Returns the USB device's sysfs path.
  std::string AddUsbSerial(const std::string& usbName, const std::string& vendorId,
                           const std::string& productId, int acmIndex);
  // A USB device whose interface carries a hidraw node (no tty).
  std::string AddUsbHidraw(const std::string& usbName, const std::string& vendorId,
                           const std::string& productId, int hidrawIndex);
  // A tty with no USB parent (a built-in serial port).
  std::string AddPlainTty(const std::string& name);
  // Any device record in umockdev's text form.
  void AddFromString(const std::string& record);

  // The master side of /dev/ttyACM<acmIndex>: the test plays the device there.
  // FD_CLOEXEC is set. Owned by the testbed: never close it.
  int MasterFd(int acmIndex);
  // The device is unplugged while open: the program's next read fails.
  void UnplugTty(int acmIndex);
  // Sends "remove" for the device and its children (deepest first), then removes them.
  void Remove(const std::string& sysPath);

  _UMockdevTestbed* Raw() { return m_tb; }

 private:
  void OwnTerminal(int acmIndex);

  _UMockdevTestbed* m_tb;
  // umockdev creates a node name once per testbed; a name used again gets a terminal of ours.
  std::set<int> m_acmUsed;
  // Master and slave of each such terminal; the slave is held open as umockdev's are.
  std::map<int, std::pair<int, int>> m_ownTerminals;
};

}  // namespace brisk::test
