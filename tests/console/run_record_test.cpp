#include "console/run_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../support/temp_dir.h"

namespace k730 {
namespace {

using test::ScopedEnv;
using test::TempDir;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

SlotRecord Record(int slot, const std::string& result, const std::string& log) {
  SlotRecord r;
  r.dateTime = "2026-12-08 01:09:15";
  r.slot = slot;
  r.comPort = 7 + slot;
  r.palmDevice = slot == 1 ? "palm,8" : "";
  r.imagePath = "/data/tova \"release\".img";
  r.imageCrc = 0x1A2B3C;
  r.deviceMode = 0;
  r.phoneMode = 0;
  r.pdaMode = 3;
  r.result = result;
  r.durationSeconds = 12.3456;
  r.logText = log;
  return r;
}

TEST(RunRecord, CsvLinesQuoteWhatNeedsIt) {
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\r\nlines"), "\"two\r\nlines\"");
  EXPECT_EQ(FormatRunsCsvLine(Record(1, "failed at SUSPEND", "")),
            "2026-12-08 01:09:15,1,8,\"palm,8\",\"/data/tova \"\"release\"\".img\",001A2B3C,"
            "PDA+PHONE,[PH]Normal,[PDA]ALL,failed at SUSPEND,12.346");
  EXPECT_EQ(DeviceModeName(1), "PHONE");
  EXPECT_EQ(DeviceModeName(2), "PDA");
  EXPECT_EQ(PhoneModeName(3), "[PH]Ch.Emergency");
  EXPECT_EQ(PdaModeName(6), "[PDA]Bigrom");
  EXPECT_EQ(PdaModeName(1), "[PDA]BigRom");
  EXPECT_EQ(PdaModeName(9), "9");
  EXPECT_EQ(LocalDateTime().size(), 19u);
}

TEST(RunRecord, AppendsLinesAfterOneHeaderAndEachSlotsLogText) {
  TempDir dir;
  const std::string logs = dir / "state/k730";
  {
    RunRecorder recorder(logs);
    recorder.Submit({Record(0, "completed", "[PHONE:0]one\r\n"), Record(1, "not started", "")});
    recorder.Flush();
    recorder.Submit({Record(0, "completed", "[PHONE:0]two\r\n")});
  }  // the destructor writes what is queued
  const std::string csv = FileText(logs + "/runs.csv");
  std::istringstream lines(csv);
  std::string line;
  std::vector<std::string> all;
  while (std::getline(lines, line)) all.push_back(line);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0], kRunsCsvHeader);
  EXPECT_NE(all[1].find(",0,7,,"), std::string::npos);
  EXPECT_NE(all[2].find(",not started,"), std::string::npos);
  EXPECT_EQ(FileText(logs + "/slot0-history.log"), "[PHONE:0]one\r\n[PHONE:0]two\r\n");
  EXPECT_FALSE(std::filesystem::exists(logs + "/slot1-history.log"));
}

TEST(RunRecord, ARowStartsALineOfItsOwnAfterOneCutShort) {
  TempDir dir;
  const std::string logs = dir / "logs";
  std::filesystem::create_directories(logs);
  std::ofstream(logs + "/runs.csv") << kRunsCsvHeader << "\n2026-12-08 01:09:15,0,7,,/x.i";
  std::ofstream(logs + "/slot0-history.log") << "[PHONE:0]cut";
  {
    RunRecorder recorder(logs);
    recorder.Submit({Record(0, "completed", "[PHONE:0]next\r\n"), Record(1, "completed", "")});
    recorder.Flush();
    EXPECT_EQ(recorder.FirstFailure(), "");
  }
  std::istringstream lines(FileText(logs + "/runs.csv"));
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 4u) << FileText(logs + "/runs.csv");
  EXPECT_EQ(rows[1], "2026-12-08 01:09:15,0,7,,/x.i");
  EXPECT_EQ(rows[2], FormatRunsCsvLine(Record(0, "completed", "")));
  EXPECT_EQ(rows[3], FormatRunsCsvLine(Record(1, "completed", "")));
  EXPECT_EQ(FileText(logs + "/slot0-history.log"), "[PHONE:0]cut\r\n[PHONE:0]next\r\n");
}

TEST(RunRecord, TheFirstFailureIsReportedOnce) {
  TempDir dir;
  const std::string blocker = dir / "file";
  std::ofstream(blocker) << "x";
  std::vector<std::string> reasons;
  {
    RunRecorder recorder(blocker + "/logs");
    recorder.SetFailureHandler([&](const std::string& reason) { reasons.push_back(reason); });
    recorder.Submit({Record(0, "completed", "x")});
    recorder.Submit({Record(0, "completed", "y")});
    recorder.Flush();
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_EQ(recorder.FirstFailure(), reasons[0]);
  }
  EXPECT_NE(reasons[0].find(blocker), std::string::npos);
}

TEST(RunRecord, DirectoryFollowsTheEnvironment) {
  {
    ScopedEnv logDir("K730_LOG_DIR", "/var/log/k730");
    EXPECT_EQ(RunRecordDirectory(), "/var/log/k730");
  }
  ScopedEnv none("K730_LOG_DIR", "");
  ScopedEnv state("XDG_STATE_HOME", "/state");
  EXPECT_EQ(RunRecordDirectory(), "/state/k730");
  ScopedEnv relative("XDG_STATE_HOME", "rel");
  ScopedEnv home("HOME", "/home/op");
  EXPECT_EQ(RunRecordDirectory(), "/home/op/.local/state/k730");
}

}  // namespace
}  // namespace k730
