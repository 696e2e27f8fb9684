// Builds the WRITE frames of a whole Normal-mode phone download (1,984 blocks
// of 1,024 bytes) and reports the rate as MB/s of payload and as a multiple of
// the 11,520 bytes/s that the 115,200-baud 8N1 link can carry.
#include <benchmark/benchmark.h>

#include <vector>

#include "phone/phone_frame_codec.h"

namespace {

constexpr int kBlocks = 1984;
constexpr double kLinkBytesPerSecond = 11520.0;

std::vector<uint8_t> MakeData() {
  std::vector<uint8_t> data(size_t{kBlocks} * k730::kWriteDataSize);
  uint32_t x = 12345;
  for (auto& b : data) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return data;
}

void BM_WriteFramesOfAPhoneHalf(benchmark::State& state) {
  const std::vector<uint8_t> data = MakeData();
  k730::PhoneFrameCodec codec;
  std::vector<uint8_t> frame(k730::kFrameBufferSize);
  size_t wire = 0;
  for (auto _ : state) {
    wire = 0;
    for (int l = 0; l < kBlocks; ++l) {
      wire += codec.BuildWrite(frame.data(), 0x10000 + l * 1024u,
                               data.data() + size_t{static_cast<unsigned>(l)} * 1024);
    }
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  const double payload = static_cast<double>(kBlocks) * k730::kWritePayloadSize;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload));
  state.counters["MB/s"] = benchmark::Counter(
      payload / 1e6 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["x_link"] =
      benchmark::Counter(payload / kLinkBytesPerSecond * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  state.counters["wire_bytes"] = static_cast<double>(wire);
}
BENCHMARK(BM_WriteFramesOfAPhoneHalf)->Unit(benchmark::kMillisecond);

void BM_Crc16PerBlock(benchmark::State& state) {
  const std::vector<uint8_t> data = MakeData();
  for (auto _ : state) benchmark::DoNotOptimize(k730::Crc16::Compute(data.data(), 1031));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 1031));
}
BENCHMARK(BM_Crc16PerBlock);

}  // namespace

BENCHMARK_MAIN();
