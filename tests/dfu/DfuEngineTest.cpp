// The upgrade engine in-process, against the boot-loader model on the emulated USB bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dfu/DfuUpgradeEngine.h"
#include "log/Log.h"
#include "platform/devices/DfuDevices.h"
#include "sim/dfu/DfuUsbTestbed.h"
#include "sim/usb/UsbReaderBus.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace brisk;

class RecordingView : public dfu::DfuView {
 public:
  void SetStatus(dfu::Status status) override { statuses.push_back(dfu::TextOf(status).chinese); }
  void SetProgress(int) override {}
  void SetProgressText(const std::string&) override {}
  void SetSizeText(const std::string& text) override { sizeText = text; }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }

  std::vector<std::string> statuses, messages;
  std::string sizeText;
};

class DfuEngine : public ::testing::Test {
 protected:
  static std::vector<uint8_t> Data(uint32_t size, uint8_t seed = 1) {
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; ++i) data[i] = uint8_t(i * 7 + seed);
    return data;
  }
  // An image of one element at address, owned by the caller.
  static MXUPDFILES_IMAGE Image(uint32_t address, std::vector<uint8_t> data) {
    MXUPDFILES_IMAGE image = nullptr;
    EXPECT_EQ(MXUPDFILES_CreateImage(&image, 0, "Internal Flash"), MXUPDFILES_OK);
    ImageElement element{address, uint32_t(data.size()), data.data()};
    EXPECT_EQ(MXUPDFILES_AppendImageElement(image, &element), MXUPDFILES_OK);
    return image;
  }
  // A package for the model's identity (or product), one image of Data(size, seed) for target 0.
  std::string Package(uint32_t size, uint8_t seed = 1, uint16_t product = 0xA19B) {
    const std::string path = m_dir.Path() + "/pkg.dfu";
    MXUPDFILES_IMAGE image = Image(0x08000000, Data(size, seed));
    EXPECT_EQ(MXUPDFILES_WriteDFUFile(path.c_str(), 0x0483, product, 0x0100, &image, 1),
              MXUPDFILES_OK);
    MXUPDFILES_DestroyImage(&image);
    return path;
  }
  // Runs the sequence from first, without its pauses, until it ends or steps steps have been
  // started (60 s: a generous bound, not a measurement); before is called before each step.
  // m_steps gets the steps started, a run of polls as one.
  dfu::DfuOutcome RunToEnd(dfu::Step first = dfu::Step::CheckFile, int steps = 100000,
                           std::function<void(dfu::Step)> before = {}) {
    struct Pace : dfu::StepPacer {
      int left;
      std::function<void(dfu::Step)> before;
      std::vector<dfu::Step> steps;
      std::chrono::steady_clock::time_point end =
          std::chrono::steady_clock::now() + std::chrono::seconds(60);
      bool Before(dfu::Step step, int) override {
        if (left-- <= 0 || std::chrono::steady_clock::now() > end) return false;
        if (step == dfu::Step::Poll) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (step != dfu::Step::Poll || steps.empty() || steps.back() != step) steps.push_back(step);
        if (before) before(step);
        return true;
      }
    } pace;
    pace.left = steps;
    pace.before = std::move(before);
    const dfu::DfuOutcome outcome = m_engine.Run(pace, first);
    m_steps = pace.steps;
    return outcome;
  }
  std::vector<std::string> SectorLines(size_t target) {
    std::vector<std::string> lines;
    const std::string& s = m_engine.m_Targets.at(target).sectors;
    size_t start = 0;
    for (size_t end; (end = s.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(s.substr(start, end - start));
    lines.push_back(s.substr(start));
    return lines;
  }

  brisk::test::TempDir m_dir;
  RecordingView m_view;
  dfu::DfuUpgradeEngine m_engine{m_view};
  std::vector<dfu::Step> m_steps;  // the steps the last RunToEnd started
};

TEST(DfuTexts, GuidAndSizeTextsHaveTheirFixedForms) {
  EXPECT_EQ(dfu::DfuUpgradeEngine::GuidToText(dfu::kDfuInterfaceClass1),
            platform::devices::kDfuClass1Id);
  EXPECT_EQ(dfu::DfuUpgradeEngine::GuidToText(dfu::kDfuInterfaceClass2),
            platform::devices::kDfuClass2Id);
  EXPECT_EQ(dfu::SizeText(1023), "1023 b");
  EXPECT_EQ(dfu::SizeText(1024), "1 Kb");
  EXPECT_EQ(dfu::SizeText(131072), "128 Kb");
  EXPECT_EQ(dfu::SizeText(2 * 1048576), "2 Mb");
}

TEST_F(DfuEngine, FindsTheDeviceOpensItAndDescribesItsTargets) {
  sim::DfuUsbDevice device;
  ASSERT_EQ(m_engine.FindDfuDevices(), 1);
  ASSERT_EQ(m_engine.m_DevicePaths.size(), 1u);
  EXPECT_EQ(m_engine.m_DevicePaths[0], device.DevicePath());
  EXPECT_EQ(m_engine.m_DeviceNames[0], "(Unnamed DFU device)");
  // The path found opens through the request library.
  MXUPD_HANDLE handle = nullptr;
  ASSERT_EQ(MXUPD_Open(m_engine.m_DevicePaths[0].c_str(), &handle), MXUPD_OK);
  MXUPD_Close(&handle);

  ASSERT_EQ(m_engine.OpenDfuDevice(), 1);
  EXPECT_TRUE(m_engine.m_DeviceIdentified);
  EXPECT_EQ(m_engine.m_DeviceVid, 0x0483);
  EXPECT_EQ(m_engine.m_DevicePid, 0xA19B);
  EXPECT_TRUE(m_engine.m_HasOptionBytes);
  EXPECT_EQ(m_engine.m_Rdp, 0xA5);
  ASSERT_EQ(m_engine.m_Targets.size(), 2u);
  EXPECT_EQ(m_engine.m_Targets[0].alternate, "00");
  EXPECT_EQ(m_engine.m_Targets[0].sectorCount, "128 sectors...");
  EXPECT_EQ(SectorLines(0).at(0), "Sector 000\t0x08000000\t0x080007FF\t2 Kb\tRWE");
}

TEST_F(DfuEngine, ADeviceOfTheOlderClassGetsNoIdentityAndFitsNoPackage) {
  sim::DfuUsbDevice device;
  std::string path = device.DevicePath();
  path.replace(path.size() - 38, 38, platform::devices::kDfuClass2Id);
  m_engine.m_DevicePaths = {path};
  ASSERT_EQ(m_engine.OpenDfuDevice(), 1);
  EXPECT_FALSE(m_engine.m_DeviceIdentified);
  ASSERT_EQ(m_engine.LoadDfuFile(Package(1024)), 1);
  EXPECT_EQ(m_engine.m_FileVid, 0x0483);
  EXPECT_EQ(m_engine.MatchDeviceAndFile(), 0);
}

TEST(DfuInterfaces, OnlyDfuInterfacesOfTheAskedProtocolAreListedOnce) {
  const std::vector<uint8_t> blob = {18,   1,    0,    2, 0, 0,    0,    64,   0x83,
                                     0x04, 0x9B, 0xA1, 0, 1, 0,    0,    0,    1,   // device
                                     9,    2,    45,   0, 3, 1,    0,    0x80, 50,  // configuration
                                     9,    4,    0,    0, 0, 0xFE, 0x01, 0x02, 4,  // DFU 1.1, alt 0
                                     9,    4,    0,    1, 0, 0xFE, 0x01, 0x02, 5,  // same, alt 1
                                     9,    4,    1,    0, 0, 0xFE, 0x01, 0x00, 0,  // older form
                                     9,    4,    2,    0, 0, 0xFF, 0x01, 0x02, 0,  // vendor
                                     5,    4};  // cut short: ignored
  EXPECT_EQ(platform::devices::DfuInterfaceNumbers(blob, 0x02), std::vector<uint8_t>{0});
  EXPECT_EQ(platform::devices::DfuInterfaceNumbers(blob, 0x00), std::vector<uint8_t>{1});
  EXPECT_EQ(platform::devices::CutUtf8("ab\xE4\xB8\xAD", 4), "ab");
  EXPECT_EQ(platform::devices::CutUtf8(std::string(300, 'x'), 252).size(), 252u);
}

TEST_F(DfuEngine, WriteProtectionClearsEraseAndWriteOfItsSectorGroup) {
  sim::DfuDeviceConfig config;
  config.writeProtection = 0xFFFFFFFE;
  sim::DfuUsbDevice device(config);
  ASSERT_EQ(m_engine.FindDfuDevices(), 1);
  ASSERT_EQ(m_engine.OpenDfuDevice(), 1);
  EXPECT_EQ(m_engine.m_Wrp, 0xFFFFFFFEu);
  const auto lines = SectorLines(0);
  for (int s = 0; s < 4; ++s) EXPECT_EQ(lines[s].substr(lines[s].rfind('\t') + 1), "R") << s;
  EXPECT_EQ(lines[4].substr(lines[4].rfind('\t') + 1), "RWE");
  EXPECT_EQ(lines[127].substr(lines[127].rfind('\t') + 1), "RWE");  // bit 31
}

TEST_F(DfuEngine, AReadProtectedDeviceHasNoSectorToReadEraseOrWrite) {
  sim::DfuDeviceConfig config;
  config.readProtected = true;
  sim::DfuUsbDevice device(config);
  ASSERT_EQ(m_engine.FindDfuDevices(), 1);
  ASSERT_EQ(m_engine.OpenDfuDevice(), 1);
  EXPECT_TRUE(m_engine.m_ReadProtected);
  EXPECT_EQ(m_engine.m_Rdp, 0);
  EXPECT_EQ(m_engine.m_Wrp, 0u);
  for (size_t t = 0; t < m_engine.m_Targets.size(); ++t)
    for (const auto& line : SectorLines(t)) EXPECT_EQ(line.back(), '\t') << line;
  // Nothing may be erased: the device refuses the erase, the failure names the protection,
  // and the device keeps its memory.
  const std::vector<uint8_t> before(2048, 0x5C);
  device.Model().WriteMemory(0x08000000, before);
  m_engine.m_DfuFilePath = Package(2048);
  ASSERT_EQ(m_engine.LaunchUpgrade(), 1);
  RunToEnd(dfu::Step::Poll);
  EXPECT_EQ(m_engine.Outcome(), dfu::DfuOutcome::Stopped);
  EXPECT_EQ(m_engine.Failure().operation, OPERATION_ERASE);
  EXPECT_EQ(m_engine.Failure().kind, dfu::FailureKind::ReadProtected);
  EXPECT_NE(m_engine.Failure().reason.find("the device is read-protected"), std::string::npos)
      << m_engine.Failure().reason;
  EXPECT_EQ(device.Model().ReadMemory(0x08000000, 2048), before);
}

TEST_F(DfuEngine, AnUnsupportedReadBackShowsItsMessage) {
  sim::DfuUsbDevice device;
  m_engine.m_DfuFilePath = Package(4096);
  ASSERT_EQ(m_engine.FindDfuDevices(), 1);
  ASSERT_EQ(m_engine.OpenDfuDevice(), 1);
  device.Model().RefuseRequest(sim::dfu::UPLOAD);
  ASSERT_EQ(m_engine.LaunchUpgrade(), 1);
  EXPECT_EQ(m_view.sizeText, "0 KB(0 Bytes) of 4 KB(4096 Bytes)");
  RunToEnd(dfu::Step::Poll);
  EXPECT_EQ(m_engine.Outcome(), dfu::DfuOutcome::Stopped);
  EXPECT_EQ(m_view.messages,
            std::vector<std::string>{"This feature is not supported by this firmware."});
  EXPECT_EQ(m_engine.m_OperationHandle, nullptr);
  EXPECT_EQ(m_engine.m_VerifyImage, nullptr);
}

TEST_F(DfuEngine, AnotherDeviceErrorShowsNoMessage) {
  sim::DfuDeviceConfig config;
  config.faultPhase = sim::DfuPhase::Erase;
  sim::DfuUsbDevice device(config);
  m_engine.m_DfuFilePath = Package(4096);
  ASSERT_EQ(m_engine.FindDfuDevices(), 1);
  ASSERT_EQ(m_engine.OpenDfuDevice(), 1);
  ASSERT_EQ(m_engine.LaunchUpgrade(), 1);
  RunToEnd(dfu::Step::Poll);
  EXPECT_EQ(m_engine.Outcome(), dfu::DfuOutcome::Stopped);
  EXPECT_TRUE(m_view.messages.empty());
}

TEST_F(DfuEngine, TheBytesCheckedAreTheBytesWrittenAndVerified) {
  sim::DfuDeviceConfig config;
  config.busyScale = 0;
  sim::DfuUsbDevice device(config);
  m_engine.StartUpgrade(Package(4096, 1));
  m_engine.SetHasDFUDevice(1);
  m_engine.OnInitDialog();
  // Another product's firmware takes the package's place after the check.
  EXPECT_EQ(RunToEnd(dfu::Step::CheckFile, 100000,
                     [&](dfu::Step step) {
                       if (step != dfu::Step::FindDevice) return;
                       ASSERT_EQ(m_engine.CurrentStatus(), dfu::Status::FileChecked);
                       Package(4096, 99, 0x1234);
                     }),
            dfu::DfuOutcome::Finished)
      << m_engine.Failure().reason;
  // Each step once, in order, and the operations polled until the leave.
  ASSERT_GE(m_steps.size(), 4u);
  EXPECT_EQ(std::vector<dfu::Step>(m_steps.begin(), m_steps.begin() + 4),
            (std::vector<dfu::Step>{dfu::Step::CheckFile, dfu::Step::FindDevice,
                                    dfu::Step::OpenDevice, dfu::Step::Launch}));
  EXPECT_EQ(std::vector<dfu::Step>(m_steps.begin() + 4, m_steps.end()),
            (std::vector<dfu::Step>{dfu::Step::Poll, dfu::Step::Finish, dfu::Step::Poll}));
  EXPECT_EQ(device.Model().ReadMemory(0x08000000, 4096), Data(4096, 1));
}

TEST_F(DfuEngine, LeavingTakesTheFirstAddressFromTheMapOfATargetOver16MiB) {
  sim::DfuDeviceConfig config;
  config.busyScale = 0;
  sim::DfuMemory flash = sim::DfuDeviceConfig::InternalFlash();
  flash.runs = {{512, 64 * 1024}};  // 32 MiB
  config.memories = {flash};
  sim::DfuUsbDevice device(config);
  ASSERT_EQ(m_engine.FindDfuDevices(), 1);
  ASSERT_EQ(m_engine.OpenDfuDevice(), 1);
  m_engine.FinishUpgrade();
  ASSERT_NE(m_engine.m_OperationHandle, nullptr) << m_engine.Failure().reason;
  RunToEnd(dfu::Step::Poll);
  EXPECT_EQ(m_engine.Outcome(), dfu::DfuOutcome::Finished);
  EXPECT_TRUE(device.Model().LeftDfuMode());
}

TEST_F(DfuEngine, ReadingTheProtectionWaitsTheWholeAnnouncedBusyTime) {
  sim::DfuDeviceConfig config;
  config.writePollMs = 2500;
  sim::DfuUsbDevice device(config);
  ASSERT_EQ(m_engine.FindDfuDevices(), 1);
  // The device is left busy with a block, as by a write stopped a moment ago.
  MXUPD_HANDLE handle = nullptr;
  ASSERT_EQ(MXUPD_Open(m_engine.m_DevicePaths[0].c_str(), &handle), MXUPD_OK);
  ASSERT_EQ(MXUPD_SelectCurrentConfiguration(&handle, 0, 0, 0), MXUPD_OK);
  const uint8_t pointer[5] = {0x21, 0x00, 0x00, 0x00, 0x08};
  DfuStatusRecord status{};
  ASSERT_EQ(MXUPD_Dnload(&handle, pointer, sizeof pointer, 0), MXUPD_OK);
  for (int i = 0; i < 3 && status.bState != 5; ++i)
    ASSERT_EQ(MXUPD_Getstatus(&handle, &status), MXUPD_OK);
  ASSERT_EQ(status.bState, 5) << "dfuDNLOAD-IDLE";
  const uint8_t block[16] = {};
  ASSERT_EQ(MXUPD_Dnload(&handle, block, sizeof block, 2), MXUPD_OK);
  ASSERT_EQ(MXUPD_Getstatus(&handle, &status), MXUPD_OK);
  ASSERT_EQ(status.bState, 4) << "dfuDNBUSY";
  MXUPD_Close(&handle);
  ASSERT_EQ(device.Model().EarlyStatusRequests(), 0u);

  ASSERT_EQ(m_engine.OpenDfuDevice(), 1);
  EXPECT_EQ(m_engine.m_Rdp, 0xA5);
  // Only the engine's first question came early; after it, the whole announced time was waited.
  EXPECT_EQ(device.Model().EarlyStatusRequests(), 1u);
}

TEST_F(DfuEngine, ElementsOfAnotherSizeAreComparedOverTheShorterAndReportedAsAMismatch) {
  MXUPDFILES_IMAGE read = Image(0x08000000, Data(16));
  const std::vector<uint8_t> longer = Data(20), shorter = Data(12);
  for (const auto* source : {&longer, &shorter}) {
    m_view.messages.clear();
    m_engine.m_VerifyImage = Image(0x08000000, *source);
    EXPECT_FALSE(m_engine.Compare(read)) << source->size();
    ASSERT_EQ(m_view.messages.size(), 1u);
    EXPECT_EQ(m_view.messages[0].rfind("Matching not good. Sizes differ at address 0x08000000", 0),
              0u)
        << m_view.messages[0];
    MXUPDFILES_DestroyImage(&m_engine.m_VerifyImage);
  }
  m_engine.m_VerifyImage = Image(0x08000000, Data(16));
  EXPECT_TRUE(m_engine.Compare(read));
  MXUPDFILES_DestroyImage(&read);
}

TEST_F(DfuEngine, APackageForAnotherProductNeverSendsTheReaderIntoDfuMode) {
  brisk::test::ScopedFolders folders;  // the log file too; before the bus starts its threads
  brisk::test::LogCapture log;
  SetLogSwitch(1);
  sim::UsbReaderBus bus(sim::UsbReaderOptions{});
  ASSERT_EQ(bus.Mode(), "mode normal");
  ASSERT_EQ(dfu::DfuUpgradeEngine::PackageFitsReader(Package(1024, 1, 0x1234)), 0);
  EXPECT_TRUE(log.Has("package 0483:1234 is not for the reader in DFU mode"));
  m_engine.StartUpgrade(Package(1024, 1, 0x1234));
  m_engine.SetHasDFUDevice(0);  // the engine asks the reader itself
  m_engine.OnInitDialog();
  EXPECT_EQ(RunToEnd(), dfu::DfuOutcome::Stopped);
  EXPECT_EQ(m_engine.CurrentStatus(), dfu::Status::Mismatch);
  EXPECT_EQ(m_engine.Failure().kind, dfu::FailureKind::Mismatch);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(bus.Mode(), "mode normal");
  // The reader's own packages pass.
  EXPECT_EQ(dfu::DfuUpgradeEngine::PackageFitsReader(Package(1024)), 1);
  EXPECT_TRUE(log.Has("package 0483:A19B is for the reader in DFU mode"));
}

TEST_F(DfuEngine, TheSequenceSearchesWithoutReadingAFileWhenNoPackageIsGiven) {
  m_engine.SetHasDFUDevice(1);
  m_engine.OnInitDialog();
  // No device yet: the search repeats until the pacer ends it.
  EXPECT_EQ(RunToEnd(dfu::Step::CheckFile, 4), dfu::DfuOutcome::Paused);
  EXPECT_EQ(m_view.statuses,
            (std::vector<std::string>{"开始升级读卡器，请等待升级完成", "正在查找DFU设备"}));
  EXPECT_EQ(m_steps, (std::vector<dfu::Step>{dfu::Step::CheckFile, dfu::Step::FindDevice,
                                             dfu::Step::FindDevice, dfu::Step::FindDevice}));
  EXPECT_EQ(m_engine.m_FileVid, 0);
}

TEST_F(DfuEngine, ABadPackageStopsTheSequenceBeforeAnySearch) {
  m_engine.StartUpgrade(m_dir.Path() + "/missing.dfu");
  m_engine.SetHasDFUDevice(1);
  m_engine.OnInitDialog();
  EXPECT_EQ(RunToEnd(), dfu::DfuOutcome::Stopped);
  EXPECT_EQ(m_engine.CurrentStatus(), dfu::Status::FileBad);
  EXPECT_EQ(m_engine.Failure().kind, dfu::FailureKind::BadPackage);
  EXPECT_EQ(m_steps, std::vector<dfu::Step>{dfu::Step::CheckFile});
}

}  // namespace
