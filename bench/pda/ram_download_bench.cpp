// The RAM download of a 21 MB BigRom part through the socket transport
// against the simulated handheld. Reported as MB/s, as a multiple of the
// 1.2 MB/s a USB full-speed bulk link carries at most, and as the host
// thread's CPU time per MB.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/image_view.h"
#include "core/operator_prompt.h"
#include "core/slot_writer.h"
#include "pda/host_file_service.h"
#include "pda/palm_device_map.h"
#include "pda/partition_download.h"
#include "pda/pda_packets.h"
#include "pda/socket_palm_transport.h"
#include "sim/palm_sim.h"

namespace k730 {
namespace {

constexpr uint32_t kPartSize = 21 * 1024 * 1024;
constexpr double kUsbFullSpeedMBps = 1.2;

class QuietConsole : public PdaConsole, public SlotWriter, public OperatorPrompt {
 public:
  SlotWriter& Writer() override { return *this; }
  OperatorPrompt& Prompt() override { return *this; }
  HostFileTable& HostFiles() override { return files_; }
  void PdaDownloadEnded(int, int, bool) override {}
  void AppendSlotLog(int, const std::string&) override {}
  void ClearSlotLog(int) override {}
  void SetSlotProgress(int, uint32_t, uint32_t) override {}
  void SetSlotStatus(int, int) override {}
  void EnableGo(bool) override {}
  MessageAnswer ShowMessage(const std::string&, MessageIcon, MessageButtons) override {
    return MessageAnswer::Ok;
  }

 private:
  HostFileTable files_;
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_BigRomRamDownload(benchmark::State& state) {
  SetProcessTimeScale(0.001);
  std::string directory = (std::filesystem::temp_directory_path() / "k730pdabench.XXXXXX").string();
  if (!::mkdtemp(directory.data())) {
    state.SkipWithError("no temporary directory");
    return;
  }
  sim::PalmSimOptions options;
  options.directory = directory;
  options.number = 1;
  options.flashSteps = 1;  // the flash phase is the handheld's, not measured here
  sim::PalmDeviceSim device(options);
  if (!device.Plug()) {
    state.SkipWithError("simulated device did not appear");
    return;
  }
  std::vector<uint8_t> part(kPartSize);
  for (size_t i = 0; i < part.size(); ++i) part[i] = static_cast<uint8_t>(i * 2654435761u >> 24);

  SocketPalmTransport transport(directory);
  PalmUsbPort port(&transport);
  QuietConsole console;
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    if (port.Open(SimulatedPalmDeviceName(1), kPalmCreatorId) != 1) {
      state.SkipWithError("open failed");
      break;
    }
    ImageView view(part.data(), kPartSize);
    PdaJob job{0, &console, &port, &view, kTargetWidebinBigRom, mode::kPda, nullptr};
    const double before = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const int result = DownloadPartition(job);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += ThreadCpuSeconds() - before;
    port.Close();
    if (result != 1) {
      state.SkipWithError("download failed");
      break;
    }
  }
  const double mb = static_cast<double>(kPartSize) / 1e6 * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPartSize);
  if (wall > 0 && mb > 0) {
    state.counters["MB_per_s"] = mb / wall;
    state.counters["x_usb_full_speed"] = mb / wall / kUsbFullSpeedMBps;
    state.counters["host_cpu_ms_per_MB"] = cpu * 1000.0 / mb;
  }
  device.Unplug();
  std::filesystem::remove_all(directory);
}
BENCHMARK(BM_BigRomRamDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace k730

BENCHMARK_MAIN();
