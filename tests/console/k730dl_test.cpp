// End-to-end runs of k730dl against the handset simulator k730-sim, with
// images made by k730-image, at a small K730_TIME_SCALE.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/k730dl/dl_options.h"
#include "sim_harness.h"

namespace k730 {
namespace {

using e2e::BinDir;
using e2e::FileText;
using e2e::Process;
using e2e::Slice;

// The scaled protocol waits must still outlast what the simulator and the
// runner take to react on a loaded machine; sanitized builds run several
// times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr const char* kTimeScale = "0.01";
#else
constexpr const char* kTimeScale = "0.003";
#endif

struct Components {
  std::string phone, ipl, widebin, resource;
};

class K730dlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "k730dl-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    for (const char* sub : {"/ports", "/palm", "/dump", "/logs", "/records"})
      std::filesystem::create_directories(dir_ + sub);
    env_ = {{"K730_TIME_SCALE", kTimeScale},
            {"K730_PORT_DIR", dir_ + "/ports"},
            {"K730_PALM_DIR", dir_ + "/palm"},
            {"K730_LOG_DIR", dir_ + "/records"},
            {"K730_SETTINGS_FILE", dir_ + "/settings.ini"}};
    ASSERT_EQ(RunTool({BinDir() + "/k730-image", "demo-components", "-C", dir_ + "/c"}), 0);
    c_ = {dir_ + "/c/phone.bin", dir_ + "/c/ipl.bin", dir_ + "/c/demo.widebin",
          dir_ + "/c/resource.bin"};
  }
  void TearDown() override {
    if (sim_) {
      sim_->Terminate();
      sim_->Wait(std::chrono::seconds(10));
      sim_.reset();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  int RunTool(const std::vector<std::string>& argv) {
    Process tool(argv, dir_, env_, dir_ + "/tool.out", dir_ + "/tool.err");
    return tool.Wait(std::chrono::seconds(60));
  }

  std::string MakeImg() {
    const std::string out = dir_ + "/TOVA_Korvan_Release.img";
    EXPECT_EQ(RunTool({BinDir() + "/k730-image", "make-img", "--phone", c_.phone, "--ipl", c_.ipl,
                       "--widebin", c_.widebin, "--resource", c_.resource, "-o", out}),
              0);
    return out;
  }

  // Starts k730-sim and waits for its ready line.
  void StartSim(int handsets, int firstPort, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {BinDir() + "/k730-sim",
                                     "--handsets",
                                     std::to_string(handsets),
                                     "--first-port",
                                     std::to_string(firstPort),
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
    sim_ = std::make_unique<Process>(argv, dir_, env_, dir_ + "/sim.out", dir_ + "/sim.err");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (FileText(dir_ + "/sim.out").find("ready") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << FileText(dir_ + "/sim.err");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  struct Result {
    int status;
    std::string out, err;
  };
  Result RunDl(std::vector<std::string> args) {
    args.insert(args.begin(), BinDir() + "/k730dl");
    Process dl(args, dir_, env_, dir_ + "/dl.out", dir_ + "/dl.err");
    const int status = dl.Wait(std::chrono::seconds(60));
    return {status, FileText(dir_ + "/dl.out"), FileText(dir_ + "/dl.err")};
  }

  // The slot's lines of the runner's output, each ended with "\r\n" again.
  static std::string SlotLines(const std::string& out, int slot) {
    const std::string prefix = "[slot " + std::to_string(slot) + "] ";
    std::istringstream lines(out);
    std::string line, text;
    while (std::getline(lines, line))
      if (line.rfind(prefix, 0) == 0) text += line.substr(prefix.size()) + "\r\n";
    return text;
  }

  // Lines appear in this order in text.
  static void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
      const size_t found = text.find(line, at);
      ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line;
      at = found + line.size();
    }
  }

  void ExpectPhoneDump(int port, uint32_t start) {
    const std::string image = FileText(c_.phone);
    const std::string dump = FileText(dir_ + "/dump/phone" + std::to_string(port) + ".bin");
    ASSERT_EQ(dump.size(), image.size());
    EXPECT_TRUE(Slice(dump, start) == Slice(image, start)) << "phone" << port;
  }

  void ExpectPdaDumps(int number, bool resource, bool smallRom, bool bigRom) {
    const std::string prefix = dir_ + "/dump/pda" + std::to_string(number) + "-";
    const std::string widebin = FileText(c_.widebin);
    if (resource) {
      EXPECT_TRUE(FileText(prefix + "2.bin") == FileText(c_.resource));
    }
    if (smallRom) {
      EXPECT_TRUE(FileText(prefix + "0.bin") == Slice(widebin, 0, 0x20000));
    }
    if (bigRom) {
      EXPECT_TRUE(FileText(prefix + "6.bin") == Slice(widebin, 0x20000));
    }
  }

  std::vector<std::string> RecordLines() {
    std::istringstream csv(FileText(dir_ + "/records/runs.csv"));
    std::vector<std::string> lines;
    std::string line;
    std::getline(csv, line);  // header
    while (std::getline(csv, line)) lines.push_back(line);
    return lines;
  }

  std::string dir_;
  std::map<std::string, std::string> env_;
  Components c_;
  std::unique_ptr<Process> sim_;
};

TEST_F(K730dlTest, ThreeHandsetsInPdaPhoneNormalAll) {
  const std::string img = MakeImg();
  StartSim(3, 3);
  const Result r = RunDl({"--device", "pda+phone", "--phone-mode", "normal", "--pda-mode", "all",
                          "--expect", "3", "--wait", "10", "--log-dir", dir_ + "/logs", img});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  for (int slot = 0; slot < 3; ++slot) {
    SCOPED_TRACE(slot);
    const std::string s = std::to_string(slot);
    const std::string text = FileText(dir_ + "/logs/slot" + s + ".log");
    EXPECT_EQ(text, SlotLines(r.out, slot));
    ExpectInOrder(
        text, {"KRV USB Downloader with PalmDriver\r\n",
               "Loading File(PDA:",
               "Loading File(Phone:2097152 bytes)\r\n",
               "[PHONE:" + s + "]Finding Phone.\r\n",
               "[PHONE:" + s + "]Port-COM" + s + "-1.\r\n",
               "[PHONE:" + s + "]RESTART Ok.\r\n",
               "[PHONE:" + s + "]VERSION Ok.\r\n",
               "[PHONE:" + s + "]DLOAD Ok.\r\n",
               "[PHONE:" + s + "]COPY Ok.\r\n",
               "[PHONE:" + s + "]JUMP1 Ok.\r\n",
               "[PHONE:" + s + "]START2, ERASE Start Ok.\r\n",
               "[PHONE:" + s + "]DPRAM_WRT Ok.\r\n",
               "[PHONE:" + s + "]ERASE Ok.\r\n",
               "[PHONE:" + s + "]WRITE.\r\n",
               "[PHONE:" + s + "]JUMP2 Ok.\r\n",
               "[PHONE:" + s + "]Download Finish.\r\n===========================\r\n",
               "========================================\r\n[PDA:" + s + "]Start PDA Download\r\n",
               "[PDA:" + s + "]USB Port Open\r\n",
               "=== Resource Download ===\r\n",
               "[PDA:" + s + "]FLASH Download OK\r\n",
               "=== SmallRom Download ===\r\n",
               "=== BigRom Download ===\r\n",
               "[PDA:" + s +
                   "]Download Completed\r\n"
                   "========================================\r\n"});
    EXPECT_EQ(text.find("ERROR"), std::string::npos);
    EXPECT_EQ(text.find("Parallel restarts"), std::string::npos);  // not asked for
    ExpectPhoneDump(3 + slot, 0x10000);
    ExpectPdaDumps(3 + slot, true, true, true);
  }
  const auto records = RecordLines();
  ASSERT_EQ(records.size(), 3u);
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_NE(records[slot].find("," + std::to_string(slot) + "," + std::to_string(3 + slot) + ","),
              std::string::npos);
    EXPECT_NE(records[slot].find("PDA+PHONE,[PH]Normal,[PDA]ALL,completed,"), std::string::npos);
    const std::string history =
        FileText(dir_ + "/records/slot" + std::to_string(slot) + "-history.log");
    EXPECT_TRUE(
        history.ends_with("]Download Completed\r\n"
                          "========================================\r\n"));
    EXPECT_EQ(history.rfind("Loading File(", 0), 0u);
  }
}

TEST_F(K730dlTest, PhoneJob) {
  StartSim(1, 7, {"--emergency"});  // a handset that starts in download mode
  const Result r =
      RunDl({"--device", "phone", "--phone-mode", "ch-emergency", "--expect", "1", c_.phone});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  ExpectInOrder(SlotLines(r.out, 0),
                {"Loading File(Phone:2097152 bytes)\r\n", "[PHONE:0]Port-COM0-4.\r\n",
                 "[PHONE:0]ERASE Ok.\r\n", "[PHONE:0]Download Finish.\r\n"});
  EXPECT_EQ(SlotLines(r.out, 0).find("Start PDA Download"), std::string::npos);
  ExpectPhoneDump(7, 0);
  const auto records = RecordLines();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find(",PHONE,[PH]Ch.Emergency,[PDA]Skip,completed,"), std::string::npos);
}

TEST_F(K730dlTest, PdaJobInEveryOfferedMode) {
  const std::string pda = dir_ + "/TOVA_Korvan_Release.pda";
  ASSERT_EQ(RunTool({BinDir() + "/k730-image", "make-pda", "--ipl", c_.ipl, "--widebin", c_.widebin,
                     "--resource", c_.resource, "-o", pda}),
            0);
  const std::string dformat = dir_ + "/dformat_rq27.bin";
  std::filesystem::copy_file(c_.ipl, dformat);
  StartSim(1, 3, {"--palm-at-start"});
  struct Case {
    const char* mode;
    std::string image;
    std::vector<std::string> dumps;  // target codes written
    const char* line;
  };
  const std::vector<Case> cases = {
      {"resource", c_.resource, {"2"}, "[PDA:0]FLASH Download OK\r\n"},
      {"all", pda, {"2", "0", "6"}, "=== BigRom Download ===\r\n"},
      {"dformat", dformat, {}, "[PDA:0]DFormat Start\r\n"},
      {"widebin", c_.widebin, {"0", "6"}, "=== BigRom Download ===\r\n"},
      {"bigrom", c_.widebin, {"6"}, "=== BigRom Download ===\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/dump"))
      std::filesystem::remove(entry.path());
    const Result r = RunDl({"--device", "pda", "--pda-mode", c.mode, c.image});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    const std::string text = SlotLines(r.out, 0);
    ExpectInOrder(text, {"Loading File(PDA:", "[PDA:0]Start PDA Download\r\n",
                         "[PDA:0]USB Port Open\r\n", c.line});
    if (std::string(c.mode) == "dformat") {
      EXPECT_NE(text.find("DFormat: done"), std::string::npos) << text;
      EXPECT_EQ(text.find("Download Completed"), std::string::npos);
    } else {
      EXPECT_NE(text.find("[PDA:0]Download Completed\r\n"), std::string::npos);
    }
    const std::string widebin = FileText(c_.widebin);
    for (const std::string& target : c.dumps) {
      const std::string dump = FileText(dir_ + "/dump/pda3-" + target + ".bin");
      if (target == "2") {
        EXPECT_TRUE(dump == FileText(c_.resource));
      }
      if (target == "0") {
        EXPECT_TRUE(dump == Slice(widebin, 0, 0x20000));
      }
      if (target == "6") {
        EXPECT_TRUE(dump == Slice(widebin, 0x20000));
      }
    }
  }
  EXPECT_EQ(RecordLines().size(), cases.size());
}

TEST_F(K730dlTest, AFailingHandsetFailsTheRunWhileTheOthersComplete) {
  const std::string img = MakeImg();
  StartSim(3, 3, {"--fault", "silent:SUSPEND@1"});
  const Result r = RunDl({"--device", "pda+phone", "--phone-mode", "normal", "--pda-mode", "all",
                          "--expect", "3", "--parallel-restarts", img});
  ASSERT_EQ(r.status, 1) << r.err << r.out;
  // Simulated ports come back under their own names whatever the order.
  EXPECT_NE(
      SlotLines(r.out, 0).find("Parallel restarts: each handset restarts on its own port\r\n"),
      std::string::npos);
  EXPECT_NE(r.err.find("k730dl: slot 1 failed at SUSPEND"), std::string::npos) << r.err;
  EXPECT_NE(SlotLines(r.out, 1).find("[PHONE:1]SUSPEND Fail.\r\n"), std::string::npos);
  for (int slot : {0, 2}) {
    EXPECT_NE(SlotLines(r.out, slot).find("Download Completed"), std::string::npos);
    ExpectPhoneDump(3 + slot, 0x10000);
    ExpectPdaDumps(3 + slot, true, true, true);
  }
  const auto records = RecordLines();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_NE(records[1].find(",failed at SUSPEND,"), std::string::npos);
  EXPECT_NE(records[0].find(",completed,"), std::string::npos);
}

TEST_F(K730dlTest, TheFeedersQuestionIsAnsweredByYes) {
  // A start address of 0x2000 in the trailer makes the feeder ask whether to go on.
  std::string image = FileText(c_.phone);
  const size_t at = image.size() - 16;
  image[at] = 0x00;
  image[at + 1] = 0x20;
  image[at + 2] = 0x00;
  image[at + 3] = 0x00;
  const std::string odd = dir_ + "/odd_start.bin";
  std::ofstream(odd, std::ios::binary) << image;
  StartSim(1, 7, {"--emergency"});
  Result r = RunDl({"--device", "phone", "--phone-mode", "emergency", "--expect", "1", odd});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("0x2000"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[No]"), std::string::npos);
  EXPECT_NE(SlotLines(r.out, 0).find("[PHONE:0]Phone not Found.\r\n"), std::string::npos);
  r = RunDl({"--device", "phone", "--phone-mode", "emergency", "--yes", odd});
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.err.find("[Yes]"), std::string::npos);
  EXPECT_NE(SlotLines(r.out, 0).find("[PHONE:0]Download Finish.\r\n"), std::string::npos);
}

TEST_F(K730dlTest, ContinuousFlashesEveryNewUnitOnceAndEndsAfterASignal) {
  // Each unit's final restart brings its port back only after its slot has
  // ended: the same handset, which must not be flashed again.
  const std::string control = dir_ + "/control";
  StartSim(1, 3, {"--restart-delay", "12000", "--erase-ms", "0", "--control", control});
  Process dl({BinDir() + "/k730dl", "--continuous", "--device", "phone", "--phone-mode", "normal",
              "--expect", "1", c_.phone},
             dir_, env_, dir_ + "/dl.out", dir_ + "/dl.err");
  const auto finishes = [&] { return e2e::Count(FileText(dir_ + "/dl.out"), "Download Finish."); };
  // Long enough for a returned port to count as a new unit, were it one.
  const auto settle = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(
        static_cast<int>(20000 * std::stod(kTimeScale))));  // 20 s of protocol time
  };
  for (int unit = 1; unit <= 3; ++unit) {
    SCOPED_TRACE(unit);
    ASSERT_TRUE(e2e::WaitFor([&] { return finishes() >= static_cast<size_t>(unit); },
                             std::chrono::seconds(60)))
        << FileText(dir_ + "/dl.out");
    settle();
    EXPECT_EQ(finishes(), static_cast<size_t>(unit));
    if (unit == 3) break;
    // The operator swaps the handset for a new one.
    std::ofstream(control) << "replace 0\n";
  }
  dl.Signal(SIGINT);
  ASSERT_EQ(dl.Wait(std::chrono::seconds(60)), 0) << FileText(dir_ + "/dl.err");
  const std::string out = FileText(dir_ + "/dl.out");
  EXPECT_NE(out.find("[SLOT:0]Unit 3"), std::string::npos);
  EXPECT_EQ(out.find("[SLOT:0]Unit 4"), std::string::npos);
  EXPECT_NE(FileText(dir_ + "/dl.err").find("slot 0: 3 units completed, 0 failed"),
            std::string::npos);
  const auto records = RecordLines();
  ASSERT_EQ(records.size(), 3u);
  for (const std::string& record : records)
    EXPECT_NE(record.find(",PHONE,[PH]Normal,[PDA]Skip,completed,"), std::string::npos);
  ExpectPhoneDump(3, 0x10000);
}

TEST_F(K730dlTest, AnInterruptEndsTheRunCleanly) {
  const std::string img = MakeImg();
  // Slow replies keep the run going long enough to interrupt it.
  StartSim(2, 3, {"--fault", "slow:20"});
  std::vector<std::string> args = {
      BinDir() + "/k730dl", "--phone-mode", "normal", "--pda-mode", "all", "--expect", "2", img};
  Process dl(args, dir_, env_, dir_ + "/dl.out", dir_ + "/dl.err");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (FileText(dir_ + "/dl.out").find("Finding Phone") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  dl.Terminate();
  EXPECT_EQ(dl.Wait(std::chrono::seconds(30)), 1) << FileText(dir_ + "/dl.err");
  const auto records = RecordLines();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find(",failed at exit,"), std::string::npos) << records[0];
}

TEST_F(K730dlTest, RefusedJobsAndBadUsageExitWithTwo) {
  Result r = RunDl({"--device", "pda+phone", "--pda-mode", "all", c_.widebin});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("[ERROR] DL Mode & File Type is not Matched"), std::string::npos) << r.err;
  r = RunDl({"--device", "phone", "--phone-mode", "skip", c_.phone});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Phone DL Mode is SKIP"), std::string::npos) << r.err;
  r = RunDl({"--device", "phone", "--phone-mode", "normal", dir_ + "/missing.bin"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("[ERROR]File Access error!"), std::string::npos) << r.err;
  r = RunDl({"--device", "sideways", c_.phone});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: k730dl"), std::string::npos);
  EXPECT_TRUE(RecordLines().empty());
}

TEST_F(K730dlTest, NoHandsetMeansNoSlotCouldStart) {
  const std::string img = MakeImg();
  const Result r = RunDl({"--phone-mode", "normal", "--pda-mode", "all", img});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("[slot 0] [ERROR]No Phone Port found."), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("no slot could start"), std::string::npos);
}

TEST(DlOptions, NamesNumbersAndMistakes) {
  DlOptions o;
  std::string error;
  ASSERT_TRUE(ParseDlOptions(
      {"--device", "phone", "--phone-mode", "3", "--pda-mode", "rom", "--com-base", "12",
       "--expect", "2", "--wait", "1.5", "--yes", "--log-dir", "/tmp/l", "x.bin"},
      o, error))
      << error;
  EXPECT_EQ(o.deviceMode, 1);
  EXPECT_EQ(o.phoneMode, 3);
  EXPECT_EQ(o.pdaMode, 1);  // rom is the hidden [PDA]BigRom
  EXPECT_EQ(o.comBase, 12);
  EXPECT_EQ(o.expect, 2);
  EXPECT_DOUBLE_EQ(o.waitSeconds, 1.5);
  EXPECT_TRUE(o.yes);
  EXPECT_EQ(o.logDir, "/tmp/l");
  EXPECT_EQ(o.image, "x.bin");

  DlOptions d;
  ASSERT_TRUE(ParseDlOptions({"a.img"}, d, error));
  EXPECT_EQ(d.deviceMode, 0);
  EXPECT_EQ(d.phoneMode, 4);
  EXPECT_EQ(d.pdaMode, 7);
  EXPECT_FALSE(d.comBase.has_value());
  EXPECT_EQ(ModeByName("bigrom", {"smallrom", "rom", "resource", "all", "dformat", "widebin",
                                  "bigrom", "skip"}),
            6);

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{},
                                             {"--device"},
                                             {"--device", "3", "a"},
                                             {"--pda-mode", "8", "a"},
                                             {"--com-base", "101", "a"},
                                             {"--expect", "7", "a"},
                                             {"--wait", "3", "a"},
                                             {"--frobnicate", "a"},
                                             {"a", "b"}}) {
    DlOptions ignored;
    EXPECT_FALSE(ParseDlOptions(bad, ignored, error)) << (bad.empty() ? "" : bad[0]);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace k730
