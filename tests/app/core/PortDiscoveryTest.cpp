// Port discovery against emulated readers, and the chain discovery -> open -> frames.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>

#include "app/core/PortDiscovery.h"
#include "link/Brisk7Service.h"
#include "platform/Clock.h"
#include "sim/reader/ReaderSim.h"
#include "tests/platform/devices/ReaderTestbed.h"

extern char** environ;

namespace brisk::app {

namespace {

constexpr int kGenerousMs = 20000;

// Polls cond until it holds or a generous limit passes.
template <typename F>
bool Eventually(F cond) {
  const int64_t end = platform::NowMs() + kGenerousMs;
  while (platform::NowMs() < end) {
    if (cond()) return true;
    usleep(10000);
  }
  return cond();
}

}  // namespace

TEST(PortDiscovery, ListsReaderPortsInEnumerationOrderAfterAuto) {
  test::ReaderTestbed tb;
  tb.AddUsbSerial("1-1", "0425", "8159", 3);
  tb.AddUsbSerial("1-2", "0400", "c35a", 0);  // lower-case identifier
  tb.AddUsbSerial("1-3", "0425", "c35a", 1);  // vendor of one row, product of the other
  tb.AddUsbSerial("1-4", "0400", "8159", 2);
  tb.AddUsbHidraw("1-5", "0425", "8159", 0);  // right identity, no tty
  tb.AddPlainTty("ttyS0");

  std::vector<std::string> list = {"stale", "entries"};
  DiscoverPorts(list);
  // Enumeration order (by device path), not by name: COM4 before COM1.
  EXPECT_EQ(list, (std::vector<std::string>{kAutoPortName, "COM4", "COM1"}));
}

TEST(PortDiscovery, NoReaderGivesOnlyAutoAndAStoredPortShowsNoSelection) {
  test::ReaderTestbed tb;
  tb.AddUsbSerial("1-3", "0425", "c35a", 1);
  tb.AddPlainTty("ttyS0");
  std::vector<std::string> list;
  DiscoverPorts(list);
  ASSERT_EQ(list, std::vector<std::string>{kAutoPortName});
  EXPECT_EQ(FillPortCombo(list, 0)->selected, 0);
  const auto stored = FillPortCombo(list, 2);
  EXPECT_EQ(stored->selected, -1);
  EXPECT_FALSE(ChoosePort(list, stored->selected, 2));
}

TEST(PortDiscovery, ARemovedReaderLeavesTheListAndAnAddedOneJoinsIt) {
  test::ReaderTestbed tb;
  const std::string a = tb.AddUsbSerial("1-1", "0425", "8159", 0);
  std::vector<std::string> list;
  DiscoverPorts(list);
  EXPECT_EQ(list, (std::vector<std::string>{kAutoPortName, "COM1"}));
  tb.Remove(a);
  tb.AddUsbSerial("1-2", "0400", "c35a", 4);
  DiscoverPorts(list);
  EXPECT_EQ(list, (std::vector<std::string>{kAutoPortName, "COM5"}));
}

TEST(ReaderChain, AutomaticStartOpensTheDiscoveredReaderAndItAnswers) {
  test::ReaderTestbed tb;
  tb.AddUsbSerial("1-1", "0425", "8159", 2);
  auto reader = sim::ReaderSim::Attach(tb.MasterFd(2));
  reader->EditReaderState([](sim::ReaderSim::State& s) { s.cat1Model = 0x21; });

  std::vector<std::string> list;
  DiscoverPorts(list);
  ASSERT_EQ(list, (std::vector<std::string>{kAutoPortName, "COM3"}));

  link::Brisk7Service service;
  ASSERT_EQ(service.Start(0, list), 1);
  EXPECT_EQ(service.ComPort(), 3);
  const link::Cat1Module cat1 = service.GetCat1Module();
  EXPECT_EQ(cat1.result, 1);
  EXPECT_EQ(cat1.model, 0x21);
  EXPECT_EQ(reader->ReceivedCount(1), 1u);

  // Unplugged while linked: the relay ends by itself, and discovery no longer lists it.
  reader->Unplug();
  EXPECT_TRUE(Eventually([&] { return !service.IsRelayRunning(); }));
  service.Stop(0);
}

TEST(ReaderChain, TheReaderToolOpensTheDiscoveredReaderByItsPortNumber) {
  const char* bin = std::getenv("BRISK_TEST_BINARY_DIR");
  const std::string tool = std::string(bin ? bin : ".") + "/tools/brisk-reader/brisk-reader";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "brisk-reader not built: " << tool;

  test::ReaderTestbed tb;
  tb.AddUsbSerial("1-1", "0400", "c35a", 6);
  auto reader = sim::ReaderSim::Attach(tb.MasterFd(6));
  std::vector<std::string> list;
  DiscoverPorts(list);
  ASSERT_EQ(list.size(), 2u);
  const std::string port = std::to_string(PortNameToNumber(list[1]));
  ASSERT_EQ(port, "7");

  // The tool runs as its own program; it inherits the testbed through the environment.
  std::vector<std::string> args = {tool, "--port", port, "cat1"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_GE(reader->ReceivedCount(1), 1u);
}

}  // namespace brisk::app
