// Fault runs: k730dl flashes three (or six) simulated handsets while one of
// them misbehaves. Whatever the fault, the run must end, the failing slot's
// log must say what happened in the console's own words, the other slots must
// complete with exact dumps, the image file must stay as it was and the run
// record must name the failing slot and the step it failed at.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "image/crc32.h"
#include "sim_harness.h"

namespace k730 {
namespace {

using e2e::Bench;
using e2e::Count;
using e2e::FileExists;
using e2e::FileText;
using e2e::MissingInOrder;
using e2e::SlotLines;

constexpr int kFirstPort = 3;
constexpr const char* kPdaRule = "========================================\r\n";

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

std::string CompletionLines(int slot) {
  return "[PDA:" + std::to_string(slot) + "]Download Completed\r\n" + kPdaRule;
}

class FaultRun : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = bench_.MakeImg();
    ASSERT_FALSE(image_.empty()) << FileText(bench_.Path("tool.err"));
    imageBytes_ = FileText(image_);
    imageStamp_ = e2e::StampOf(image_);
    const auto* bytes = reinterpret_cast<const uint8_t*>(imageBytes_.data());
    imageCrc_ = Hex8(Crc32(bytes, 0, imageBytes_.size()));
  }

  // Neither program crashed, hung or tripped a sanitizer on the way.
  void TearDown() override {
    const std::string simErr = FileText(bench_.Path("sim.err"));
    EXPECT_EQ(bench_.StopSim(), 0) << simErr;
    EXPECT_EQ(simErr.find("Sanitizer"), std::string::npos) << simErr;
    const std::string dlErr = FileText(bench_.Path("dl.err"));
    EXPECT_EQ(dlErr.find("Sanitizer"), std::string::npos) << dlErr;
  }

  std::vector<std::string> JobArgs(int handsets) const {
    return {"--device", "pda+phone", "--phone-mode",           "normal",    "--pda-mode",
            "all",      "--expect",  std::to_string(handsets), "--log-dir", bench_.Path("logs"),
            image_};
  }

  // One PDA+PHONE run of k730dl against handsets with the given sim faults.
  Bench::DlResult Run(int handsets, const std::vector<std::string>& simArgs) {
    EXPECT_TRUE(bench_.StartSim(handsets, kFirstPort, simArgs)) << FileText(bench_.Path("sim.err"));
    return bench_.RunDl(JobArgs(handsets));
  }

  std::string SlotLog(int slot) const {
    return FileText(bench_.Path("logs/slot" + std::to_string(slot) + ".log"));
  }

  // The runs.csv row of a slot (fields), empty when there is none.
  std::vector<std::string> Row(int slot) const {
    for (const std::string& line : bench_.RecordLines()) {
      const auto fields = Bench::Fields(line);
      if (fields.size() == 11 && fields[1] == std::to_string(slot)) return fields;
    }
    return {};
  }

  void ExpectImageUntouched() {
    EXPECT_TRUE(FileText(image_) == imageBytes_) << "the image file changed";
    EXPECT_EQ(e2e::StampOf(image_), imageStamp_) << "the image file was rewritten";
  }

  // What every run leaves, whatever its slots did: one row per slot naming the
  // image as it was loaded, and each slot's pane kept whole in the log file.
  void ExpectRecordsAndLogs(const Bench::DlResult& r, int handsets) {
    ASSERT_EQ(bench_.RecordLines().size(), static_cast<size_t>(handsets));
    for (int slot = 0; slot < handsets; ++slot) {
      SCOPED_TRACE("slot " + std::to_string(slot));
      const auto row = Row(slot);
      ASSERT_EQ(row.size(), 11u);
      EXPECT_EQ(row[2], std::to_string(kFirstPort + slot));
      EXPECT_EQ(row[5], imageCrc_);
      EXPECT_EQ(row[6] + "," + row[7] + "," + row[8], "PDA+PHONE,[PH]Normal,[PDA]ALL");
      EXPECT_EQ(SlotLog(slot), SlotLines(r.out, slot));
      // The history holds the run's text from its first loading line on; the
      // pane may go on with device notices the console handled after the end.
      const std::string history =
          FileText(bench_.Path("records/slot" + std::to_string(slot) + "-history.log"));
      const std::string log = SlotLog(slot);
      const size_t runStart = log.find("Loading File(");
      ASSERT_NE(runStart, std::string::npos);
      ASSERT_EQ(log.compare(runStart, history.size(), history), 0) << history;
      std::string after = log.substr(runStart + history.size());
      for (const char* notice :
           {"GOT DBT_DEVICEARRIVAL EVENT...\r\n", "GOT DBT_DEVICEREMOVECOMPLETE EVENT...\r\n"}) {
        for (size_t at = after.find(notice); at != std::string::npos; at = after.find(notice))
          after.erase(at, std::string(notice).size());
      }
      EXPECT_EQ(after, "");
    }
  }

  void ExpectCompleted(const Bench::DlResult& r, int slot) {
    SCOPED_TRACE("slot " + std::to_string(slot) + " completes");
    const std::string log = SlotLog(slot);
    const std::string s = std::to_string(slot);
    EXPECT_EQ(MissingInOrder(
                  log, {"[PHONE:" + s + "]Download Finish.\r\n", "[PDA:" + s + "]USB Port Open\r\n",
                        "=== Resource Download ===\r\n", "=== SmallRom Download ===\r\n",
                        "=== BigRom Download ===\r\n", CompletionLines(slot)}),
              "")
        << log;
    EXPECT_EQ(log.find("ERR"), std::string::npos) << log;
    EXPECT_TRUE(bench_.PhoneDumpMatches(kFirstPort + slot));
    EXPECT_TRUE(bench_.PdaDumpsMatch(kFirstPort + slot));
    const auto row = Row(slot);
    ASSERT_EQ(row.size(), 11u);
    EXPECT_EQ(row[9], "completed");
    EXPECT_EQ(r.err.find("slot " + s + " "), std::string::npos) << r.err;
  }

  // The failing slot: its log lines in order, its row and the runner's line.
  void ExpectFailed(const Bench::DlResult& r, int slot, const std::string& step,
                    const std::vector<std::string>& lines) {
    SCOPED_TRACE("slot " + std::to_string(slot) + " fails at " + step);
    const std::string log = SlotLog(slot);
    EXPECT_EQ(MissingInOrder(log, lines), "") << log;
    EXPECT_EQ(log.find(CompletionLines(slot)), std::string::npos) << log;
    const auto row = Row(slot);
    ASSERT_EQ(row.size(), 11u);
    EXPECT_EQ(row[9], "failed at " + step);
    EXPECT_NE(r.err.find("k730dl: slot " + std::to_string(slot) + " failed at " + step + "\n"),
              std::string::npos)
        << r.err;
    // The history of the failing slot keeps the failure.
    const std::string history =
        FileText(bench_.Path("records/slot" + std::to_string(slot) + "-history.log"));
    EXPECT_EQ(MissingInOrder(history, {lines.back()}), "");
  }

  void ExpectNoPdaDumps(int slot) {
    for (int target : {0, 2, 6})
      EXPECT_FALSE(FileExists(bench_.PdaDump(kFirstPort + slot, target)));
  }

  Bench bench_;
  std::string image_;
  std::string imageBytes_;
  e2e::FileStamp imageStamp_;
  std::string imageCrc_;
};

TEST_F(FaultRun, HandsetUnpluggedWhileItsPhoneIsWritten) {
  // Handset 1 leaves the bus when its 101st block comes (address 0x29000).
  const Bench::DlResult r = Run(3, {"--fault", "unplug:100@1"});
  EXPECT_EQ(r.status, 1) << r.err;
  ExpectRecordsAndLogs(r, 3);
  ExpectFailed(
      r, 1, "WRITE",
      {"[PHONE:1]ERASE Ok.\r\n", "[PHONE:1]WRITE.\r\n", "\r\n[PHONE:1]WRITE Fail-RESPONSE:0.\r\n",
       "\r\n[PHONE:1]WRITE Retry-&29000.\r\n", "\r\n[PHONE:1]WRITE Fail-RESPONSE:0.\r\n"});
  const std::string log = SlotLog(1);
  // Six failures in a row end the write; five of them were retried.
  EXPECT_EQ(Count(log, "[PHONE:1]WRITE Fail-RESPONSE:0.\r\n"), 6u);
  EXPECT_EQ(Count(log, "[PHONE:1]WRITE Retry-&29000.\r\n"), 5u);
  EXPECT_EQ(log.find("Download Finish"), std::string::npos);
  EXPECT_EQ(log.find("Start PDA Download"), std::string::npos);
  ExpectNoPdaDumps(1);
  ExpectCompleted(r, 0);
  ExpectCompleted(r, 2);
  ExpectImageUntouched();
}

TEST_F(FaultRun, HandheldUnpluggedDuringTheRamDownload) {
  // Handset 1's Palm half goes away when the sixth chunk of its first part comes.
  const Bench::DlResult r = Run(3, {"--fault", "palm-unplug:5@1"});
  EXPECT_EQ(r.status, 1) << r.err;
  ExpectRecordsAndLogs(r, 3);
  ExpectFailed(r, 1, "PDA Resource",
               {"[PHONE:1]Download Finish.\r\n", "[PDA:1]USB Port Open\r\n",
                "=== Resource Download ===\r\n", "[PDA:1]RAM Download Start\r\n",
                "[PDA:1]Re Send Command2\r\n", "[PDA:1]Re Send Command3\r\n"});
  const std::string log = SlotLog(1);
  // The chunk cannot be sent again: eleven tries, then the part is given up.
  EXPECT_EQ(Count(log, "[PDA:1]Re Send Command3\r\n"), 11u);
  EXPECT_EQ(log.find("[PDA:1]RAM Download OK"), std::string::npos);
  EXPECT_EQ(log.find("SmallRom"), std::string::npos);
  // The phone half was flashed before the handheld went.
  EXPECT_TRUE(bench_.PhoneDumpMatches(kFirstPort + 1));
  ExpectNoPdaDumps(1);
  // A removal, if the console saw it before the run ended, is the slot's own.
  EXPECT_EQ(SlotLog(0).find("REMOVECOMPLETE"), std::string::npos);
  EXPECT_EQ(SlotLog(2).find("REMOVECOMPLETE"), std::string::npos);
  ExpectCompleted(r, 0);
  ExpectCompleted(r, 2);
  ExpectImageUntouched();
}

TEST_F(FaultRun, HandheldUnpluggedDuringTheFlashPhase) {
  const Bench::DlResult r = Run(3, {"--fault", "palm-unplug-flash@1"});
  EXPECT_EQ(r.status, 1) << r.err;
  ExpectRecordsAndLogs(r, 3);
  ExpectFailed(r, 1, "PDA Resource",
               {"=== Resource Download ===\r\n", "[PDA:1]RAM Download OK\r\n",
                "[PDA:1]FLASH Download Start\r\n", "[ERROR]GetResponse failed\r\n"});
  const std::string log = SlotLog(1);
  EXPECT_EQ(log.find("[PDA:1]FLASH Download OK"), std::string::npos);
  EXPECT_EQ(log.find("SmallRom"), std::string::npos);
  ExpectNoPdaDumps(1);
  ExpectCompleted(r, 0);
  ExpectCompleted(r, 2);
  ExpectImageUntouched();
}

TEST_F(FaultRun, GarbageRepliesAreRetriedOrFailTheStep) {
  // Handset 1 answers every command with junk; handset 2 only its first three.
  const Bench::DlResult r = Run(3, {"--fault", "garbage@1", "--fault", "garbage:3@2"});
  EXPECT_EQ(r.status, 1) << r.err;
  ExpectRecordsAndLogs(r, 3);
  ExpectFailed(
      r, 1, "VERSION",
      {"[PHONE:1]Finding Phone.\r\n", "[PHONE:1]RESTART Ok.\r\n", "[PHONE:1]VERSION Fail.\r\n"});
  EXPECT_EQ(SlotLog(1).find("OFFLINE"), std::string::npos);
  ExpectCompleted(r, 0);
  ExpectCompleted(r, 2);
  ExpectImageUntouched();
}

TEST_F(FaultRun, TruncatedRepliesAreRetriedOrFailTheStep) {
  // Replies cut off after their first byte: always on handset 1, three times on 2.
  const Bench::DlResult r = Run(3, {"--fault", "truncated@1", "--fault", "truncated:3@2"});
  EXPECT_EQ(r.status, 1) << r.err;
  ExpectRecordsAndLogs(r, 3);
  ExpectFailed(r, 1, "VERSION", {"[PHONE:1]RESTART Ok.\r\n", "[PHONE:1]VERSION Fail.\r\n"});
  ExpectCompleted(r, 0);
  ExpectCompleted(r, 2);
  ExpectImageUntouched();
}

TEST_F(FaultRun, HandsetThatNeverAnswers) {
  const Bench::DlResult r = Run(3, {"--fault", "mute@1"});
  EXPECT_EQ(r.status, 1) << r.err;
  ExpectRecordsAndLogs(r, 3);
  // No answer to the probe: the restart is skipped, and the first command fails.
  ExpectFailed(
      r, 1, "VERSION",
      {"[PHONE:1]Finding Phone.\r\n", "[PHONE:1]Port-COM1-1.\r\n", "[PHONE:1]VERSION Fail.\r\n"});
  EXPECT_EQ(SlotLog(1).find("RESTART"), std::string::npos);
  ExpectCompleted(r, 0);
  ExpectCompleted(r, 2);
  ExpectImageUntouched();
}

TEST_F(FaultRun, HandheldRemovedBeforeItsPortOpens) {
  // Handset 1's Palm half leaves 13 s after it appeared, unless opened. The
  // phone reports its finish some 12 s after the restart that makes the
  // handheld appear, and the console opens the port 8 s after that: the
  // removal falls early in that wait, with room for a simulator running late.
  // A larger time scale widens the room.
  bench_.SetTimeScale(e2e::kRunTimeScale * 3);
  const Bench::DlResult r = Run(3, {"--fault", "palm-leave:13000@1"});
  EXPECT_EQ(r.status, 1) << r.err;
  ExpectRecordsAndLogs(r, 3);
  ExpectFailed(r, 1, "USB cable",
               {"GOT DBT_DEVICEARRIVAL EVENT...\r\n", "[PHONE:1]Download Finish.\r\n",
                "[PDA:1]Start PDA Download\r\n", "[ERR:1]Please Reconnect USB cable\r\n"});
  const std::string log = SlotLog(1);
  // The removal is the slot's own, not another slot's whose handheld is there.
  EXPECT_EQ(Count(log, "GOT DBT_DEVICEREMOVECOMPLETE EVENT...\r\n"), 1u) << log;
  EXPECT_EQ(log.find("[PDA:1]USB Port Open"), std::string::npos);
  EXPECT_TRUE(bench_.PhoneDumpMatches(kFirstPort + 1));
  ExpectNoPdaDumps(1);
  EXPECT_EQ(SlotLog(0).find("REMOVECOMPLETE"), std::string::npos);
  EXPECT_EQ(SlotLog(2).find("REMOVECOMPLETE"), std::string::npos);
  ExpectCompleted(r, 0);
  ExpectCompleted(r, 2);
  ExpectImageUntouched();
}

// The image is read whole at Go: what happens to the file afterwards cannot
// reach the handsets, and the record names the bytes that were flashed.
class ImageAfterGo : public FaultRun {
 protected:
  Bench::DlResult RunAndThen(const std::function<void()>& afterLoading) {
    EXPECT_TRUE(bench_.StartSim(3, kFirstPort)) << FileText(bench_.Path("sim.err"));
    std::vector<std::string> argv = JobArgs(3);
    argv.insert(argv.begin(), e2e::BinDir() + "/k730dl");
    e2e::Process dl(argv, bench_.DlOptions());
    EXPECT_TRUE(e2e::WaitFor(
        [&] {
          return FileText(bench_.Path("dl.out")).find("Loading File(PH+PDA:") !=
                     std::string::npos ||
                 !dl.Running();
        },
        e2e::kRunPatience));
    afterLoading();
    Bench::DlResult r;
    r.status = dl.Wait(e2e::kRunPatience);
    r.out = FileText(bench_.Path("dl.out"));
    r.err = FileText(bench_.Path("dl.err"));
    return r;
  }

  void ExpectEverySlotFlashedTheLoadedImage(const Bench::DlResult& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectRecordsAndLogs(r, 3);
    for (int slot = 0; slot < 3; ++slot) ExpectCompleted(r, slot);
  }
};

TEST_F(ImageAfterGo, DeletedImageFile) {
  const Bench::DlResult r = RunAndThen([&] { ASSERT_EQ(unlink(image_.c_str()), 0); });
  ExpectEverySlotFlashedTheLoadedImage(r);
  EXPECT_FALSE(FileExists(image_)) << "nothing may write the image file";
}

TEST_F(ImageAfterGo, ImageFileChanged) {
  // Same length, every byte different, written in place.
  std::string changed = imageBytes_;
  for (char& c : changed) c = static_cast<char>(~c);
  const Bench::DlResult r = RunAndThen([&] {
    std::fstream file(image_, std::ios::in | std::ios::out | std::ios::binary);
    file.write(changed.data(), static_cast<std::streamsize>(changed.size()));
    ASSERT_TRUE(file.good());
  });
  ExpectEverySlotFlashedTheLoadedImage(r);
  EXPECT_TRUE(FileText(image_) == changed) << "the operator's new file must stay as written";
}

// The Image Maker on a full disk: a file-size limit makes every write beyond
// it fail as ENOSPC would.
class DiskFull : public ::testing::Test {
 protected:
  // Files of the directory that are not the given ones (temporaries left over).
  std::set<std::string> Strays(const std::set<std::string>& expected) const {
    std::set<std::string> strays;
    for (const auto& entry : std::filesystem::directory_iterator(bench_.Dir())) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && !expected.count(name)) strays.insert(name);
    }
    return strays;
  }

  Bench bench_;
};

TEST_F(DiskFull, ImageMakerReportsItAndKeepsTheOlderOutput) {
  const Bench::Components& c = bench_.MakeComponents();
  const std::string tool = e2e::BinDir() + "/k730-image";
  const std::string pda = bench_.Path("korvan.pda");
  ASSERT_EQ(bench_.RunTool({tool, "make-pda", "--ipl", c.ipl, "--widebin", c.widebin, "--resource",
                            c.resource, "-o", pda}),
            0);
  const std::string older = bench_.Path("older.img");
  ASSERT_EQ(bench_.RunTool({tool, "make-img", "--phone", c.phone, "--ipl", c.ipl, "--widebin",
                            c.widebin, "--resource", c.resource, "--version", "9", "-o", older}),
            0);
  const std::string olderBytes = FileText(older);
  const e2e::FileStamp olderStamp = e2e::StampOf(older);
  const std::set<std::string> expected = {"korvan.pda", "older.img", "settings.ini", "tool.out",
                                          "tool.err"};
  constexpr uint64_t kLimit = 1024 * 1024;  // less than the phone half alone

  struct Case {
    const char* what;
    std::vector<std::string> argv;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"make-img over an older file",
       {tool, "make-img", "--phone", c.phone, "--ipl", c.ipl, "--widebin", c.widebin, "--resource",
        c.resource, "-o", older},
       older},
      {"make-img to a new file",
       {tool, "make-img", "--phone", c.phone, "--ipl", c.ipl, "--widebin", c.widebin, "--resource",
        c.resource, "-o", bench_.Path("new.img")},
       bench_.Path("new.img")},
      {"combine over an older file",
       {tool, "combine", "--phone", c.phone, "--pda", pda, "-o", older},
       older},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(bench_.RunTool(k.argv, kLimit), 1);
    const std::string err = FileText(bench_.Path("tool.err"));
    EXPECT_NE(err.find("cannot write: " + k.output + ": File too large"), std::string::npos) << err;
    EXPECT_TRUE(Strays(expected).empty()) << *Strays(expected).begin();
    if (k.output == older) {
      EXPECT_TRUE(FileText(older) == olderBytes);
      EXPECT_EQ(e2e::StampOf(older), olderStamp);
    } else {
      EXPECT_FALSE(FileExists(k.output));
    }
  }
  // With room again the same command succeeds.
  EXPECT_EQ(bench_.RunTool(cases[1].argv), 0);
  EXPECT_EQ(e2e::StampOf(bench_.Path("new.img")).size, olderBytes.size());
}

TEST_F(FaultRun, ExitInTheMiddleOfASixSlotRun) {
  // Handset 0's handheld never acknowledges a chunk, so its PDA half waits on
  // a receive; the other five answer slowly and are still writing their phones.
  std::vector<std::string> faults = {"--fault", "palm-lose:1@0"};
  for (int i = 1; i < 6; ++i)
    faults.insert(faults.end(), {"--fault", "slow:200@" + std::to_string(i)});
  ASSERT_TRUE(bench_.StartSim(6, kFirstPort, faults)) << FileText(bench_.Path("sim.err"));
  std::vector<std::string> argv = JobArgs(6);
  argv.insert(argv.begin(), e2e::BinDir() + "/k730dl");
  e2e::Process dl(argv, bench_.DlOptions());
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        return FileText(bench_.Path("dl.out")).find("[PDA:0]Re Send Command2") !=
                   std::string::npos ||
               !dl.Running();
      },
      e2e::kRunPatience));
  dl.Signal(SIGINT);
  const int status = dl.Wait(e2e::kRunPatience);
  const Bench::DlResult r{status, FileText(bench_.Path("dl.out")), FileText(bench_.Path("dl.err"))};
  EXPECT_EQ(status, 1) << r.err;
  ExpectRecordsAndLogs(r, 6);
  // Slot 0's record names the part it was in; the phone slots were at exit.
  for (int slot = 0; slot < 6; ++slot) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    const std::string step = slot == 0 ? "PDA Resource" : "exit";
    const auto row = Row(slot);
    ASSERT_EQ(row.size(), 11u);
    EXPECT_EQ(row[9], "failed at " + step);
    EXPECT_NE(r.err.find("k730dl: slot " + std::to_string(slot) + " failed at " + step + "\n"),
              std::string::npos)
        << r.err;
  }
  EXPECT_EQ(SlotLog(0).find("[PDA:0]RAM Download OK"), std::string::npos);
  // The staging file was replaced whole, never left half written.
  for (const auto& entry : std::filesystem::directory_iterator(bench_.Dir()))
    EXPECT_EQ(entry.path().filename().string().rfind("qpx_bin.tmp.", 0), std::string::npos)
        << entry.path();
  ExpectImageUntouched();
}

}  // namespace
}  // namespace k730
