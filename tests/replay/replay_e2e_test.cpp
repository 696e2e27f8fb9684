// Record a k730dl run against k730-sim with K730_RECORD, then replay it with
// K730_REPLAY and no simulator: the same slot logs and the same exit status;
// a replay with another image diverges and says where.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "sim_harness.h"

namespace k730 {
namespace {

using e2e::BinDir;
using e2e::FileText;
using e2e::Process;

// A replay keeps the recorded run's order of events only where the real
// latencies of that run (the simulator's, the scheduler's) stay small against
// the scaled waits between them: a Palm device that arrives in the phone's
// final phase must not drift into the console's eight-second wait. Larger
// than the k730dl tests' scale for that reason, more so in sanitized builds.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr const char* kTimeScale = "0.05";
#else
constexpr const char* kTimeScale = "0.02";
#endif

class ReplayEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "k730replay-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    for (const char* sub : {"/ports", "/palm", "/dump", "/rec", "/empty-ports", "/empty-palm"})
      std::filesystem::create_directories(dir_ + sub);
    common_ = {{"K730_TIME_SCALE", kTimeScale},
               {"K730_SETTINGS_FILE", dir_ + "/settings.ini"},
               {"K730_LOG_DIR", dir_ + "/records"}};
    ASSERT_EQ(Tool({BinDir() + "/k730-image", "demo-components", "-C", dir_ + "/c"}), 0);
  }
  void TearDown() override {
    StopSim();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::map<std::string, std::string> Env(std::map<std::string, std::string> extra) const {
    extra.insert(common_.begin(), common_.end());
    return extra;
  }

  int Tool(const std::vector<std::string>& argv) {
    Process tool(argv, dir_, Env({}), dir_ + "/tool.out", dir_ + "/tool.err");
    return tool.Wait(std::chrono::seconds(60));
  }

  std::string MakeImg(const std::string& phone, const std::string& name) {
    const std::string out = dir_ + "/" + name;
    EXPECT_EQ(Tool({BinDir() + "/k730-image", "make-img", "--phone", phone, "--ipl",
                    dir_ + "/c/ipl.bin", "--widebin", dir_ + "/c/demo.widebin", "--resource",
                    dir_ + "/c/resource.bin", "-o", out}),
              0)
        << FileText(dir_ + "/tool.err");
    return out;
  }

  void StartSim(int handsets, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {BinDir() + "/k730-sim",
                                     "--handsets",
                                     std::to_string(handsets),
                                     "--first-port",
                                     "3",
                                     "--port-dir",
                                     dir_ + "/ports",
                                     "--palm-dir",
                                     dir_ + "/palm",
                                     "--dump",
                                     dir_ + "/dump",
                                     "--restart-delay",
                                     "50",
                                     "--baud",
                                     "0",
                                     "--usb-rate",
                                     "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<Process>(argv, dir_, Env({}), dir_ + "/sim.out", dir_ + "/sim.err");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (FileText(dir_ + "/sim.out").find("ready") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << FileText(dir_ + "/sim.err");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void StopSim() {
    if (!sim_) return;
    sim_->Terminate();
    sim_->Wait(std::chrono::seconds(10));
    sim_.reset();
  }

  struct Run {
    int status;
    std::string out, err;
    std::map<int, std::string> logs;  // slot -> log, the worker's address line taken out
  };
  Run Dl(const std::string& name, std::vector<std::string> args,
         const std::map<std::string, std::string>& env) {
    const std::string logDir = dir_ + "/" + name + "-logs";
    args.insert(args.begin(), {BinDir() + "/k730dl", "--log-dir", logDir});
    Process dl(args, dir_, Env(env), dir_ + "/" + name + ".out", dir_ + "/" + name + ".err");
    Run run{dl.Wait(std::chrono::seconds(120)),
            FileText(dir_ + "/" + name + ".out"),
            FileText(dir_ + "/" + name + ".err"),
            {}};
    for (int slot = 0; slot < 6; ++slot) {
      const std::string path = logDir + "/slot" + std::to_string(slot) + ".log";
      if (!std::filesystem::exists(path)) continue;
      std::istringstream lines(FileText(path));
      std::string line, text;
      while (std::getline(lines, line))
        if (line.find("]m_PhoneThread[") == std::string::npos) text += line + "\n";
      run.logs[slot] = text;
    }
    return run;
  }
  Run Record(std::vector<std::string> args, int handsets) {
    args.insert(args.begin(), {"--expect", std::to_string(handsets)});
    Run run = Dl("record", args,
                 {{"K730_PORT_DIR", dir_ + "/ports"},
                  {"K730_PALM_DIR", dir_ + "/palm"},
                  {"K730_RECORD", dir_ + "/rec"}});
    StopSim();
    return run;
  }
  // Nothing answers in the port and Palm directories: only the recording.
  Run Replay(const std::string& name, const std::vector<std::string>& args) {
    return Dl(name, args,
              {{"K730_PORT_DIR", dir_ + "/empty-ports"},
               {"K730_PALM_DIR", dir_ + "/empty-palm"},
               {"K730_REPLAY", dir_ + "/rec"}});
  }

  static void ExpectSameLogs(const Run& recorded, const Run& replayed) {
    ASSERT_FALSE(recorded.logs.empty());
    ASSERT_EQ(replayed.logs.size(), recorded.logs.size());
    for (const auto& [slot, text] : recorded.logs) {
      SCOPED_TRACE(slot);
      EXPECT_EQ(replayed.logs.at(slot), text);
    }
    EXPECT_EQ(replayed.err.find("k730 replay:"), std::string::npos) << replayed.err;
  }

  std::string dir_;
  std::map<std::string, std::string> common_;
  std::unique_ptr<Process> sim_;
};

TEST_F(ReplayEndToEnd, AGoodRunReplaysToTheSameLogsAndAnotherImageDiverges) {
  const std::string img = MakeImg(dir_ + "/c/phone.bin", "TOVA_Korvan_Release.img");
  StartSim(2);
  const std::vector<std::string> job = {"--phone-mode", "normal", "--pda-mode", "all", img};
  const Run recorded = Record(job, 2);
  ASSERT_EQ(recorded.status, 0) << recorded.err << recorded.out;
  for (const char* file : {"console-1", "serial-COM3-1", "serial-COM4-1", "palm-3-1", "palm-4-1"})
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/rec/" + file + ".k730rec")) << file;
  EXPECT_EQ(Tool({BinDir() + "/k730-rec", "check", dir_ + "/rec"}), 0);

  const Run replayed = Replay("replay", job);
  EXPECT_EQ(replayed.status, 0) << replayed.err << replayed.out;
  ExpectSameLogs(recorded, replayed);
  EXPECT_NE(replayed.logs.at(1).find("[PDA:1]Download Completed"), std::string::npos);

  // The same recording with a phone half changed in block 0x50 (writes start at
  // 0x10000): the host's
  // write of that block is not the recorded one.
  std::string phone = FileText(dir_ + "/c/phone.bin");
  phone[0x50 * 1024 + 5] = static_cast<char>(phone[0x50 * 1024 + 5] ^ 0x40);
  std::ofstream(dir_ + "/c/phone-changed.bin", std::ios::binary) << phone;
  const std::string changed = MakeImg(dir_ + "/c/phone-changed.bin", "changed.img");
  const Run diverged = Replay("diverged", {"--phone-mode", "normal", "--pda-mode", "all", changed});
  EXPECT_EQ(diverged.status, 3) << diverged.err;
  EXPECT_NE(diverged.err.find("k730 replay: serial-COM3-1.k730rec: record "), std::string::npos)
      << diverged.err;
  EXPECT_NE(diverged.err.find("host-to-device byte "), std::string::npos) << diverged.err;
  EXPECT_NE(diverged.err.find("send): expected 0x"), std::string::npos) << diverged.err;
  EXPECT_NE(diverged.err.find(", got 0x"), std::string::npos) << diverged.err;
  EXPECT_NE(diverged.err.find("k730dl: the run did not follow the recording"), std::string::npos);
}

TEST_F(ReplayEndToEnd, AFailingPhoneRunReplaysToTheSameFailure) {
  const std::string img = MakeImg(dir_ + "/c/phone.bin", "TOVA_Korvan_Release.img");
  StartSim(2, {"--fault", "refuse-always:5@1"});
  const std::vector<std::string> job = {"--phone-mode", "normal", "--pda-mode", "all", img};
  const Run recorded = Record(job, 2);
  ASSERT_EQ(recorded.status, 1) << recorded.err << recorded.out;
  ASSERT_NE(recorded.err.find("k730dl: slot 1 failed at WRITE"), std::string::npos) << recorded.err;

  const Run replayed = Replay("replay", job);
  EXPECT_EQ(replayed.status, 1) << replayed.err;
  EXPECT_NE(replayed.err.find("k730dl: slot 1 failed at WRITE"), std::string::npos) << replayed.err;
  ExpectSameLogs(recorded, replayed);
  EXPECT_NE(replayed.logs.at(1).find("[PHONE:1]WRITE Fail-RESPONSE:6."), std::string::npos);
  EXPECT_NE(replayed.logs.at(0).find("[PDA:0]Download Completed"), std::string::npos);
}

TEST_F(ReplayEndToEnd, AFailingPalmFlashReplaysToTheSameFailure) {
  const std::string img = MakeImg(dir_ + "/c/phone.bin", "TOVA_Korvan_Release.img");
  StartSim(1, {"--fault", "palm-flash-fail"});
  const std::vector<std::string> job = {"--phone-mode", "normal", "--pda-mode", "all", img};
  const Run recorded = Record(job, 1);
  ASSERT_EQ(recorded.status, 1) << recorded.err << recorded.out;
  ASSERT_NE(recorded.logs.at(0).find("[ERROE]FLASH Write Failed"), std::string::npos);

  const Run replayed = Replay("replay", job);
  EXPECT_EQ(replayed.status, 1) << replayed.err;
  ExpectSameLogs(recorded, replayed);
}

TEST_F(ReplayEndToEnd, APdaJobWithDevicesPresentAtStartReplays) {
  const std::string pda = dir_ + "/TOVA_Korvan_Release.pda";
  ASSERT_EQ(Tool({BinDir() + "/k730-image", "make-pda", "--ipl", dir_ + "/c/ipl.bin", "--widebin",
                  dir_ + "/c/demo.widebin", "--resource", dir_ + "/c/resource.bin", "-o", pda}),
            0);
  StartSim(1, {"--palm-at-start"});
  const std::vector<std::string> job = {"--device", "pda", "--pda-mode", "all", pda};
  const Run recorded = Record(job, 1);
  ASSERT_EQ(recorded.status, 0) << recorded.err << recorded.out;

  const Run replayed = Replay("replay", job);
  EXPECT_EQ(replayed.status, 0) << replayed.err;
  // A device present at start is reported by the watcher's own thread, which
  // in the recorded run races the operator's Go: the replay reports it before
  // Go, the recorded run may have seen it a moment later. Its line is compared
  // apart.
  const std::string arrival = "GOT DBT_DEVICEARRIVAL EVENT...\r\n";
  auto withoutArrival = [&](Run run) {
    for (auto& [slot, text] : run.logs) {
      const size_t at = text.find(arrival);
      EXPECT_NE(at, std::string::npos) << slot;
      if (at != std::string::npos) text.erase(at, arrival.size());
    }
    return run;
  };
  ExpectSameLogs(withoutArrival(recorded), withoutArrival(replayed));
  // Seen before Go in the recorded run, it is replayed before Go; seen after,
  // it is replayed at its own time.
  const auto beforeGo = [&](const Run& run) {
    const std::string& text = run.logs.at(0);
    return text.find(arrival) < text.find("Loading File(PDA:");
  };
  if (beforeGo(recorded)) {
    EXPECT_TRUE(beforeGo(replayed)) << replayed.logs.at(0);
  }
}

TEST_F(ReplayEndToEnd, ADirectoryWithoutRecordingsIsRefusedBeforeTheRun) {
  const Run run =
      Replay("refused", {"--device", "phone", "--phone-mode", "normal", dir_ + "/c/phone.bin"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("k730dl: cannot replay: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("no recordings"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace k730
