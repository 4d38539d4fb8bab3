#include "tests/platform/devices/ReaderTestbed.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>
#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace brisk;

namespace brisk::test {

namespace {

const char* kBus = "/devices/pci0000:00/0000:00:14.0/usb1";

// The USB device and its first interface, in umockdev's record form.
std::string UsbRecords(const std::string& usbName, const std::string& vendorId,
                       const std::string& productId, const std::string& interfaceClass) {
  const std::string usb = std::string(kBus) + "/" + usbName;
  return "P: " + usb +
         "\n"
         "E: SUBSYSTEM=usb\n"
         "E: DEVTYPE=usb_device\n"
         "E: ID_VENDOR_ID=" +
         vendorId +
         "\n"
         "E: ID_MODEL_ID=" +
         productId +
         "\n"
         "E: PRODUCT=" +
         vendorId + "/" + productId +
         "/100\n"
         "A: idVendor=" +
         vendorId +
         "\n"
         "A: idProduct=" +
         productId +
         "\n"
         "A: busnum=1\n"
         "A: devnum=2\n"
         "\n"
         "P: " +
         usb + "/" + usbName +
         ":1.0\n"
         "E: SUBSYSTEM=usb\n"
         "E: DEVTYPE=usb_interface\n"
         "A: bInterfaceClass=" +
         interfaceClass +
         "\n"
         "\n";
}

// Every sysfs device at or below path, deepest first.
void CollectDevices(const std::string& root, const std::string& sysPath,
                    std::vector<std::string>& out) {
  DIR* dir = opendir((root + sysPath).c_str());
  if (!dir) return;
  std::vector<std::string> subdirs;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == "subsystem" || name == "driver" || name == "device")
      continue;
    if (e->d_type == DT_DIR) subdirs.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : subdirs) CollectDevices(root, sysPath + "/" + name, out);
  if (access((root + sysPath + "/uevent").c_str(), F_OK) == 0) out.push_back(sysPath);
}

// Unlinks the symbolic links that point nowhere, depth folders below dir.
void RemoveDanglingLinks(const std::string& dir, int depth) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> entries;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') entries.push_back(dir + "/" + e->d_name);
  closedir(d);
  for (const std::string& path : entries) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      if (depth == 0 && access(path.c_str(), F_OK) != 0) unlink(path.c_str());
    } else if (S_ISDIR(st.st_mode) && depth > 0) {
      RemoveDanglingLinks(path, depth - 1);
    }
  }
}

}  // namespace

ReaderTestbed::ReaderTestbed() {
  // umockdev_in_mock_environment() must not run before this: it would cache "no".
  m_tb = umockdev_testbed_new();
  if (!umockdev_in_mock_environment())
    throw std::runtime_error("not running under libumockdev-preload");
}

ReaderTestbed::~ReaderTestbed() {
  for (const auto& [index, fds] : m_ownTerminals) {
    close(fds.first);
    close(fds.second);
  }
  g_object_unref(m_tb);
}

void ReaderTestbed::AddFromString(const std::string& record) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(m_tb, record.c_str(), &error)) {
    std::string why = error ? error->message : "unknown";
    if (error) g_error_free(error);
    throw std::runtime_error("umockdev record refused: " + why);
  }
}

std::string ReaderTestbed::AddUsbSerial(const std::string& usbName, const std::string& vendorId,
                                        const std::string& productId, int acmIndex) {
  const std::string usb = std::string(kBus) + "/" + usbName;
  const std::string tty = "ttyACM" + std::to_string(acmIndex);
  // umockdev keeps every node name it made for the testbed's life (removing the device does
  // not free it), so a name used before is given a pseudo-terminal here instead.
  const bool again = !m_acmUsed.insert(acmIndex).second;
  if (again) OwnTerminal(acmIndex);
  AddFromString(UsbRecords(usbName, vendorId, productId, "02") + "P: " + usb + "/" + usbName +
                ":1.0/tty/" + tty + "\n" + (again ? "" : "N: " + tty + "\n") +
                "E: SUBSYSTEM=tty\n"
                "E: DEVNAME=/dev/" +
                tty +
                "\n"
                "E: ID_VENDOR_ID=" +
                vendorId +
                "\n"
                "E: ID_MODEL_ID=" +
                productId + "\n");
  const int master = MasterFd(acmIndex);
  fcntl(master, F_SETFD, fcntl(master, F_GETFD) | FD_CLOEXEC);
  return "/sys" + usb;
}

std::string ReaderTestbed::AddUsbHidraw(const std::string& usbName, const std::string& vendorId,
                                        const std::string& productId, int hidrawIndex) {
  const std::string usb = std::string(kBus) + "/" + usbName;
  const std::string node = "hidraw" + std::to_string(hidrawIndex);
  AddFromString(UsbRecords(usbName, vendorId, productId, "03") + "P: " + usb + "/" + usbName +
                ":1.0/0003:" + vendorId + ":" + productId + ".0001/hidraw/" + node +
                "\n"
                "N: " +
                node +
                "\n"
                "E: SUBSYSTEM=hidraw\n"
                "E: DEVNAME=/dev/" +
                node + "\n");
  return "/sys" + usb;
}

std::string ReaderTestbed::AddPlainTty(const std::string& name) {
  const std::string path = "/devices/platform/serial8250/tty/" + name;
  AddFromString("P: " + path +
                "\n"
                "N: " +
                name +
                "\n"
                "E: SUBSYSTEM=tty\n"
                "E: DEVNAME=/dev/" +
                name + "\n");
  return "/sys" + path;
}

void ReaderTestbed::OwnTerminal(int acmIndex) {
  if (auto old = m_ownTerminals.find(acmIndex); old != m_ownTerminals.end()) {
    close(old->second.first);
    close(old->second.second);
    m_ownTerminals.erase(old);
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[64];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name, sizeof name) != 0)
    throw std::runtime_error("no pseudo-terminal for ttyACM" + std::to_string(acmIndex));
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slave >= 0 && tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  m_ownTerminals[acmIndex] = {master, slave};
  gchar* root = umockdev_testbed_get_root_dir(m_tb);
  const std::string node = std::string(root) + "/dev/ttyACM" + std::to_string(acmIndex);
  g_free(root);
  unlink(node.c_str());
  if (symlink(name, node.c_str()) != 0) throw std::runtime_error("no node " + node);
}

int ReaderTestbed::MasterFd(int acmIndex) {
  if (auto own = m_ownTerminals.find(acmIndex); own != m_ownTerminals.end())
    return own->second.first;
  const std::string node = "/dev/ttyACM" + std::to_string(acmIndex);
  const int fd = umockdev_testbed_get_dev_fd(m_tb, node.c_str());
  if (fd < 0) throw std::runtime_error("no emulated node " + node);
  return fd;
}

void ReaderTestbed::UnplugTty(int acmIndex) {
  // dup2, not close: umockdev closes the master itself later.
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  dup2(null, MasterFd(acmIndex));
  close(null);
}

void ReaderTestbed::Remove(const std::string& sysPath) {
  gchar* root = umockdev_testbed_get_root_dir(m_tb);
  std::vector<std::string> devices;
  CollectDevices(root, sysPath, devices);
  std::vector<std::string> nodes;
  for (const std::string& d : devices) {
    std::ifstream uevent(root + d + "/uevent");
    for (std::string line; std::getline(uevent, line);)
      if (line.rfind("DEVNAME=", 0) == 0) nodes.push_back(line.substr(8));
  }
  // The removal sends no events of its own.
  for (const std::string& d : devices) umockdev_testbed_uevent(m_tb, d.c_str(), "remove");
  umockdev_testbed_remove_device(m_tb, sysPath.c_str());
  // The removal leaves the device nodes and the class and bus links behind (dev/ttyACM0,
  // sys/class/tty/ttyACM0 and the like): no device of the same name could be added again.
  for (const std::string& node : nodes)
    unlink((std::string(root) + "/dev/" + (node.rfind("/dev/", 0) == 0 ? node.substr(5) : node))
               .c_str());
  RemoveDanglingLinks(std::string(root) + "/sys/class", 1);
  RemoveDanglingLinks(std::string(root) + "/sys/bus", 2);
  g_free(root);
}

}  // namespace brisk::test
