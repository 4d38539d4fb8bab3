// Any byte stream from the reader, in any pieces and with any pauses, through the frame cutter
// the relay reads with: nothing crashes, every frame handed out is whole and well-formed, no
// verdict waits past its time, and after the stream a clean frame is still read. The cutter
// holds the rules; the link tests cover the port around it. Stream bytes are taken from the
// front of the input and the pieces and pauses from its end, so a raw stream is a good seed.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/Frame.h"
#include "link/SerialFrameReader.h"

namespace {

using brisk::link::SerialFrameReader;
namespace frame = brisk::link::frame;
using Kind = SerialFrameReader::Kind;

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "FINDING: %s\n", what);
  std::abort();
}

// Takes every verdict due at now; checks each frame and that nothing due is left waiting.
void Drain(SerialFrameReader& reader, int64_t now, std::vector<uint8_t>* lastFrame) {
  for (int guard = 0;; ++guard) {
    if (guard > 100000) Finding("the cutter never asks for more");
    const SerialFrameReader::Result r = reader.Next(now);
    if (r.kind == Kind::NeedMore) break;
    if (r.kind != Kind::Frame) continue;
    if (r.size != frame::kHeadSize + r.length || r.length == 0 || r.length > frame::kMaxLength)
      Finding("a frame of the wrong size");
    if (r.frame[0] != frame::kHead1 || r.frame[1] != frame::kHead2 ||
        frame::ReadLe16(r.frame + 2) != r.length)
      Finding("a frame without its head");
    if (lastFrame) lastFrame->assign(r.frame, r.frame + r.size);
  }
  const int64_t due = reader.Deadline();
  if (due >= 0 && due <= now) Finding("a verdict that was due is still waiting");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint32_t nonce = 0;
  FuzzedDataProvider input(data, size);
  SerialFrameReader reader;
  int64_t now = 1000;
  while (input.remaining_bytes() > 0) {
    const size_t piece = input.ConsumeIntegralInRange<size_t>(1, 4200);
    now += input.ConsumeIntegralInRange<int>(0, 3500);
    const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(piece);
    // The relay cuts before it reads again, so a read never finds the buffer full.
    size_t done = 0;
    while (done < bytes.size()) {
      const size_t n = std::min(reader.SpaceSize(), bytes.size() - done);
      if (n == 0) Finding("no room to read although every frame was cut");
      std::memcpy(reader.Space(), bytes.data() + done, n);
      reader.Added(n, now);
      done += n;
      Drain(reader, now, nullptr);
    }
  }
  // Silence ends whatever the stream left open; then a clean frame is read as it was sent.
  now += brisk::link::kBodySilenceMs + brisk::link::kHeadWaitMs;
  Drain(reader, now, nullptr);
  if (reader.Deadline() != -1) Finding("something still waits after the silence");
  ++nonce;
  const std::vector<uint8_t> clean =
      frame::Encode(0x30, {static_cast<uint8_t>(nonce), static_cast<uint8_t>(nonce >> 8), 1, 2});
  std::memcpy(reader.Space(), clean.data(), clean.size());
  reader.Added(clean.size(), now);
  std::vector<uint8_t> got;
  Drain(reader, now, &got);
  if (got != clean) Finding("a clean frame after the stream was not read");
  return 0;
}
