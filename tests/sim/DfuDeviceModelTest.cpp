// The DFU device model on its own, driven in-process by setup packets.
#include "sim/dfu/DfuDeviceModel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace brisk::sim {
using namespace dfu;

namespace {

class Host {
 public:
  explicit Host(DfuDeviceModel& m) : model(m) {}

  ControlResult Out(uint8_t request, uint16_t value, std::vector<uint8_t> data = {}) {
    return model.HandleControl({0x21, request, value, 0, uint16_t(data.size())}, data);
  }
  ControlResult In(uint8_t request, uint16_t value, uint16_t length) {
    return model.HandleControl({0xA1, request, value, 0, length});
  }
  // GETSTATUS answer: {bStatus, bState, poll}, asked once the last announced poll time-out
  // has passed, as a host must.
  std::tuple<uint8_t, uint8_t, uint32_t> Status() {
    std::this_thread::sleep_until(next);
    ControlResult r = In(GETSTATUS, 0, 6);
    EXPECT_FALSE(r.stall);
    EXPECT_EQ(r.data.size(), 6u);
    if (r.data.size() != 6) return {0xFF, 0xFF, 0};
    const uint32_t poll = uint32_t(r.data[1] | r.data[2] << 8 | r.data[3] << 16);
    next = std::chrono::steady_clock::now() + std::chrono::milliseconds(poll);
    return {r.data[0], r.data[4], poll};
  }
  // One block 0 command or data block, then the two status reads; returns the final bStatus.
  uint8_t Download(uint16_t block, std::vector<uint8_t> data) {
    if (Out(DNLOAD, block, std::move(data)).stall) return 0xFF;
    auto [s1, busy, poll] = Status();
    EXPECT_EQ(busy, dfuDNBUSY);
    auto [s2, state, p2] = Status();
    return state == dfuERROR ? s2 : state == dfuDNLOAD_IDLE ? uint8_t(OK) : uint8_t(0xFE);
  }
  uint8_t SetPointer(uint32_t a) {
    return Download(
        0, {dfu::SetAddress, uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(a >> 24)});
  }
  uint8_t ErasePage(uint32_t a) {
    return Download(0,
                    {dfu::Erase, uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(a >> 24)});
  }
  void Recover() {
    if (model.State() == dfuERROR)
      Out(CLRSTATUS, 0);
    else
      Out(ABORT, 0);
    ASSERT_EQ(model.State(), dfuIDLE);
  }

  DfuDeviceModel& model;
  std::chrono::steady_clock::time_point next{};
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
  return v;
}

std::string StringOf(const std::vector<uint8_t>& d) {
  std::string s;
  for (size_t i = 2; i + 1 < d.size(); i += 2) s += char(d[i]);
  return s;
}

TEST(DfuDeviceModel, DescribesItsMemoryInTheAlternateSettingStrings) {
  DfuDeviceModel model;
  const auto cfg = model.ConfigurationDescriptor();
  ASSERT_EQ(cfg[4], 1);  // one interface
  // Two interface descriptors, then one functional descriptor after the last one.
  ASSERT_EQ(cfg.size(), 9u + 9 + 9 + 9);
  EXPECT_EQ(cfg[9 + 3], 0);
  EXPECT_EQ(cfg[18 + 3], 1);
  EXPECT_EQ(cfg[27 + 1], 0x21);
  EXPECT_EQ(cfg[27 + 5] | cfg[27 + 6] << 8, 2048);
  EXPECT_EQ(cfg[27 + 7] | cfg[27 + 8] << 8, 0x011A);
  EXPECT_EQ(StringOf(model.StringDescriptor(cfg[9 + 8])), "@Internal Flash  /0x08000000/128*002Kg");
  EXPECT_EQ(StringOf(model.StringDescriptor(cfg[18 + 8])), "@Option Bytes  /0x1FFFF800/01*016 e");

  DfuMemory mixed;
  mixed.name = "Mixed";
  mixed.start = 0x08000000;
  mixed.runs = {{4, 16 * 1024, Readable | Erasable | Writable},
                {1, 64 * 1024, Readable},
                {2, 1024 * 1024, Erasable},
                {3, 100, Writable | Readable}};
  EXPECT_EQ(mixed.MapString(), "@Mixed/0x08000000/04*016Kg,01*064Ka,02*001Mb,03*100 e");
}

TEST(DfuDeviceModel, RunsTheDownloadCycleAndWritesAtThePointer) {
  DfuDeviceModel model;
  Host host(model);
  EXPECT_EQ(host.SetPointer(0x08000800), OK);
  EXPECT_EQ(model.AddressPointer(), 0x08000800u);
  EXPECT_EQ(host.ErasePage(0x08000800), OK);

  // The erase reports its poll time-out while busy.
  ASSERT_FALSE(host.Out(DNLOAD, 0, {Erase, 0x00, 0x10, 0x00, 0x08}).stall);
  EXPECT_EQ(model.State(), dfuDNLOAD_SYNC);
  auto [s, busy, poll] = host.Status();
  EXPECT_EQ(busy, dfuDNBUSY);
  EXPECT_EQ(poll, model.Config().erasePollMs);
  host.Status();

  const auto first = Pattern(2048, 1), second = Pattern(100, 9);
  EXPECT_EQ(host.Download(2, first), OK);
  EXPECT_EQ(host.Download(3, second), OK);  // pointer + 1 * wTransferSize
  EXPECT_EQ(model.ReadMemory(0x08000800, 2048), first);
  EXPECT_EQ(model.ReadMemory(0x08001000, 100), second);

  host.Recover();
  ControlResult up = host.In(UPLOAD, 3, 100);
  ASSERT_FALSE(up.stall);
  EXPECT_EQ(up.data, second);
  EXPECT_EQ(model.State(), dfuUPLOAD_IDLE);
  ControlResult commands = [&] {
    host.Recover();
    return host.In(UPLOAD, 0, 16);
  }();
  EXPECT_EQ(commands.data, (std::vector<uint8_t>{GetCommands, SetAddress, Erase, ReadUnprotect}));
  EXPECT_EQ(model.State(), dfuIDLE) << "a short frame ends the upload";
}

TEST(DfuDeviceModel, RefusesWritesToMemoryThatIsNotErasedOrNotThere) {
  DfuDeviceModel model;
  Host host(model);
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  ASSERT_EQ(host.Download(2, {0x00, 0x0F}), OK);
  EXPECT_EQ(host.Download(2, {0xF0}), errPROG);
  host.Recover();
  EXPECT_EQ(host.SetPointer(0x20000000), errADDRESS);
  host.Recover();
  EXPECT_EQ(model.AddressPointer(), 0x08000000u);
  ASSERT_EQ(host.SetPointer(0x0803FF00), OK);
  EXPECT_EQ(host.Download(2, Pattern(0x200, 3)), errADDRESS) << "runs past the end of flash";
  host.Recover();

  // A mass erase clears what was written.
  EXPECT_EQ(host.Download(0, {Erase}), OK);
  EXPECT_EQ(model.ReadMemory(0x08000000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

TEST(DfuDeviceModel, StallsRequestsThatDoNotFitItsState) {
  DfuDeviceModel model;
  Host host(model);
  EXPECT_TRUE(host.Out(CLRSTATUS, 0).stall);
  EXPECT_EQ(model.State(), dfuERROR);
  EXPECT_EQ(model.Status(), errSTALLEDPKT);
  EXPECT_TRUE(host.Out(DNLOAD, 2, {1}).stall) << "only CLRSTATUS leaves dfuERROR";
  EXPECT_FALSE(host.Out(CLRSTATUS, 0).stall);
  EXPECT_EQ(model.State(), dfuIDLE);

  const struct {
    const char* what;
    SetupPacket setup;
    std::vector<uint8_t> data;
  } refused[] = {
      {"UPLOAD block 1", {0xA1, UPLOAD, 1, 0, 16}, {}},
      {"DNLOAD block 1", {0x21, DNLOAD, 1, 0, 1}, {1}},
      {"unknown command", {0x21, DNLOAD, 0, 0, 1}, {0x55}},
      {"set address without address", {0x21, DNLOAD, 0, 0, 1}, {SetAddress}},
      {"longer than wTransferSize", {0x21, DNLOAD, 2, 0, 2049}, std::vector<uint8_t>(2049)},
      {"upload longer than wTransferSize", {0xA1, UPLOAD, 2, 0, 4096}, {}},
      {"unknown request", {0x21, 7, 0, 0, 0}, {}},
      {"wrong direction", {0x21, GETSTATUS, 0, 0, 0}, {}},
      {"unknown interface", {0xA1, GETSTATE, 0, 4, 1}, {}},
      {"zero-length download before any address", {0x21, DNLOAD, 0, 0, 0}, {}},
  };
  for (const auto& r : refused) {
    EXPECT_TRUE(model.HandleControl(r.setup, r.data).stall) << r.what;
    EXPECT_EQ(model.State(), dfuERROR) << r.what;
    host.Recover();
  }
  // No upload right after a download: the pending block must be settled first.
  host.Out(DNLOAD, 0, {SetAddress, 0, 0, 0, 8});
  EXPECT_TRUE(host.In(UPLOAD, 2, 16).stall);
}

TEST(DfuDeviceModel, InjectedStatusErrorsAppearInTheirPhase) {
  DfuDeviceModel model;
  Host host(model);
  model.InjectStatusError(DfuPhase::Erase, errERASE, 1);
  EXPECT_EQ(host.ErasePage(0x08000000), OK) << "the first erase is skipped";
  EXPECT_EQ(host.ErasePage(0x08000000), errERASE);
  EXPECT_EQ(model.State(), dfuERROR);
  host.Recover();
  EXPECT_EQ(host.ErasePage(0x08000000), OK) << "the fault fires once";

  model.InjectStatusError(DfuPhase::Write, errWRITE);
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  EXPECT_EQ(host.Download(2, {1, 2, 3}), errWRITE);
  EXPECT_EQ(model.ReadMemory(0x08000000, 1), (std::vector<uint8_t>{0xFF}))
      << "a failed write writes nothing";
  host.Recover();

  model.InjectStatusError(DfuPhase::Read, errFILE);
  EXPECT_TRUE(host.In(UPLOAD, 2, 16).stall);
  EXPECT_EQ(model.Status(), errFILE);
  host.Recover();

  model.InjectStatusError(DfuPhase::Manifest, errFIRMWARE);
  host.Out(DNLOAD, 0, {});
  auto [status, state, poll] = host.Status();
  EXPECT_EQ(state, dfuERROR);
  EXPECT_EQ(status, errFIRMWARE);
  EXPECT_TRUE(model.Connected());

  model.RefuseRequest(GETSTATE);
  host.Recover();
  EXPECT_TRUE(host.In(GETSTATE, 0, 1).stall);
}

TEST(DfuDeviceModel, UnplugsAtTheChosenBlock) {
  DfuDeviceModel model;
  Host host(model);
  int calls = 0;
  bool left = true;
  model.SetDisconnectCallback([&](bool l) {
    ++calls;
    left = l;
  });
  model.UnplugAt(DNLOAD, 3);
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  ASSERT_EQ(host.Download(2, {1}), OK);
  EXPECT_TRUE(host.Out(DNLOAD, 3, {2}).gone);
  EXPECT_TRUE(host.In(GETSTATUS, 0, 6).gone);
  EXPECT_FALSE(model.Connected());
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(left);
  EXPECT_EQ(model.ReadMemory(0x08000800, 1), (std::vector<uint8_t>{0xFF}));
}

TEST(DfuDeviceModel, FlipsTheChosenBitOfWhatIsWritten) {
  DfuDeviceModel model;
  Host host(model);
  model.FlipBitOnWrite(0x08000005, 3);
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  const auto data = Pattern(16, 0x40);
  ASSERT_EQ(host.Download(2, data), OK);
  auto stored = model.ReadMemory(0x08000000, 16);
  EXPECT_EQ(stored[5], data[5] ^ 0x08);
  stored[5] = data[5];
  EXPECT_EQ(stored, data);
}

TEST(DfuDeviceModel, ReadProtectionRefusesUploadsUntilRemoved) {
  DfuDeviceConfig config;
  config.readProtected = true;
  DfuDeviceModel model(config);
  Host host(model);
  model.WriteMemory(0x08000000, std::vector<uint8_t>{0x12, 0x34});
  EXPECT_TRUE(model.ReadProtected());
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  EXPECT_TRUE(host.In(UPLOAD, 2, 16).stall);
  EXPECT_EQ(model.State(), dfuERROR);
  host.Recover();
  EXPECT_EQ(host.ErasePage(0x08000000), errTARGET);
  host.Recover();

  EXPECT_EQ(host.Download(0, {ReadUnprotect}), OK);
  EXPECT_FALSE(model.ReadProtected());
  EXPECT_EQ(model.ReadMemory(0x08000000, 2), (std::vector<uint8_t>{0xFF, 0xFF}))
      << "unprotecting erases the flash";
  host.Recover();
  ASSERT_EQ(host.SetPointer(kOptionBytesAddress), OK);
  host.Recover();
  ControlResult ob = host.In(UPLOAD, 2, 16);
  ASSERT_EQ(ob.data.size(), 16u);
  EXPECT_EQ(ob.data[0], 0xA5);
  EXPECT_EQ(ob.data[8], 0xFF);

  // Writing the option bytes turns protection back on.
  host.Recover();
  std::vector<uint8_t> bytes = ob.data;
  bytes[0] = 0x00;
  EXPECT_EQ(host.Download(2, bytes), OK);
  EXPECT_TRUE(model.ReadProtected());
}

TEST(DfuDeviceModel, WriteProtectionGuardsFourSectorsPerBit) {
  DfuDeviceConfig config;
  config.writeProtection = 0xFFFFFFFE;
  DfuDeviceModel model(config);
  Host host(model);
  EXPECT_EQ(model.WriteProtection(), 0xFFFFFFFEu);
  EXPECT_EQ(host.ErasePage(0x08000000 + 3 * 2048), errERASE);
  host.Recover();
  EXPECT_EQ(host.ErasePage(0x08000000 + 4 * 2048), OK);
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  EXPECT_EQ(host.Download(2, {1}), errWRITE);
}

TEST(DfuDeviceModel, LeavesDfuModeAfterManifestationOrDetach) {
  {
    DfuDeviceModel model;
    Host host(model);
    bool left = false;
    model.SetDisconnectCallback([&](bool l) { left = l; });
    ASSERT_EQ(host.SetPointer(0x08000000), OK);
    ASSERT_FALSE(host.Out(DNLOAD, 0, {}).stall);
    EXPECT_EQ(model.State(), dfuMANIFEST_SYNC);
    auto [status, state, poll] = host.Status();
    EXPECT_EQ(state, dfuMANIFEST);
    EXPECT_TRUE(left);
    EXPECT_TRUE(model.LeftDfuMode());
    EXPECT_TRUE(host.In(GETSTATUS, 0, 6).gone);
  }
  {
    DfuDeviceConfig config;
    config.attributes = 0x03;  // no will-detach: waits for a bus reset
    DfuDeviceModel model(config);
    Host host(model);
    ASSERT_EQ(host.SetPointer(0x08000000), OK);
    host.Out(DNLOAD, 0, {});
    host.Status();
    auto [status, state, poll] = host.Status();
    EXPECT_EQ(state, dfuMANIFEST_WAIT_RESET);
    model.BusReset();
    EXPECT_TRUE(model.LeftDfuMode());
  }
  {
    DfuDeviceModel model;
    Host host(model);
    EXPECT_FALSE(host.Out(DETACH, 5000).stall);
    EXPECT_TRUE(model.LeftDfuMode());
    EXPECT_FALSE(model.Connected());
  }
}

TEST(DfuDeviceModel, HoldsTheHostToTheAnnouncedBusyTime) {
  DfuDeviceModel model;
  Host host(model);
  ASSERT_FALSE(host.Out(DNLOAD, 0, {Erase, 0x00, 0x00, 0x00, 0x08}).stall);
  auto [s1, busy, poll] = host.Status();
  EXPECT_EQ(busy, dfuDNBUSY);
  EXPECT_EQ(poll, 20u) << "a 2 KiB page erase";
  // Asked again at once: still busy, with what is left of the time-out, and counted.
  ControlResult early = host.In(GETSTATUS, 0, 6);
  ASSERT_EQ(early.data.size(), 6u);
  EXPECT_EQ(early.data[4], dfuDNBUSY);
  EXPECT_LE(uint32_t(early.data[1] | early.data[2] << 8), 20u);
  EXPECT_EQ(model.EarlyStatusRequests(), 1u);
  auto [s2, idle, p2] = host.Status();  // waits the time-out first
  EXPECT_EQ(idle, dfuDNLOAD_IDLE);
  EXPECT_EQ(model.EarlyStatusRequests(), 1u);
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  EXPECT_EQ(host.Download(2, Pattern(2048, 1)), OK);
  EXPECT_EQ(model.AnnouncedBusyMs(), 20u + 54u);

  DfuDeviceConfig config;
  config.busyScale = 0.5;
  DfuDeviceModel half(config);
  Host other(half);
  ASSERT_FALSE(other.Out(DNLOAD, 0, {Erase, 0x00, 0x00, 0x00, 0x08}).stall);
  EXPECT_EQ(std::get<2>(other.Status()), 10u);
}

TEST(DfuDeviceModel, TakesItsFaultsFromTheConfiguration) {
  DfuPhase phase{};
  ASSERT_TRUE(ParseDfuPhase("write", phase));
  EXPECT_FALSE(ParseDfuPhase("wrte", phase));
  DfuDeviceConfig config;
  config.busyScale = 0;
  config.faultPhase = phase;
  config.flipBitAddress = 0x08000001;
  config.flipBitNumber = 0;
  config.unplugAtBlock = 4;
  DfuDeviceModel model(config);
  Host host(model);
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  EXPECT_EQ(host.Download(2, {1, 2}), errWRITE);
  host.Recover();
  ASSERT_EQ(host.SetPointer(0x08000000), OK);
  EXPECT_EQ(host.Download(2, {1, 2}), OK);
  EXPECT_EQ(model.ReadMemory(0x08000000, 2), (std::vector<uint8_t>{1, 3}));
  EXPECT_EQ(host.Download(3, {1}), OK);
  EXPECT_TRUE(host.Out(DNLOAD, 4, {1}).gone);
}

}  // namespace

}  // namespace brisk::sim
