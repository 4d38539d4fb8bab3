// brisk-dfu: lists DFU devices, reads and builds packages, flashes the reader and asks it to
// enter DFU mode, through the same engine as the upgrade dialog.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dfu/DfuUpgradeEngine.h"
#include "dfu/UsbReaderChannel.h"
#include "libs/mxupdfiles/MXUPDFILES.h"
#include "libs/mxupdprt/MXUPDPRT.h"
#include "platform/devices/DfuDevices.h"
#include "platform/devices/Hidraw.h"
#include "platform/devices/ReaderIdentities.h"
#include "platform/devices/UsbVendorDevice.h"
#include "tools/brisk-dfu/ConsoleText.h"
#include "tools/brisk-dfu/ConsoleView.h"
#include "tools/brisk-dfu/Pack.h"

namespace {

using namespace brisk;
using namespace brisk::tools;

void Usage() {
  std::fprintf(stderr,
               "usage: brisk-dfu list [--json]\n"
               "       brisk-dfu info PACKAGE [--json]\n"
               "       brisk-dfu pack -o OUT --vid HEX --pid HEX [--version HEX] IMAGE...\n"
               "              IMAGE: ALT[:NAME]=ADDRESS:FILE.bin or ALT[:NAME]=FILE.hex\n"
               "       brisk-dfu flash [PACKAGE] [--enter] [--wait SECONDS] [--json]\n"
               "       brisk-dfu enter\n"
               "       brisk-dfu --version | --help\n");
}

// ---- list ----------------------------------------------------------------------------------

int List(bool json) {
  Json out = Json::array();
  int n = 0;
  for (int cls = 1; cls <= 2; ++cls)
    for (const auto& itf : platform::devices::EnumerateDfuInterfaces(cls)) {
      std::string version, transfer;
      MXUPD_HANDLE handle = nullptr;
      if (MXUPD_Open(itf.path.c_str(), &handle) == MXUPD_OK) {
        uint32_t number = 0, alternates = 0;
        DfuFunctionalDescriptor fd{};
        if (MXUPD_GetDFUDescriptor(&handle, &number, &alternates, &fd) == MXUPD_OK) {
          version = Hex("%04X", fd.bcdDFUVersion);
          transfer = std::to_string(unsigned(fd.wTransferSize));
        }
        MXUPD_Close(&handle);
      }
      std::vector<dfu::DevTarget> targets;
      TargetMap* map = nullptr;
      uint32_t count = 0;
      if (MXUPDPRT_CreateMappingFromDevice(itf.path.c_str(), &map, &count) == MXUPDPRT_OK) {
        for (uint32_t t = 0; t < count; ++t) targets.push_back(dfu::MakeDevTarget(map[t]));
        MXUPDPRT_DestroyMapping(&map);
      }
      const std::string name = itf.description.empty() ? "(Unnamed DFU device)" : itf.description;
      if (json) {
        Json device = {{"path", itf.path},
                       {"description", name},
                       {"class", cls},
                       {"vendor", Hex("%04X", itf.vendorId)},
                       {"product", Hex("%04X", itf.productId)},
                       {"dfuVersion", version},
                       {"transferSize", transfer.empty() ? Json() : Json(std::stoul(transfer))},
                       {"targets", Json::array()}};
        for (const auto& t : targets)
          device["targets"].push_back({{"alternate", t.alternate},
                                       {"name", t.name},
                                       {"sectorCount", t.sectorCount},
                                       {"sectors", t.sectors}});
        out.push_back(std::move(device));
      } else {
        std::printf("%s\n  %s\n  VID %04X PID %04X, DFU version %s, transfer size %s\n",
                    EscapeControl(itf.path).c_str(), EscapeControl(name).c_str(), itf.vendorId,
                    itf.productId, version.empty() ? "?" : version.c_str(),
                    transfer.empty() ? "?" : transfer.c_str());
        for (const auto& t : targets) {
          std::printf("  target %s \"%s\": %s\n", t.alternate.c_str(),
                      EscapeControl(t.name).c_str(), t.sectorCount.c_str());
          std::string lines = t.sectors;
          size_t start = 0;
          while (start <= lines.size()) {
            const size_t end = lines.find('\n', start);
            std::printf("    %s\n", lines.substr(start, end - start).c_str());
            if (end == std::string::npos) break;
            start = end + 1;
          }
        }
      }
      ++n;
    }
  if (json)
    std::fputs(JsonLine(out).c_str(), stdout);
  else if (n == 0)
    std::printf("no DFU device found\n");
  return 0;
}

// ---- info ----------------------------------------------------------------------------------

int Info(const std::string& path, bool json) {
  MXUPDFILES_FILE file = nullptr;
  uint16_t vendor = 0, product = 0, version = 0;
  uint8_t count = 0;
  const uint32_t rc =
      MXUPDFILES_OpenExistingDFUFile(path.c_str(), &file, &vendor, &product, &version, &count);
  if (rc != MXUPDFILES_OK) {
    std::fprintf(stderr, "brisk-dfu: %s: %s%s%s\n", EscapeControl(path).c_str(),
                 MXUPDFILES_StatusText(rc), rc == MXUPDFILES_ERR_OPEN ? ": " : "",
                 rc == MXUPDFILES_ERR_OPEN ? std::strerror(errno) : "");
    return 1;
  }
  Json doc = {{"vendor", Hex("%04X", vendor)},
              {"product", Hex("%04X", product)},
              {"version", Hex("%04X", version)},
              {"images", Json::array()}};
  std::string out = "VID " + Hex("%04X", vendor) + " PID " + Hex("%04X", product) + " version " +
                    Hex("%04X", version) + ", " + std::to_string(count) + " image(s)\n";
  for (uint32_t i = 0; i < count; ++i) {
    MXUPDFILES_IMAGE image = nullptr;
    uint32_t r = MXUPDFILES_ReadImageFromDFUFile(file, i, &image);
    uint8_t alternate = 0;
    uint32_t elements = 0;
    char name[MXUPDFILES_MAX_NAME + 1] = {};
    if (r == MXUPDFILES_OK) r = MXUPDFILES_GetImageAlternate(image, &alternate);
    if (r == MXUPDFILES_OK) r = MXUPDFILES_GetImageName(image, name, sizeof name);
    if (r == MXUPDFILES_OK) r = MXUPDFILES_GetImageNbElement(image, &elements);
    if (r != MXUPDFILES_OK) {
      if (image) MXUPDFILES_DestroyImage(&image);
      MXUPDFILES_CloseDFUFile(file);
      std::fprintf(stderr, "brisk-dfu: %s: image %u: %s\n", EscapeControl(path).c_str(), i,
                   MXUPDFILES_StatusText(r));
      return 1;
    }
    Json entry = {{"alternate", alternate}, {"name", name}, {"elements", Json::array()}};
    out += "image " + std::to_string(i) + ": alternate " + std::to_string(alternate) + ", name \"" +
           EscapeControl(name) + "\", " + std::to_string(elements) + " element(s)\n";
    for (uint32_t e = 0; e < elements; ++e) {
      ImageElement el{};
      MXUPDFILES_GetImageElement(image, e, &el);
      const uint32_t address = el.address, size = el.size;
      entry["elements"].push_back({{"address", Hex("0x%08X", address)}, {"size", size}});
      out += "  " + Hex("0x%08X", address) + "  " + std::to_string(size) + " bytes\n";
    }
    doc["images"].push_back(std::move(entry));
    MXUPDFILES_DestroyImage(&image);
  }
  MXUPDFILES_CloseDFUFile(file);
  std::fputs(json ? JsonLine(doc).c_str() : out.c_str(), stdout);
  return 0;
}

// ---- flash ---------------------------------------------------------------------------------

// A reader in normal mode that could be asked over USB: its HID node or its vendor interface.
bool ReaderPresent() {
  namespace devices = platform::devices;
  for (const auto& hid : devices::EnumerateHidraw())
    for (const auto& id : devices::IdentitiesOffering(devices::kHidEnterDfu))
      if (hid.pathText.find(devices::HidIdentityText(id)) != std::string::npos) return true;
  std::vector<std::pair<uint16_t, uint16_t>> ids;
  for (const auto& id : devices::IdentitiesOffering(devices::kVendorEnterDfu))
    ids.emplace_back(id.vendorId, id.productId);
  devices::UsbVendorDevice vendor;
  const bool found = vendor.OpenFirst(ids);
  vendor.Close();
  return found;
}

// Set once the first operation on the device has started: from then on a stop can leave the
// reader erased in its boot loader.
std::atomic<bool> g_touched{false};

// The tool's pace: a terminal has no dialog to keep readable, so the steps run back to back and
// the running operation is polled at a tenth of the shortest busy time a device announces (the
// library itself waits each announced time), where the window keeps its 500 ms steps and
// 300 ms polls. A search that found nothing is repeated every 100 ms, until the wait is over.
class FlashPace : public dfu::StepPacer {
 public:
  static constexpr int kPollMs = 2;
  static constexpr int kSearchAgainMs = 100;
  using Clock = std::chrono::steady_clock;

  FlashPace(ConsoleView& view, std::chrono::seconds wait) : m_view(view), m_wait(wait) {}

  bool Before(dfu::Step step, int) override {
    m_view.Flush();
    if (step == dfu::Step::Poll) {
      g_touched = true;  // an operation runs on the device
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    } else if (step == dfu::Step::FindDevice && m_last == step) {
      if (Clock::now() - m_searchStart >= m_wait) {
        m_expired = true;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kSearchAgainMs));
    } else if (step == dfu::Step::FindDevice) {
      m_searchStart = Clock::now();
    }
    m_last = step;
    return true;
  }
  bool Expired() const { return m_expired; }

 private:
  ConsoleView& m_view;
  const std::chrono::seconds m_wait;
  dfu::Step m_last = dfu::Step::CheckFile;
  Clock::time_point m_searchStart;
  bool m_expired = false;
};

// Runs the command on a worker while this thread alone takes SIGINT and SIGTERM, so that a stop
// mid-flash is said, with the way back, instead of ending in silence.
int RunStoppable(const std::function<int()>& command) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // the worker inherits the mask
  std::atomic<bool> done{false};
  int code = 1;
  std::thread worker([&] {
    code = command();
    done = true;
  });
  while (!done) {
    const timespec step{0, 50 * 1000 * 1000};
    const int sig = sigtimedwait(&stopSignals, nullptr, &step);
    if (sig <= 0) continue;
    std::fflush(stdout);
    std::fprintf(stderr, "brisk-dfu: stopped by %s\n", sig == SIGTERM ? "SIGTERM" : "SIGINT");
    if (g_touched)
      std::fprintf(stderr,
                   "brisk-dfu: the flash did not end: the reader may be left erased in DFU "
                   "mode; run brisk-dfu flash again with the package (or without one, for the "
                   "newest cached package) to recover\n");
    std::_Exit(128 + sig);
  }
  worker.join();
  return code;
}

int Flash(const std::string& package, bool enter, int waitSeconds, bool json) {
  ConsoleView view(json, ChineseLocale());
  FlashPace pace(view, std::chrono::seconds(waitSeconds));
  dfu::DfuFailure failure;
  int code = 1;
  {
    dfu::DfuUpgradeEngine engine(view);
    engine.StartUpgrade(package);
    engine.SetHasDFUDevice(enter ? 0 : 1);
    engine.OnInitDialog();
    if (engine.Run(pace) == dfu::DfuOutcome::Finished) code = 0;
    failure = engine.Failure();
    engine.Close();
  }
  if (pace.Expired()) {
    failure.reason = "no DFU device within " + std::to_string(waitSeconds) + " s";
    code = 2;
  }
  // The enter-DFU request had nobody to go to: that is no reader, not a refusal.
  if (code == 1 && failure.kind == dfu::FailureKind::NotAcknowledged && !ReaderPresent()) {
    failure.reason = "no reader found";
    code = 2;
  }
  view.Result(code, failure);
  if (code && !json) std::fprintf(stderr, "brisk-dfu: %s\n", EscapeControl(failure.reason).c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return kUsage;
  }
  const std::string command = argv[1];
  if (command == "-h" || command == "--help") {
    Usage();
    return 0;
  }
  if (command == "--version") {
    std::printf("brisk-dfu %s\n", BRISK_VERSION);
    return 0;
  }
  if (command == "pack") {
    const int code = Pack(argc, argv);
    if (code == kUsage) Usage();
    return code;
  }
  bool json = false, enter = false;
  int wait = 30;
  std::vector<std::string> positional;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--enter" && command == "flash") {
      enter = true;
    } else if (a == "--wait" && command == "flash" && i + 1 < argc) {
      char* end = nullptr;
      const long v = std::strtol(argv[++i], &end, 10);
      if (*end || v < 0 || v > 86400) {
        Usage();
        return kUsage;
      }
      wait = int(v);
    } else if (!a.empty() && a[0] != '-') {
      positional.push_back(a);
    } else {
      Usage();
      return kUsage;
    }
  }
  if (command == "list" && positional.empty()) return List(json);
  if (command == "info" && positional.size() == 1) return Info(positional[0], json);
  if (command == "flash" && positional.size() <= 1)
    return RunStoppable(
        [&] { return Flash(positional.empty() ? "" : positional[0], enter, wait, json); });
  if (command == "enter" && positional.empty() && !json) {
    dfu::UsbReaderChannel channel;
    if (channel.EnterDfuMode()) {
      std::printf("the reader acknowledged; it restarts in DFU mode\n");
      return 0;
    }
    if (!ReaderPresent()) {
      std::fprintf(stderr, "brisk-dfu: no reader found\n");
      return 2;
    }
    std::fprintf(stderr, "brisk-dfu: the reader did not acknowledge the enter-DFU request\n");
    return 1;
  }
  Usage();
  return kUsage;
}
