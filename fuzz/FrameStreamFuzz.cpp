// Any byte stream from the reader, through the real frame reader on a pty: nothing crashes,
// the relay keeps running, and a clean frame after the stream is still read.
#include <cstdint>
#include <mutex>
#include <vector>

#include "fuzz/support/LinkRig.h"
#include "tests/link/ServiceAccess.h"

namespace brisk::fuzz {

using link::Brisk7ServiceTestAccess;

int RunOne(const uint8_t* data, size_t size) {
  static LinkRig& rig = *new LinkRig(false);
  static uint32_t nonce = 0;
  link::Brisk7Service& service = *rig.service;
  Brisk7ServiceTestAccess::ResetAnswer(service);
  rig.reader->SendRaw(std::vector<uint8_t>(data, data + size));
  // Completes whatever frame the input left open, so no read waits for its silence limit.
  rig.reader->SendRaw(std::vector<uint8_t>(2100, 0));

  ++nonce;
  const std::vector<uint8_t> mark = {
      0x30, static_cast<uint8_t>(nonce), static_cast<uint8_t>(nonce >> 8),
      static_cast<uint8_t>(nonce >> 16), static_cast<uint8_t>(nonce >> 24)};
  const std::vector<uint8_t> sentinel(mark.begin() + 1, mark.end());
  // A bad head throws away what waits, the sentinel too: it is sent again until it is read.
  const int64_t end = platform::NowMs() + 20000;
  for (;;) {
    rig.reader->SendFrame(0x30, sentinel);
    for (int i = 0; i < 50; ++i) {
      if (Brisk7ServiceTestAccess::AnswerSignalled(service) &&
          Brisk7ServiceTestAccess::Staged(service) == mark) {
        rig.Tick();
        return 0;
      }
      usleep(50);
    }
    if (platform::NowMs() > end) Finding("a clean frame after the input was never read");
    platform::SleepMs(1);
  }
}

}  // namespace brisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return brisk::fuzz::RunOne(data, size);
}
