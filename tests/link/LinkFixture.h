#pragma once
// A service talking to a simulated reader over a real pty, with the log on in a private folder.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "link/Brisk7Service.h"
#include "log/Log.h"
#include "sim/reader/ReaderSim.h"
#include "tests/link/ServiceAccess.h"
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

  test::ScopedTmpdir tmp;
  test::LogCapture log;
  std::unique_ptr<sim::ReaderSim> reader;
  Brisk7Service service;
};

using Bytes = std::vector<uint8_t>;

}  // namespace brisk::link
