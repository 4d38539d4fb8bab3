// Runs a fuzz target once on each given input, without libFuzzer: for a compiler or a machine
// that has no libFuzzer (a cross build whose programs run under an emulator). Folders are read
// whole, in name order. A finding aborts in the target, so the input's name is printed first.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool Replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
  // A copy in an allocation of exactly the input's size (a read past its end leaves it), never
  // a null pointer, as libFuzzer hands it over.
  const std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<std::size_t>(bytes.size(), 1)]);
  std::copy(bytes.begin(), bytes.end(), exact.get());
  LLVMFuzzerTestOneInput(exact.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
    return 2;
  }
  std::size_t count = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    const fs::path arg(argv[i]);
    if (!fs::is_directory(arg, ec)) {
      ok = Replay(arg) && ok;
      ++count;
      continue;
    }
    std::vector<fs::path> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(arg, ec))
      if (e.is_regular_file()) files.push_back(e.path());
    if (ec) {
      std::fprintf(stderr, "replay: cannot list %s\n", arg.c_str());
      ok = false;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
      ok = Replay(f) && ok;
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  // An empty corpus replays nothing, and says so by failing.
  return ok && count > 0 ? 0 : 1;
}
