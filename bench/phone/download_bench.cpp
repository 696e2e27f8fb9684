// Timed Emergency-mode downloads against simulated handsets on
// pseudo-terminals, at time scale 1 (real protocol waits).
//
//   phone_download_bench            one handset: mean time per WRITE block
//                                   against the protocol's 10 ms settle floor
//   phone_download_bench --six      also six handsets at once: write phase of
//                                   six against one
//   --scale S                       another time scale, for a quick check
//
// The write phase of a slot runs from its WRITE step event to its last
// progress event; the run is ended right after it, the final restart is not
// waited for.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "phone/image_buffer.h"
#include "phone/phone_worker.h"
#include "sim/phone_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace k730;

constexpr uint32_t kImageSize = 0x200000;
constexpr int kBlocks = static_cast<int>((kImageSize - 0x10000) / 1024);

struct SlotTimes {
  Clock::time_point writeStart{};
  Clock::time_point lastProgress{};
  int progress = 0;
  int failures = 0;
  bool done = false;
};

class TimingSink : public MessageSink {
 public:
  explicit TimingSink(int slots) : times_(static_cast<size_t>(slots)) {}
  bool PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) override {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    SlotTimes& t = times_.at(static_cast<size_t>(lParam));
    if (id == msg::WM_PHONE_STEP && wParam == kStepWrite) t.writeStart = now;
    if (id == msg::WM_PHONE_PROGRESS) {
      t.lastProgress = now;
      if (++t.progress == 63) t.done = true;
    }
    if (id == msg::WM_PHONE_STEP_FAIL || id == msg::WM_PHONE_PORT_FAIL ||
        id == msg::WM_PHONE_WRITE_FAIL || id == msg::WM_PHONE_ERASE_FAIL) {
      ++t.failures;
    }
    return true;
  }
  bool AllDone() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const SlotTimes& t : times_)
      if (!t.done && t.failures == 0) return false;
    return true;
  }
  std::vector<SlotTimes> Times() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
  }

 private:
  std::mutex mutex_;
  std::vector<SlotTimes> times_;
};

std::string MakeTempDir() {
  std::string pattern = "/tmp/k730-phone-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return pattern;
}

// Runs n handsets at once; returns the mean write-phase seconds, or -1.
double RunDownloads(int handsets, const std::string& dir, ImageBuffer& image) {
  std::vector<std::unique_ptr<sim::PhoneSim>> phones;
  for (int i = 0; i < handsets; ++i) {
    sim::PhoneSimConfig config;
    config.portDir = dir;
    config.portNumber = 30 + i;
    config.emergency = true;
    phones.push_back(std::make_unique<sim::PhoneSim>(config));
    std::string error;
    if (!phones.back()->Start(error)) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      return -1;
    }
  }
  std::mutex lock;
  TimingSink sink(handsets);
  std::vector<std::unique_ptr<CPhone>> workers;
  for (int i = 0; i < handsets; ++i) {
    workers.push_back(std::make_unique<CPhone>(lock));
    CPhone& w = *workers.back();
    w.CreateThread();
    w.SetLinkOption(kLinkOptionNoLeadingFlag);
    w.SetNotifyWindow(&sink);
    w.SetPort(30 + i);
    w.SetBaudRate(115200);
    w.SetMode(mode::kPhEmergency, 0);
    w.SetAuxOption(5000);
    w.SetImage(&image);
    w.SetRange(0x10000, kImageSize - 0x10000, 0);
    w.PostThreadMessage(msg::StartDownload, 0, i);
  }
  while (!sink.AllDone()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (auto& w : workers) w->Reclaim();

  double total = 0;
  for (int i = 0; i < handsets; ++i) {
    const SlotTimes t = sink.Times()[static_cast<size_t>(i)];
    if (t.failures || !t.done) {
      std::fprintf(stderr, "slot %d did not complete its write phase\n", i);
      return -1;
    }
    const double seconds = std::chrono::duration<double>(t.lastProgress - t.writeStart).count();
    std::printf("  slot %d: write phase %.3f s, %.3f ms per block, %d blocks accepted\n", i,
                seconds, seconds * 1000 / kBlocks,
                phones[static_cast<size_t>(i)]->AcceptedWrites());
    total += seconds;
  }
  return total / handsets;
}

}  // namespace

int main(int argc, char** argv) {
  bool six = false;
  double scale = 1.0;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--six")) {
      six = true;
    } else if (!std::strcmp(argv[i], "--scale") && i + 1 < argc) {
      scale = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--six] [--scale S]\n", argv[0]);
      return 2;
    }
  }
  SetProcessTimeScale(scale);
  const std::string dir = MakeTempDir();
  setenv("K730_PORT_DIR", dir.c_str(), 1);

  // A phone half with a valid trailer (start address 0x10000).
  std::vector<uint8_t> data(kImageSize);
  uint32_t x = 99;
  for (auto& b : data) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  std::memset(data.data() + kImageSize - 18, 0, 6);
  data[kImageSize - 14] = 0x01;
  const std::string path = dir + "/qpx_bin.tmp";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(data.data(), 1, data.size(), file);
  std::fclose(file);
  ImageBuffer image;
  if (image.OpenImage(path) != 1 || image.BuildBlockTable() != 1) {
    std::fprintf(stderr, "cannot load the phone half\n");
    return 1;
  }

  std::printf("Emergency-mode download, %d WRITE blocks, time scale %g\n", kBlocks, scale);
  const double one = RunDownloads(1, dir, image);
  if (one < 0) return 1;
  const double settleFloorMs = 10 * scale;
  std::printf("one handset: %.3f ms per block (settle floor %.3f ms, goal <= %.3f ms)\n",
              one * 1000 / kBlocks, settleFloorMs, 11 * scale);
  if (six) {
    const double many = RunDownloads(6, dir, image);
    if (many < 0) return 1;
    std::printf("six handsets: mean write phase %.3f s, ratio to one %.3f (goal <= 1.2)\n", many,
                many / one);
  }
  std::remove(path.c_str());
  rmdir(dir.c_str());
  return 0;
}
