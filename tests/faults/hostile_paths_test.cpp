// The programs against what a careless or hostile user puts in their way:
// FIFOs and links where files belong, readers that quit, terminals that
// close, a second console or simulator on the same bench. Nothing may block,
// be written through, or end a flash without its record.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "sim_harness.h"

namespace k730 {
namespace {

using e2e::Bench;
using e2e::FileText;
using e2e::Process;

class HostilePaths : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = bench_.MakeImg();
    ASSERT_FALSE(image_.empty()) << FileText(bench_.Path("tool.err"));
  }

  std::vector<std::string> Dl(const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> argv = {e2e::BinDir() + "/k730dl", "--phone-mode", "normal",
                                     "--pda-mode", "all"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(image_);
    return argv;
  }
  Bench::DlResult Finish(Process& dl) const {
    const int status = dl.Wait(e2e::kRunPatience);
    return {status, FileText(bench_.Path("dl.out")), FileText(bench_.Path("dl.err"))};
  }
  bool OutShows(const std::string& text, Process& dl) const {
    return e2e::WaitFor(
        [&] {
          return FileText(bench_.Path("dl.out")).find(text) != std::string::npos || !dl.Running();
        },
        e2e::kRunPatience);
  }
  void ExpectCompletedRows(size_t count) const {
    const auto rows = bench_.RecordLines();
    ASSERT_EQ(rows.size(), count);
    for (const std::string& row : rows)
      EXPECT_NE(row.find(",completed,"), std::string::npos) << row;
  }

  Bench bench_;
  std::string image_;
};

TEST_F(HostilePaths, FifosAndLinksInEveryPlaceAreReportedAndNothingBlocks) {
  for (const char* fifo :
       {"image.img", "settings.ini", "trace", "records/runs.csv", "logs/slot0.log"})
    ASSERT_EQ(mkfifo(bench_.Path(fifo).c_str(), 0600), 0) << fifo;
  const std::string victim = bench_.Path("victim");
  std::ofstream(victim) << "keep";
  ASSERT_EQ(symlink(victim.c_str(), bench_.Path("logs/slot1.log").c_str()), 0);

  e2e::ProcessOptions options = bench_.DlOptions();
  Process refused({e2e::BinDir() + "/k730dl", bench_.Path("image.img")}, options);
  Bench::DlResult r = Finish(refused);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("[ERROR]File Access error!"), std::string::npos) << r.err;

  ASSERT_TRUE(bench_.StartSim(2, 3)) << FileText(bench_.Path("sim.err"));
  options.env["K730_TRACE"] = bench_.Path("trace");
  Process dl(Dl({"--expect", "2", "--log-dir", bench_.Path("logs")}), options);
  r = Finish(dl);
  EXPECT_EQ(r.status, 4) << r.err;  // every slot completed, not everything written
  for (const std::string& line :
       {"K730_TRACE: cannot write " + bench_.Path("trace") + ": a FIFO with no reader",
        "k730dl: cannot write " + bench_.Path("logs/slot0.log") + ": a FIFO with no reader",
        "k730dl: cannot write " + bench_.Path("logs/slot1.log") + ": a symbolic link, not followed",
        "k730dl: the run record could not be fully written: " + bench_.Path("records/runs.csv") +
            ": a FIFO with no reader"})
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  EXPECT_TRUE(bench_.PhoneDumpMatches(3) && bench_.PhoneDumpMatches(4));
  EXPECT_EQ(FileText(victim), "keep");
  EXPECT_TRUE(std::filesystem::is_fifo(bench_.Path("settings.ini")));
}

TEST_F(HostilePaths, ASecondSignalEndsARunThatCannotEnd) {
  // A trace reader that never reads: the workers block writing to it.
  ASSERT_EQ(mkfifo(bench_.Path("trace").c_str(), 0600), 0);
  const int reader = open(bench_.Path("trace").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(bench_.StartSim(1, 3)) << FileText(bench_.Path("sim.err"));
  e2e::ProcessOptions options = bench_.DlOptions();
  options.env["K730_TRACE"] = bench_.Path("trace");
  Process dl(Dl(), options);
  // Until one of its threads waits in the kernel to write into the full pipe,
  // or, where the kernel does not name wait channels, the pipe stays well
  // filled for longer than any wait of a run at this scale.
  const int capacity = fcntl(reader, F_GETPIPE_SZ);
  const auto queued = [&] {
    int bytes = 0;
    return ioctl(reader, FIONREAD, &bytes) == 0 ? bytes : 0;
  };
  const auto blocked = [&] {
    const std::string tasks = "/proc/" + std::to_string(dl.Pid()) + "/task";
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ignored))
      if (FileText(task.path() / "wchan").find("pipe_write") != std::string::npos) return true;
    const int before = queued();
    if (capacity <= 0 || before < capacity / 2) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return queued() == before;
  };
  ASSERT_TRUE(e2e::WaitFor([&] { return blocked() || !dl.Running(); }, e2e::kRunPatience));
  dl.Signal(SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // two signals, not one
  dl.Signal(SIGTERM);
  EXPECT_EQ(dl.Wait(e2e::kRunPatience), 128 + SIGTERM);
  close(reader);
}

TEST_F(HostilePaths, AReaderThatQuitsOrATerminalThatClosesDoesNotStopTheFlash) {
  ASSERT_TRUE(bench_.StartSim(1, 3)) << FileText(bench_.Path("sim.err"));
  // Standard output into a pipe whose reader quits at the first WRITE line.
  e2e::ProcessOptions options = bench_.DlOptions();
  options.outPath = bench_.Path("out.fifo");
  ASSERT_EQ(mkfifo(options.outPath.c_str(), 0600), 0);
  const int reader = open(options.outPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Process piped(Dl({"--log-dir", bench_.Path("logs/new/deeper")}), options);
  fcntl(reader, F_SETFL, 0);
  std::string seen;
  char block[256];
  for (ssize_t n;
       seen.find("WRITE.") == std::string::npos && (n = read(reader, block, sizeof block)) > 0;)
    seen.append(block, static_cast<size_t>(n));
  close(reader);
  Bench::DlResult r = Finish(piped);
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("standard output could not be fully written"), std::string::npos) << r.err;
  ExpectCompletedRows(1);
  EXPECT_NE(FileText(bench_.Path("logs/new/deeper/slot0.log")).find("Download Completed"),
            std::string::npos);

  Process hungUp(Dl(), bench_.DlOptions());
  ASSERT_TRUE(OutShows("WRITE.", hungUp));
  hungUp.Signal(SIGHUP);
  r = Finish(hungUp);
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectCompletedRows(2);
  EXPECT_TRUE(bench_.PhoneDumpMatches(3));
}

TEST_F(HostilePaths, RefusedBeforeGoWithTheReason) {
  std::ofstream(bench_.Path("in-the-way")) << "x";
  // A console waiting for a handset holds the bench.
  Process first(Dl({"--expect", "1", "--wait", "120"}), bench_.DlOptions());
  const std::string holder = " " + std::to_string(first.Pid()) + " ";
  ASSERT_TRUE(e2e::WaitFor(
      [&] { return FileText("/proc/locks").find(holder) != std::string::npos || !first.Running(); },
      e2e::kRunPatience));
  const std::string lock = "k730dl: another console (pid " + std::to_string(first.Pid()) + ")";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"a file in the log folder's way",
       {"--log-dir", bench_.Path("in-the-way/logs")},
       {},
       "k730dl: --log-dir: " + bench_.Path("in-the-way") + ": not a directory; nothing flashed"},
      {"a bad time scale", {}, {{"K730_TIME_SCALE", "nan"}}, "k730dl: K730_TIME_SCALE: 'nan'"},
      {"a second console", {}, {}, lock},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::ProcessOptions options = bench_.DlOptions();
    options.outPath = options.errPath;  // nothing may have been flashed or printed first
    for (const auto& [name, value] : c.env) options.env[name] = value;
    Process dl(Dl(c.args), options);
    const Bench::DlResult r = Finish(dl);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(c.says, 0), 0u) << r.err;
  }
  first.Signal(SIGINT);
  EXPECT_EQ(first.Wait(e2e::kRunPatience), 1);
  EXPECT_TRUE(bench_.RecordLines().empty());
}

TEST_F(HostilePaths, TheSimulatorTakesOnlyItsOwnEntries) {
  auto sim = [&](const std::string& ports, const std::string& out) {
    e2e::ProcessOptions options = bench_.DlOptions();
    options.outPath = options.errPath = bench_.Path(out);
    return std::make_unique<Process>(
        std::vector<std::string>{e2e::BinDir() + "/k730-sim", "--handsets", "1", "--first-port",
                                 "3", "--port-dir", bench_.Path(ports), "--palm-dir",
                                 bench_.Path("palm")},
        options);
  };
  // Someone else's COM3 stays; a dead simulator's COM3, named by its lock, goes.
  ASSERT_EQ(symlink("/dev/null", bench_.Path("ports/COM3").c_str()), 0);
  EXPECT_EQ(sim("ports", "a.out")->Wait(e2e::kRunPatience), 1);
  EXPECT_NE(FileText(bench_.Path("a.out")).find("ports/COM3 exists and is not this simulator's"),
            std::string::npos);
  EXPECT_EQ(std::filesystem::read_symlink(bench_.Path("ports/COM3")), "/dev/null");
  std::ofstream(bench_.Path("ports/.k730-sim.lock")) << "999999999\nCOM3\n";
  auto owner = sim("ports", "b.out");
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        return FileText(bench_.Path("b.out")).find("ready") != std::string::npos ||
               !owner->Running();
      },
      e2e::kRunPatience))
      << FileText(bench_.Path("b.out"));
  EXPECT_NE(std::filesystem::read_symlink(bench_.Path("ports/COM3")), "/dev/null");
  // A second simulator on the same folder is told whose it is.
  EXPECT_EQ(sim("ports", "c.out")->Wait(e2e::kRunPatience), 1);
  EXPECT_NE(FileText(bench_.Path("c.out")).find("(pid " + std::to_string(owner->Pid()) + ")"),
            std::string::npos)
      << FileText(bench_.Path("c.out"));
  owner->Terminate();
  EXPECT_EQ(owner->Wait(e2e::kRunPatience), 0);
  EXPECT_FALSE(e2e::FileExists(bench_.Path("ports/COM3")));
}

}  // namespace
}  // namespace k730
