// `brisk-dfu flash` of a 256 KiB package end to end, on the whole reader of the emulated bus
// (brisk-usb-sim in DFU mode): the flasher's own time and the whole run, each against the
// busy time the device announced (the sum of its poll time-outs), and their ratios.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSize = 256 * 1024;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A number after the marker in text, or -1.
long long NumberAfter(const std::string& text, const std::string& marker) {
  const size_t at = text.find(marker);
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + marker.size());
}

}  // namespace

int main() {
  char dirTemplate[] = "/tmp/bench-dfu-tool-XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  const std::string dir = dirTemplate;
  std::vector<char> data(kSize);
  std::mt19937 gen(42);
  for (auto& b : data) b = char(gen());
  std::ofstream(dir + "/fw.bin", std::ios::binary).write(data.data(), std::streamsize(kSize));
  const std::string dfu = BRISK_DFU, sim = BRISK_USB_SIM;
  if (std::system((dfu + " pack -o " + dir +
                   "/p.dfu --vid 0483 --pid A19B 0:Flash=0x08000000:" + dir + "/fw.bin")
                      .c_str()) != 0)
    return 1;
  // The flasher's own time is taken inside the emulated reader's run, around the command.
  const std::string inner = "s=$(date +%s%N); " + dfu + " flash " + dir + "/p.dfu >" + dir +
                            "/out.txt; e=$?; echo tool_us=$(( ($(date +%s%N)-s)/1000 )) exit=$e";
  const auto start = Clock::now();
  const int rc = std::system(
      (sim + " --mode dfu -- sh -c '" + inner + "' >" + dir + "/sim.out 2>" + dir + "/sim.err")
          .c_str());
  const double whole = std::chrono::duration<double>(Clock::now() - start).count();
  const std::string out = ReadText(dir + "/sim.out"), err = ReadText(dir + "/sim.err");
  const long long toolUs = NumberAfter(out, "tool_us="), exitCode = NumberAfter(out, "exit=");
  const long long busyMs = NumberAfter(err, "announced busy ");
  std::system(("rm -rf " + dir).c_str());
  if (rc != 0 || exitCode != 0 || toolUs < 0 || busyMs <= 0) {
    std::fprintf(stderr, "bench_dfu_tool: the flash failed\n%s%s", out.c_str(), err.c_str());
    return 1;
  }
  const double busy = double(busyMs) / 1000.0, tool = double(toolUs) / 1e6;
  std::printf("brisk-dfu flash, 256 KiB on the emulated reader: device busy %.3f s\n", busy);
  std::printf("  flasher       %.3f s  ratio %.3f (target <= 1.10)\n", tool, tool / busy);
  std::printf("  whole run     %.3f s  ratio %.3f (emulated bus set-up included)\n", whole,
              whole / busy);
  return 0;
}
