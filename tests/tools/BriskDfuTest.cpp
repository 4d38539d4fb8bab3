// brisk-dfu run as its own program, against the whole reader on the emulated USB bus
// (brisk-usb-sim): the real libudev, hidraw and libusb paths.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

using Result = brisk::test::ProgramResult;

// brisk-dfu speaks Chinese under a zh_* locale only.
const std::vector<std::string> kChinese = {"LC_ALL=zh_CN.UTF-8"};

// Runs args in dir with extra environment entries.
Result RunProgram(const std::string& dir, std::vector<std::string> args,
                  const std::vector<std::string>& env = {}) {
  brisk::test::ProgramRun how;
  how.env = env;
  how.folder = dir;
  return brisk::test::RunProgram(std::move(args), how);
}

// Whether the process has ended (a zombie whose parent is gone counts as ended).
bool Ended(pid_t pid) {
  const std::string stat = brisk::test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return stat.empty() || close == std::string::npos || stat.substr(close + 2, 1) == "Z";
}

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = uint8_t(rng());
  return b;
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

Bytes ReadBytes(const std::string& path) {
  const std::string s = brisk::test::ReadFile(path);
  return Bytes(s.begin(), s.end());
}

class BriskDfuTool : public ::testing::Test {
 protected:
  // A package for the boot loader's identity (0483:A19B) with one image for target 0.
  std::string Package(const Bytes& data, const std::string& name = "pkg.dfu",
                      const std::string& pid = "A19B", const std::string& address = "0x08000000") {
    WriteFile(Dir() + "/" + name + ".bin", data);
    const Result r = RunProgram(Dir(), {BRISK_DFU, "pack", "-o", name, "--vid", "0483", "--pid",
                                        pid, "0:Internal Flash=" + address + ":" + name + ".bin"});
    EXPECT_EQ(r.code, 0) << r.err;
    return Dir() + "/" + name;
  }
  Result Sim(std::vector<std::string> simArgs, const std::vector<std::string>& command,
             const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = {BRISK_USB_SIM};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    return RunProgram(Dir(), args, env);
  }
  const std::string& Dir() const { return m_dir.Path(); }

  brisk::test::TempDir m_dir;
};

TEST_F(BriskDfuTool, FlashesVerifiesAndLeavesAReaderInDfuMode) {
  const Bytes data = RandomBytes(128 * 1024, 1);
  const std::string pkg = Package(data);
  const Result r = Sim({"--mode", "dfu", "--dump", "out.bin"}, {BRISK_DFU, "flash", pkg}, kChinese);
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("brisk-usb-sim: mode dfu\n"), 0u) << r.out;
  EXPECT_NE(r.out.find("校验成功\n"), std::string::npos);
  EXPECT_NE(r.out.find("升级完成。如未能成功打开端口，请重新插拔读卡器\n"), std::string::npos);
  EXPECT_EQ(r.out.find("对话框"), std::string::npos) << "a terminal has no dialog to close";
  EXPECT_NE(r.out.find("Leaving DFU mode 100%..."), std::string::npos);
  EXPECT_NE(r.err.find("early status requests 0,"), std::string::npos) << r.err;
  const Bytes memory = ReadBytes(Dir() + "/out.bin");
  ASSERT_GE(memory.size(), data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin()));
}

TEST_F(BriskDfuTool, FlashEnterAsksTheReaderOverUsbFirst) {
  const Bytes data = RandomBytes(16 * 1024, 2);
  const std::string pkg = Package(data);
  const Result r = Sim({"--dump", "out.bin"}, {BRISK_DFU, "flash", "--enter", "--json", pkg},
                       {"LC_ALL=", "LC_MESSAGES=en_GB.UTF-8", "LANG=zh_CN.UTF-8"});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  // English under any other locale: the first set of LC_ALL, LC_MESSAGES and LANG decides.
  EXPECT_NE(r.out.find("{\"event\":\"status\",\"text\":\"Verified\"}\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"text\":\"Upgrade done. If the port does not open, unplug and replug "
                       "the reader\"}\n"),
            std::string::npos)
      << r.out;
  const size_t normal = r.out.find("brisk-usb-sim: mode normal\n");
  const size_t dfu = r.out.find("brisk-usb-sim: mode dfu\n");
  EXPECT_EQ(normal, 0u);
  EXPECT_NE(dfu, std::string::npos);
  EXPECT_NE(r.out.find("{\"event\":\"result\",\"exit\":0,"), std::string::npos) << r.out;
  const Bytes memory = ReadBytes(Dir() + "/out.bin");
  ASSERT_GE(memory.size(), data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin()));
}

TEST_F(BriskDfuTool, AFlippedBitIsReportedAtItsAddressAndTheReaderStaysInDfuMode) {
  const Bytes data = RandomBytes(8 * 1024, 3);
  const std::string pkg = Package(data);
  const Result r =
      Sim({"--mode", "dfu", "--flip-bit", "0x08000410"},
          {"/bin/sh", "-c", std::string(BRISK_DFU) + " flash " + pkg + "; e=$?; sleep 1; exit $e"});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "Matching not good. First Difference at address 0x08000410:\nFile  byte  is  "
                "0x%02X.\nRead byte is 0x%02X.",
                data[0x410], data[0x410] ^ 1);
  EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Leaving"), std::string::npos);
  EXPECT_EQ(r.out.find("mode normal"), std::string::npos);
}

TEST_F(BriskDfuTool, AnUnplugDuringTheWriteEndsTheFlashWithoutHanging) {
  const std::string pkg = Package(RandomBytes(64 * 1024, 4));
  // The emulated reader reports the unplug a moment after the flash has ended.
  const Result r =
      Sim({"--mode", "dfu", "--unplug-at-block", "10"},
          {"/bin/sh", "-c",
           std::string(BRISK_DFU) + " flash --wait 2 " + pkg + "; e=$?; sleep 1; exit $e"},
          kChinese);
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("brisk-usb-sim: unplugged\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("升级成功"), std::string::npos);
}

TEST_F(BriskDfuTool, APackageForAnotherProductIsRefusedBeforeAnythingIsErased) {
  const Bytes before = RandomBytes(4096, 5);
  WriteFile(Dir() + "/before.bin", before);
  const std::string pkg = Package(RandomBytes(4096, 6), "other.dfu", "1234");
  const Result r = Sim({"--mode", "dfu", "--memory", "before.bin", "--dump", "out.bin"},
                       {BRISK_DFU, "flash", pkg}, kChinese);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("升级文件与当前设备不匹配，无法升级\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("brisk-dfu: the package is for 0483:1234, the device is 0483:A19B\n"),
            std::string::npos)
      << r.err;
  const Bytes memory = ReadBytes(Dir() + "/out.bin");
  ASSERT_GE(memory.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.end(), memory.begin()));
}

TEST_F(BriskDfuTool, WithoutAPackageTheNewestCachedOneThatFitsIsFlashed) {
  const std::string cache = Dir() + "/config/BriskNetService/DFU";
  ASSERT_EQ(std::system(("mkdir -p '" + cache + "/dir.dfu'").c_str()), 0);
  const Bytes fits = RandomBytes(4096, 7), older = RandomBytes(4096, 8);
  struct Cached {
    std::string name;
    std::string pid;
    const Bytes* data;
    time_t age;
  };
  const Bytes other = RandomBytes(4096, 9);
  const Cached files[] = {{"a-newest-other.dfu", "1234", &other, 100},
                          {"b-second.dfu", "A19B", &fits, 200},
                          {"c-oldest.dfu", "A19B", &older, 300}};
  const time_t now = time(nullptr);
  for (const Cached& c : files) {
    const std::string made = Package(*c.data, c.name, c.pid);
    ASSERT_EQ(rename(made.c_str(), (cache + "/" + c.name).c_str()), 0);
    timespec times[2] = {{now - c.age, 0}, {now - c.age, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (cache + "/" + c.name).c_str(), times, 0), 0);
  }
  WriteFile(cache + "/broken.dfu", Bytes(64, 0x42));  // the newest, but not a package
  const Result r = Sim({"--mode", "dfu", "--dump", "out.bin"}, {BRISK_DFU, "flash"},
                       {"XDG_CONFIG_HOME=" + Dir() + "/config", "LC_ALL=zh_CN.UTF-8"});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("找到匹配的升级包,开始升级\n"), std::string::npos);
  const Bytes memory = ReadBytes(Dir() + "/out.bin");
  ASSERT_GE(memory.size(), fits.size());
  EXPECT_TRUE(std::equal(fits.begin(), fits.end(), memory.begin()));
}

TEST_F(BriskDfuTool, NoDeviceWithinTheWaitOrNoReaderToAskExitsTwo) {
  const std::string pkg = Package(RandomBytes(1024, 10));
  Result r = Sim({"--no-hid", "--no-vendor"}, {BRISK_DFU, "flash", "--wait", "1", pkg});
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  for (const auto& command : {std::vector<std::string>{BRISK_DFU, "enter"},
                              std::vector<std::string>{BRISK_DFU, "flash", "--enter", pkg}}) {
    r = Sim({"--no-hid", "--no-vendor"}, command);
    EXPECT_EQ(r.code, 2) << command.back() << r.err;
    EXPECT_NE(r.err.find("brisk-dfu: no reader found\n"), std::string::npos) << r.err;
  }
}

// Each fault of the device, and a package outside its memory, is named: the operation, where it
// stopped, the library's status text and code, on one line and in the JSON result.
TEST_F(BriskDfuTool, EveryFailureIsNamedOnOneLineAndInJson) {
  const std::string pkg = Package(RandomBytes(8192, 11));
  const std::string outside = Package(RandomBytes(8192, 12), "outside.dfu", "A19B", "0x0803F000");
  struct Case {
    std::vector<std::string> sim;
    std::string package, reason, operation, code;
  };
  const Case cases[] = {
      {{"--fault", "erase"},
       pkg,
       "erase failed at erase of the sector at 0x08000000: the device cannot erase the memory "
       "(errERASE) (0x12345024)",
       "\"erase\"",
       "\"0x12345024\""},
      {{"--fault", "write"},
       pkg,
       "write failed at download block 2 at 0x08000000: the device cannot write the memory "
       "(errWRITE) (0x12345023)",
       "\"download\"",
       "\"0x12345023\""},
      {{"--fault", "manifest"},
       pkg,
       "leaving DFU mode failed at manifestation: the firmware is corrupt (errFIRMWARE) "
       "(0x1234502A)",
       "\"leave\"",
       "\"0x1234502A\""},
      {{"--unplug-at-block", "3"},
       pkg,
       "write failed at download block 3 at 0x08000800: the device left the bus (0x12345007)",
       "\"download\"",
       "\"0x12345007\""},
      {{"--read-protected"},
       pkg,
       "erase failed at erase of the sector at 0x08000000: the device refuses the target "
       "(errTARGET) (0x12345021); the device is read-protected",
       "\"erase\"",
       "\"0x12345021\""},
      {{"--wrp", "FFFFFFFE"},
       pkg,
       "erase failed at erase of the sector at 0x08000000: the device cannot erase the memory "
       "(errERASE) (0x12345024); a sector of the image is write-protected",
       "\"erase\"",
       "\"0x12345024\""},
      {{},
       outside,
       "write refused: the image lies outside the device's memory: image reaches outside the "
       "target (0x12346012)",
       "\"download\"",
       "\"0x12346012\""},
      {{"--dfu-version", "0100"},
       pkg,
       "the device speaks DFU version 0100; supported are 011A to 011F",
       "null",
       "null"},
      {{},
       Dir() + "/missing.dfu",
       "cannot use the package " + Dir() +
           "/missing.dfu: cannot open or read the file: No such file or directory (0x12346003)",
       "null",
       "\"0x12346003\""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> sim = {"--mode", "dfu", "--busy-scale", "0"};
    sim.insert(sim.end(), c.sim.begin(), c.sim.end());
    Result r = Sim(sim, {BRISK_DFU, "flash", "--wait", "5", c.package});
    EXPECT_EQ(r.code, 1) << c.reason << r.out << r.err;
    EXPECT_NE(r.err.find("brisk-dfu: " + c.reason + "\n"), std::string::npos) << r.err;
    r = Sim(sim, {BRISK_DFU, "flash", "--json", "--wait", "5", c.package});
    EXPECT_NE(r.out.find("{\"event\":\"result\",\"exit\":1,\"status\":\"" + c.reason +
                         "\",\"operation\":" + c.operation + ",\"code\":" + c.code + "}\n"),
              std::string::npos)
        << r.out;
  }
}

TEST_F(BriskDfuTool, EnterWorksOverEitherInterfaceAndFallsBackWhenTheHidNodeIsHeld) {
  const std::string enter = BRISK_DFU + std::string(" enter");
  // Each path alone.
  for (const char* only : {"--no-vendor", "--no-hid"}) {
    const Result r = Sim({only}, {"/bin/sh", "-c", enter + " && sleep 1"});
    EXPECT_EQ(r.code, 0) << only << r.err;
    EXPECT_NE(r.out.find("brisk-usb-sim: mode dfu\n"), std::string::npos) << only << r.out;
  }
  // Another program holds the HID node: without the vendor interface nothing is left ...
  const std::string held = "flock /dev/hidraw0 " + enter;
  Result r = Sim({"--no-vendor"}, {"/bin/sh", "-c", held});
  EXPECT_EQ(r.code, 1) << r.err;
  // ... with it, the channel falls back to it.
  r = Sim({}, {"/bin/sh", "-c", held + " && sleep 1"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("brisk-usb-sim: mode dfu\n"), std::string::npos) << r.out;
}

TEST_F(BriskDfuTool, AVendorReplyIsReadInFullOrRefusedWhenItAnnouncesMoreThanFits) {
  const std::string enter = std::string(BRISK_DFU) + " enter; e=$?; sleep 1; exit $e";
  // Two bytes behind the head are read as the rest of the reply.
  Result r = Sim({"--no-hid", "--reply-length", "6"}, {"/bin/sh", "-c", enter});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("mode dfu"), std::string::npos);
  r = Sim({"--no-hid", "--reply-length", "62"}, {"/bin/sh", "-c", enter});
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(r.out.find("mode dfu"), std::string::npos);
}

TEST_F(BriskDfuTool, SerialCommand15AlsoSendsTheEmulatedReaderIntoDfuMode) {
  const Result r =
      Sim({"--quiet"},
          {"/bin/sh", "-c",
           std::string(BRISK_READER) + " --port 1 enter-dfu && sleep 1 && " + BRISK_DFU + " list"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("enter DFU mode: ok\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("brisk-usb-sim: mode dfu\n"), std::string::npos);
  EXPECT_NE(r.out.find("USB#VID_0483&PID_A19B#1-1#"), std::string::npos);
}

TEST_F(BriskDfuTool, ListShowsTheDeviceItsDfuVersionAndTargets) {
  const Result r = Sim({"--mode", "dfu"}, {BRISK_DFU, "list"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("USB#VID_0483&PID_A19B#1-1#{3FE809AB-FB91-4CB5-A643-69670D52366E}\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("VID 0483 PID A19B, DFU version 011A, transfer size 2048"),
            std::string::npos);
  EXPECT_NE(r.out.find("target 00 \"Internal Flash  \": 128 sectors..."), std::string::npos);
  EXPECT_NE(r.out.find("Sector 000\t0x08000000\t0x080007FF\t2 Kb\tRWE\n"), std::string::npos);
  EXPECT_NE(r.out.find("target 01 \"Option Bytes  \": 1 sectors..."), std::string::npos);
}

TEST_F(BriskDfuTool, PackAndInfoRoundTripBinaryAndIntelHexImages) {
  WriteFile(Dir() + "/a.bin", Bytes{1, 2, 3, 4});
  // 3 bytes at 0x08001000 behind an extended linear address record.
  std::ofstream(Dir() + "/b.hex") << ":020000040800F2\n:03100000AABBCCBC\n:00000001FF\n";
  Result r = RunProgram(
      Dir(), {BRISK_DFU, "pack", "-o", "p.dfu", "--vid", "0425", "--pid", "8159", "--version",
              "0102", "0:Flash=0x08000000:a.bin", "0=b.hex", "1:Option Bytes=0x1FFFF800:a.bin"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = RunProgram(Dir(), {BRISK_DFU, "info", "p.dfu", "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"vendor\":\"0425\",\"product\":\"8159\",\"version\":\"0102\",\"images\":["
            "{\"alternate\":0,\"name\":\"Flash\",\"elements\":[{\"address\":\"0x08000000\","
            "\"size\":4},{\"address\":\"0x08001000\",\"size\":3}]},"
            "{\"alternate\":1,\"name\":\"Option Bytes\",\"elements\":[{\"address\":"
            "\"0x1FFFF800\",\"size\":4}]}]}\n");
  // A damaged package is refused with the reason; a bad HEX checksum too.
  std::string bytes = brisk::test::ReadFile(Dir() + "/p.dfu");
  bytes[20] ^= 1;
  std::ofstream(Dir() + "/bad.dfu", std::ios::binary) << bytes;
  r = RunProgram(Dir(), {BRISK_DFU, "info", "bad.dfu"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("bad.dfu: "), std::string::npos) << r.err;
  std::ofstream(Dir() + "/c.hex") << ":03100000AABBCCBD\n:00000001FF\n";
  r = RunProgram(Dir(), {BRISK_DFU, "pack", "-o", "q.dfu", "--vid", "1", "--pid", "2", "0=c.hex"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("checksum"), std::string::npos) << r.err;
  // An endless input stops at its limit; a missing one says why.
  ASSERT_EQ(symlink("/dev/zero", (Dir() + "/zero.hex").c_str()), 0);
  const std::pair<const char*, const char*> inputs[] = {
      {"0=0x0:/dev/zero", "brisk-dfu: /dev/zero: larger than 16 MiB\n"},
      {"0=zero.hex", "brisk-dfu: zero.hex: larger than 48 MiB\n"},
      {"0=0x0:missing.bin", "brisk-dfu: missing.bin: No such file or directory\n"}};
  for (const auto& [image, error] : inputs) {
    r = RunProgram(Dir(), {BRISK_DFU, "pack", "-o", "z.dfu", "--vid", "1", "--pid", "2", image});
    EXPECT_EQ(r.code, 1) << image;
    EXPECT_EQ(r.err, error);
  }
  // An output that cannot be written says why.
  r = RunProgram(Dir(), {BRISK_DFU, "pack", "-o", "/nonexist/x.dfu", "--vid", "1", "--pid", "2",
                         "0=0x0:a.bin"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err,
            "brisk-dfu: /nonexist/x.dfu: cannot write the file: No such file or directory\n");
}

TEST_F(BriskDfuTool, JsonStaysValidUtf8WhateverBytesANameHolds) {
  WriteFile(Dir() + "/a.bin", Bytes{1, 2});
  const std::string name = "Fl\xFF\xC3sh\x01\"";  // a stray byte, a cut sequence, a control
  Result r = RunProgram(Dir(), {BRISK_DFU, "pack", "-o", "n.dfu", "--vid", "1", "--pid", "2",
                                "0:" + name + "=0x0:a.bin"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = RunProgram(Dir(), {BRISK_DFU, "info", "n.dfu", "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"name\":\"Fl\xEF\xBF\xBD\xEF\xBF\xBDsh\\u0001\\\"\""), std::string::npos)
      << r.out;
}

// A flash stopped once the reader is being written says so, and how to bring the reader back.
TEST_F(BriskDfuTool, AStopMidFlashSaysSoAndHowToRecover) {
  const std::string pkg = Package(RandomBytes(128 * 1024, 13));
  const std::string script = std::string(BRISK_DFU) + " flash " + pkg +
                             " >flash.out 2>flash.err & p=$!; i=0; "
                             "until grep -q 'Download Phase' flash.out || [ $i -ge 600 ]; do "
                             "sleep 0.05; i=$((i+1)); done; "
                             "kill -TERM $p; wait $p; echo exit=$?; cat flash.err";
  const Result r = Sim({"--mode", "dfu"}, {"/bin/sh", "-c", script});
  EXPECT_NE(r.out.find("exit=143\n"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("brisk-dfu: stopped by SIGTERM\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("left erased in DFU mode; run brisk-dfu flash again"), std::string::npos)
      << r.out;
}

}  // namespace

// The reader's firmware identity: CRC-32 of its first memory without the trailing erased bytes.
TEST_F(BriskDfuTool, TheReaderComesBackReportingTheIdentityOfItsNewFirmware) {
  Bytes data = RandomBytes(16 * 1024, 9);
  data.back() = 0x5A;
  uint32_t crc = 0xFFFFFFFF;
  for (uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  char expected[64];
  std::snprintf(expected, sizeof expected, "brisk-usb-sim: firmware crc32 %08X\n", ~crc);
  // The flasher ends at the leave; the reader's return takes a moment more.
  const Result r =
      Sim({"--mode", "dfu"},
          {"/bin/sh", "-c", std::string(BRISK_DFU) + " flash '" + Package(data) + "' && sleep 2"});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  const size_t normal = r.out.find("brisk-usb-sim: mode normal\n");
  ASSERT_NE(normal, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(expected), normal + 27) << r.out;
}

// A signal to the emulation ends the command it runs, and an emulation killed outright takes
// the command with it: no program is left running on a bus that is gone.
TEST_F(BriskDfuTool, TheCommandEndsWithTheEmulation) {
  for (int sig : {SIGTERM, SIGKILL}) {
    const std::string pidFile = Dir() + "/command-" + std::to_string(sig);
    brisk::test::ChildProcess sim(
        {BRISK_USB_SIM, "--", "/bin/sh", "-c", "echo $$ > " + pidFile + "; exec sleep 60"});
    ASSERT_TRUE(brisk::test::Eventually(
        [&] { return brisk::test::ReadFile(pidFile).find('\n') != std::string::npos; }, 20000));
    const pid_t command = std::stoi(brisk::test::ReadFile(pidFile));
    sim.Signal(sig);
    EXPECT_EQ(sim.Wait(), sig == SIGTERM ? 128 + SIGTERM : 256) << sim.Err();
    EXPECT_TRUE(brisk::test::Eventually([&] { return Ended(command); }, 10000)) << sig;
  }
}
