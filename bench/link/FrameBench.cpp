// Frame codec throughput.
#include <benchmark/benchmark.h>

#include <vector>

#include "link/Frame.h"

using namespace brisk;
using namespace brisk::link;

static void BM_EncodeFrame(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  std::vector<uint8_t> out(data.size() + 5);
  for (auto _ : state) {
    benchmark::DoNotOptimize(frame::Encode(data.data(), data.size(), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_EncodeFrame)->Arg(3)->Arg(64)->Arg(1024)->Arg(2095);

static void BM_ChecksumFrame(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0xA5);
  for (auto _ : state) benchmark::DoNotOptimize(frame::Checksum(data.data(), data.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ChecksumFrame)->Arg(8)->Arg(2100);

BENCHMARK_MAIN();
