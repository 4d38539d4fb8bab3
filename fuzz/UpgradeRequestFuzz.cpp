// Type-13 and type-14 requests of any content: each gets exactly one answer of a valid shape,
// and a chunk, when served, is the verified package's bytes at the asked offset.
//
// Input: byte 0 picks the type (even: 13, odd: 14), the rest is the request's payload.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "download/Md5.h"
#include "download/UpgradeDownloader.h"
#include "fuzz/support/LinkRig.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace brisk::fuzz {
namespace {

constexpr int kWaitMs = 20000;
constexpr uint8_t kUpgradeDownload = 13;
constexpr uint8_t kUpgradeData = 14;

uint32_t Le(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
const std::string kUrl = "http://127.0.0.1:9/pkg.bin";

struct Package {
  std::vector<uint8_t> bytes;
  uint8_t digest[16];
  std::string text;  // upper-case hexadecimal
};

Package MakePackage() {
  Package p;
  p.bytes.resize(70000);
  for (size_t i = 0; i < p.bytes.size(); ++i) p.bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  download::Md5Context context;
  download::Md5Init(&context);
  download::Md5Update(&context, p.bytes.data(), static_cast<uint32_t>(p.bytes.size()));
  download::Md5Final(&context);
  std::copy(context.digest, context.digest + 16, p.digest);
  char hex[33];
  download::HexEncode(hex, p.digest, 16);
  for (char* c = hex; *c; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  p.text = hex;
  return p;
}

std::vector<uint8_t> Ask(LinkRig& rig, uint8_t type, const std::vector<uint8_t>& payload) {
  const std::vector<ReaderFrame> answers = rig.Send(type, payload);
  if (answers.size() != 1 || answers[0].type != type) Finding("a request did not get one answer");
  return answers[0].payload;
}

// The download worker needs well under a millisecond here; a whole one per look would make
// the waits most of the run.
void Pause() { std::this_thread::sleep_for(std::chrono::microseconds(50)); }

// Brings the downloader back to a verified package: the package file is already in place, so
// the request needs no network.
void Verify(LinkRig& rig, const Package& p) {
  const int64_t end = platform::NowMs() + kWaitMs;
  while (Ask(rig, 13, {}) != std::vector<uint8_t>{1}) {  // until idle
    if (platform::NowMs() > end) Finding("the download never ended");
    Pause();
  }
  std::vector<uint8_t> request = {'f', 'w', ' '};
  request.insert(request.end(), p.digest, p.digest + 16);
  request.push_back(' ');
  request.insert(request.end(), kUrl.begin(), kUrl.end());
  // The worker may finish before the request is answered: that answer reports the end then.
  if (const auto first = Ask(rig, 13, request); first.size() == 6 && first[1] == 0) return;
  for (;;) {
    const auto state = Ask(rig, 13, {});
    if (state.size() == 6 && state[1] == 0) return;  // ready, reported once
    if (platform::NowMs() > end) Finding("the present package was never verified");
    Pause();
  }
}

}  // namespace

int RunOne(const uint8_t* data, size_t size) {
  static LinkRig& rig = *new LinkRig(false);
  static const Package package = [] {
    Package p = MakePackage();
    FILE* f = std::fopen((platform::TempFolder() + "/pkg_" + p.text + ".bin").c_str(), "wb");
    if (!f || std::fwrite(p.bytes.data(), 1, p.bytes.size(), f) != p.bytes.size()) Finding("setup");
    std::fclose(f);
    return p;
  }();
  static bool verified = false;
  if (size == 0) return 0;
  const uint8_t type = (data[0] & 1) ? kUpgradeData : kUpgradeDownload;
  // Chunks are asked of a verified package; requests meet whatever state the last one left.
  if (type == kUpgradeData && !verified) {
    Verify(rig, package);
    verified = true;
  }
  const std::vector<uint8_t> payload(data + 1, data + std::min<size_t>(size, 2094));
  const std::vector<uint8_t> answer = Ask(rig, type, payload);

  if (type == kUpgradeDownload) {
    if (!(answer == std::vector<uint8_t>{1} ||
          (answer.size() == 6 && answer[0] == 0 && answer[1] <= 4)))
      Finding("type-13 answer of a bad shape");
    // No worker outlives its input: the leak check after each input would take what a running
    // download holds for lost.
    const int64_t end = platform::NowMs() + kWaitMs;
    for (auto state = answer; state.size() == 6 && state[1] == download::DOWNLOAD_RUNNING;) {
      if (platform::NowMs() > end) Finding("a download never ended");
      Pause();
      state = Ask(rig, kUpgradeDownload, {});
    }
    // A full request starts another download, which forgets the verified package.
    uint8_t first;
    verified = rig.firmware->Downloader().GetData(0, 1, &first) == 1;
  } else if (answer.size() == 2) {
    if (answer[0] != 1 || (answer[1] != 1 && answer[1] != 2)) Finding("bad type-14 refusal");
    if (payload.size() == 6 && answer[1] == 2) {
      const uint64_t offset = Le(payload.data(), 4), count = Le(payload.data() + 4, 2);
      if (offset + count <= package.bytes.size()) Finding("a chunk inside the package was refused");
    }
  } else {
    if (payload.size() != 6 || answer.size() < 7 || answer[0] != 0) Finding("bad type-14 answer");
    const uint32_t offset = Le(answer.data() + 1, 4);
    const uint16_t count = Le(answer.data() + 5, 2);
    if (offset != Le(payload.data(), 4) || count != Le(payload.data() + 4, 2) ||
        answer.size() != 7u + count || uint64_t{offset} + count > package.bytes.size() ||
        !std::equal(answer.begin() + 7, answer.end(), package.bytes.begin() + offset))
      Finding("a chunk that is not the package's bytes");
  }
  return 0;
}

}  // namespace brisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return brisk::fuzz::RunOne(data, size);
}
