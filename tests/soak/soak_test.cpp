// The soak run: the console core in this process, six simulated handsets in a
// k730-sim process, many PDA+PHONE runs one after the other. After every run
// each dump must equal the image, and the process must hold no more threads,
// descriptors or heap than after the first run.
//
// K730_SOAK_RUNS overrides the number of runs (default 25; 6 under the
// sanitizers, where one run takes several seconds and the heap is not
// measured: their own checks cover races and leaks there).
#include <dirent.h>
#include <malloc.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "console/console_ids.h"
#include "console/downloader_dialog.h"
#include "console/real_platform.h"
#include "core/clock.h"
#include "sim_harness.h"

namespace k730 {
namespace {

using e2e::Bench;

constexpr int kHandsets = 6;
constexpr int kFirstPort = 3;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultRuns = 6;
#else
constexpr int kDefaultRuns = 25;
#endif
// Room for the allocator's own bookkeeping between runs.
constexpr int64_t kHeapTolerance = 2 * 1024 * 1024;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
// The sanitizers' allocators keep freed memory aside; their leak checks cover
// the heap there.
constexpr bool kHeapIsMeasured = false;
#else
constexpr bool kHeapIsMeasured = true;
#endif

int Runs() {
  const char* text = std::getenv("K730_SOAK_RUNS");
  const int runs = text ? std::atoi(text) : kDefaultRuns;
  return runs >= 2 ? runs : kDefaultRuns;
}

size_t Entries(const char* directory) {
  size_t n = 0;
  if (DIR* dir = opendir(directory)) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++n;
    closedir(dir);
  }
  return n;
}

struct Usage {
  size_t threads = 0;
  size_t descriptors = 0;  // without the one that lists them
  int64_t heapBytes = 0;   // in use, from the allocator
  int64_t rssKiB = 0;
};

int64_t RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  return 0;
}

Usage Measure() {
  Usage u;
  u.threads = Entries("/proc/self/task");
  u.descriptors = Entries("/proc/self/fd") - 1;
  const struct mallinfo2 info = mallinfo2();
  u.heapBytes = static_cast<int64_t>(info.uordblks + info.hblkhd);
  u.rssKiB = RssKiB();
  return u;
}

// A view that keeps only what the soak looks at: the current run's slot texts,
// Go, messages and the run summaries.
class SoakView : public ConsoleView {
 public:
  JobForm ReadForm() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return form_;
  }
  void RefreshForm(const JobForm& form) override {
    std::lock_guard<std::mutex> lock(mutex_);
    form_ = form;
  }
  void SetControlEnabled(int id, bool enabled) override {
    if (id != ctl::kGo) return;
    std::lock_guard<std::mutex> lock(mutex_);
    goEnabled_ = enabled;
  }
  void SetControlVisible(int, bool) override {}
  void AppendSlotText(int slot, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot >= 0 && slot < kSlotCount) text_[slot] += text;
  }
  void ClearSlotText(int slot) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot >= 0 && slot < kSlotCount) text_[slot].clear();
  }
  void SetSlotProgress(int, uint32_t) override {}
  void SetSlotStatusText(int, const std::string&) override {}
  std::optional<std::string> ChooseOpenFile(const FileDialogSpec&) override { return {}; }
  MessageAnswer ShowMessage(const std::string& text, MessageIcon, MessageButtons buttons) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lastMessage_ = text;
    ++messages_;
    return buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
  }
  void Opened() override {
    std::lock_guard<std::mutex> lock(mutex_);
    opened_ = true;
    changed_.notify_all();
  }
  void JobRefused(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    refusal_ = text;
    changed_.notify_all();
  }
  void RunEnded(const RunSummary& summary) override {
    std::lock_guard<std::mutex> lock(mutex_);
    summaries_.push_back(summary);
    changed_.notify_all();
  }

  void SetJob(const std::string& image) {
    std::lock_guard<std::mutex> lock(mutex_);
    form_.imagePath = image;
    form_.deviceMode = mode::kPdaPhone;
    form_.phoneMode = mode::kPhNormal;
    form_.pdaMode = mode::kPdaAll;
  }
  bool WaitOpened() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, e2e::kRunPatience, [&] { return opened_; });
  }
  // The summary of run number n (1-based), or nothing when it did not end in time.
  std::optional<RunSummary> WaitForRun(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, e2e::kRunPatience,
                           [&] { return summaries_.size() >= n || !refusal_.empty(); }) ||
        summaries_.size() < n)
      return std::nullopt;
    return summaries_[n - 1];
  }
  std::string Text(int slot) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_[slot];
  }
  bool GoEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return goEnabled_;
  }
  std::string Problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusal_ + (messages_ ? " message: " + lastMessage_ : "");
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  JobForm form_;
  std::array<std::string, kSlotCount> text_;
  bool goEnabled_ = false;
  bool opened_ = false;
  std::string refusal_;
  std::string lastMessage_;
  int messages_ = 0;
  std::vector<RunSummary> summaries_;
};

// Polls until the usage falls to the limits, or the patience is spent; the
// last measurement. Worker threads that delivered the run's end are still
// leaving when it is seen.
Usage SettledWithin(const Usage& limit, int64_t heapTolerance) {
  Usage u = Measure();
  e2e::WaitFor(
      [&] {
        u = Measure();
        return u.threads <= limit.threads && u.descriptors <= limit.descriptors &&
               (!kHeapIsMeasured || u.heapBytes <= limit.heapBytes + heapTolerance);
      },
      std::chrono::seconds(10));
  return u;
}

// The first run's usage once its threads have left: unchanged for a while.
Usage Settled() {
  Usage last = Measure();
  int steady = 0;
  for (int i = 0; i < 500 && steady < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const Usage now = Measure();
    steady = now.threads == last.threads && now.descriptors == last.descriptors ? steady + 1 : 0;
    last = now;
  }
  return last;
}

TEST(Soak, SixHandsetsThroughManyPdaPhoneRuns) {
  Bench bench;
  const std::string image = bench.MakeImg();
  ASSERT_FALSE(image.empty()) << e2e::FileText(bench.Path("tool.err"));
  ASSERT_TRUE(bench.StartSim(kHandsets, kFirstPort)) << e2e::FileText(bench.Path("sim.err"));
  for (const auto& [name, value] : bench.Env()) setenv(name.c_str(), value.c_str(), 1);
  SetProcessTimeScale(std::atof(bench.Env().at("K730_TIME_SCALE").c_str()));
  const int runs = Runs();

  std::mutex reenumerationLock;
  SoakView view;
  RealPhonePlatform phone(reenumerationLock);
  RealPdaPlatform pda;
  DownloaderDialog::Options options;
  options.stagingDirectory = bench.Dir();
  options.recordDirectory = bench.Path("records");
  options.hostFileDirectory = bench.Dir();
  std::optional<Usage> first;
  Usage last;
  std::chrono::duration<double> runTime{};
  {
    DownloaderDialog console(view, phone, pda, options);
    // Ends the console however the loop below is left.
    struct ConsoleThread {
      DownloaderDialog& console;
      std::thread thread{[this] { console.Run(); }};
      ~ConsoleThread() {
        console.RequestExit();
        thread.join();
      }
    } consoleThread{console};
    ASSERT_TRUE(view.WaitOpened());
    for (int run = 1; run <= runs; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      for (const auto& entry : std::filesystem::directory_iterator(bench.Path("dump")))
        std::filesystem::remove(entry.path());
      view.SetJob(image);
      const auto started = std::chrono::steady_clock::now();
      console.PostCommand(ctl::kGo);
      const std::optional<RunSummary> summary = view.WaitForRun(static_cast<size_t>(run));
      runTime += std::chrono::steady_clock::now() - started;
      ASSERT_TRUE(summary.has_value()) << "the run did not end: " << view.Problems();
      ASSERT_EQ(summary->slots.size(), static_cast<size_t>(kHandsets));
      for (const SlotOutcome& slot : summary->slots) {
        EXPECT_EQ(slot.result, SlotOutcome::Result::Completed)
            << "slot " << slot.slot << " " << slot.failedStep << "\n"
            << view.Text(slot.slot);
      }
      EXPECT_TRUE(view.GoEnabled());
      const ConsoleSnapshot s = console.Snapshot();
      EXPECT_FALSE(s.runActive || s.phoneImageLoaded || s.pdaImageLoaded);
      for (int i = 0; i < kHandsets; ++i) {
        EXPECT_TRUE(bench.PhoneDumpMatches(kFirstPort + i)) << "phone " << i;
        EXPECT_TRUE(bench.PdaDumpsMatch(kFirstPort + i)) << "pda " << i;
      }
      if (::testing::Test::HasFailure()) break;

      if (!first) {
        first = Settled();
        last = *first;
        continue;
      }
      last = SettledWithin(*first, kHeapTolerance);
      EXPECT_LE(last.threads, first->threads);
      EXPECT_LE(last.descriptors, first->descriptors);
      if (kHeapIsMeasured) {
        EXPECT_LE(last.heapBytes, first->heapBytes + kHeapTolerance);
      }
      if (::testing::Test::HasFailure()) break;
    }
  }
  const std::string simErr = e2e::FileText(bench.Path("sim.err"));
  EXPECT_EQ(bench.StopSim(), 0) << simErr;
  EXPECT_EQ(simErr.find("Sanitizer"), std::string::npos) << simErr;
  ASSERT_TRUE(first.has_value());
  const auto lines = bench.RecordLines();
  EXPECT_EQ(lines.size(), static_cast<size_t>(runs * kHandsets));
  char heap[96] = "not measured (sanitizer allocator)";
  if (kHeapIsMeasured) {
    std::snprintf(heap, sizeof heap, "%lld / %lld KiB",
                  static_cast<long long>(first->heapBytes / 1024),
                  static_cast<long long>(last.heapBytes / 1024));
  }
  std::printf(
      "soak: %d runs of %d handsets, %.2f s per run; after run 1 / run %d: threads %zu / %zu, "
      "descriptors %zu / %zu, heap in use %s, VmRSS %lld / %lld KiB\n",
      runs, kHandsets, runTime.count() / runs, runs, first->threads, last.threads,
      first->descriptors, last.descriptors, heap, static_cast<long long>(first->rssKiB),
      static_cast<long long>(last.rssKiB));
}

}  // namespace
}  // namespace k730
