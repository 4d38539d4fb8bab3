#pragma once
// A service talking to a simulated reader over a real pty, with the log on in a private folder.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "link/Brisk7Service.h"
#include "log/Log.h"
#include "sim/reader/ReaderSim.h"
#include "tests/support/TestSupport.h"

namespace brisk::link {

class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogSwitch(1);
    reader = sim::ReaderSim::Create();
    ASSERT_NE(reader, nullptr);
  }
  void TearDown() override {
    service.Stop(0);
    SetLogSwitch(0);
  }
  void StartService() { ASSERT_EQ(service.StartDevice(reader->SlavePath()), 1); }
  std::string Log() const { return log.Text(); }
  bool LogHas(const std::string& text) const { return log.Has(text); }
  bool WaitLog(const std::string& text, int ms = 5000) const { return log.WaitFor(text, ms); }
  // An answer that no command waits for is logged with its bytes ("05 00 00 ") ending the line.
  size_t LateAnswers(const std::string& hex) const {
    const std::string tail = "late answer: " + hex;
    size_t n = 0;
    for (const std::string& line : log.Lines())
      n += line.size() >= tail.size() &&
           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    return n;
  }
  bool WaitLateAnswer(const std::string& hex, size_t before = 0, int ms = 5000) const {
    return test::Eventually([&] { return LateAnswers(hex) > before; }, ms);
  }
  // Threads of this process whose name is the relay thread's.
  static int RelayThreads() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      count += name == "brisk-relay";
    }
    closedir(dir);
    return count;
  }
  // No relay thread is left once a stop has joined it. The kernel may list a joined thread a
  // little longer while it finishes its exit, the more so on a busy machine: that is waited for.
  static bool NoRelayThreadLeft() {
    return test::Eventually([] { return RelayThreads() == 0; });
  }

  test::ScopedTmpdir tmp;
  test::LogCapture log;
  std::unique_ptr<sim::ReaderSim> reader;
  Brisk7Service service;
};

using Bytes = std::vector<uint8_t>;

}  // namespace brisk::link
