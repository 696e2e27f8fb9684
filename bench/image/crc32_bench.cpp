// CRC-32 throughput against zlib's crc32 on a buffer the size of the largest
// United Binary; prints both throughputs and their ratio.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <random>
#include <vector>

#include "image/crc32.h"
#include "image/image_maker.h"

namespace {

const std::vector<uint8_t>& Buffer() {
  static const std::vector<uint8_t> buffer = [] {
    std::vector<uint8_t> b(k730::kWorkBufferSize);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i + 8 <= b.size(); i += 8) {
      const uint64_t v = rng();
      for (int k = 0; k < 8; ++k) b[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    return b;
  }();
  return buffer;
}

void BM_K730Crc32(benchmark::State& state) {
  const auto& b = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(k730::Crc32(b.data(), 0, b.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}

void BM_ZlibCrc32(benchmark::State& state) {
  const auto& b = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(::crc32(0, b.data(), static_cast<uInt>(b.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}

BENCHMARK(BM_K730Crc32)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Keeps the time per byte of each benchmark to print the ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      seconds_[run.run_name.function_name] = run.real_accumulated_time / run.iterations;
    }
  }
  void Summary() const {
    const auto ours = seconds_.find("BM_K730Crc32");
    const auto zlib = seconds_.find("BM_ZlibCrc32");
    if (ours == seconds_.end() || zlib == seconds_.end()) return;
    const double mb = k730::kWorkBufferSize / 1e6;
    std::printf("\nCrc32 (%s): %.0f MB/s   zlib crc32: %.0f MB/s   ratio: %.2f (goal >= 1.0)\n",
                k730::Crc32Method(), mb / ours->second, mb / zlib->second,
                zlib->second / ours->second);
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  if (k730::Crc32(Buffer().data(), 0, Buffer().size()) !=
      static_cast<uint32_t>(::crc32(0, Buffer().data(), static_cast<uInt>(Buffer().size())))) {
    std::fprintf(stderr, "CRC mismatch against zlib\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Summary();
  benchmark::Shutdown();
  return 0;
}
