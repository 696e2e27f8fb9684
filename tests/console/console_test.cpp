#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/settings.h"
#include "console/console_ids.h"
#include "console_fakes.h"
#include "core/byte_order.h"
#include "image/crc32.h"
#include "image/image_formats.h"
#include "pda/palm_device_map.h"

namespace k730 {
namespace {

using testing::ConsoleHarness;
using testing::Gate;
using testing::PalmName;
using testing::PdaScript;
using testing::PhoneScript;

constexpr const char* kBanner =
    "KRV USB Downloader with PalmDriver\r\n----------------------------------\r\n";
constexpr const char* kMismatch = "[ERROR] DL Mode & File Type is not Matched \r\n";

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + seed + (i >> 11));
  return bytes;
}

// A United Binary with a 2 MiB phone half and a small PDA half.
std::vector<uint8_t> SmallUnitedBinary() {
  return testing::MakeUnitedBinary(kPhoneImageSize, 100, kSmallRomSize + 4096, 300);
}

// Polls the console's state until pred holds (a worker thread changes it).
template <typename Pred>
ConsoleSnapshot WaitForState(DownloaderDialog& console, Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + testing::kPatience;
  ConsoleSnapshot s = console.Snapshot();
  while (!pred(s) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    s = console.Snapshot();
  }
  return s;
}

JobForm Job(const std::string& path, int device, int phone, int pda, int port = 0) {
  return JobForm{path, device, phone, pda, port};
}

// ---------------------------------------------------------------------------
// Opening

TEST(ConsoleOpening, BannersForLiveSlotsDefaultModesAndSettings) {
  ConsoleHarness h;
  ASSERT_EQ(WriteSetting(kSettingUploadPath, "/data/last.img"), 1);
  ASSERT_EQ(WriteSetting(kSettingUploadPort, "12"), 1);
  h.phone.SetPorts({5, 7});
  h.Open();
  EXPECT_EQ(h.view.Text(0), kBanner);
  EXPECT_EQ(h.view.Text(1), kBanner);
  for (int slot = 2; slot < kSlotCount; ++slot) EXPECT_EQ(h.view.Text(slot), "") << slot;
  const JobForm form = h.view.Form();
  EXPECT_EQ(form.deviceMode, mode::kPdaPhone);
  EXPECT_EQ(form.phoneMode, mode::kPhSkip);
  EXPECT_EQ(form.pdaMode, mode::kPdaSkip);
  EXPECT_EQ(form.imagePath, "/data/last.img");
  EXPECT_EQ(form.comPort, 12);
  EXPECT_EQ(h.view.Enabled(ctl::kGo), true);
  // The PDA+PHONE control table was applied.
  EXPECT_EQ(h.view.Enabled(ctl::kPdaDFormat), false);
  EXPECT_EQ(h.view.Enabled(ctl::kLogPane[1]), true);
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_EQ(s.slotCount, 2);
  EXPECT_EQ(s.comPorts[0], 5);
  EXPECT_EQ(s.comPorts[1], 7);
  EXPECT_FALSE(s.phoneImageLoaded || s.pdaImageLoaded || s.runActive);
  EXPECT_EQ(h.Exit(), ctl::kExit);
}

TEST(ConsoleOpening, FirstStartHasNoPathPortZeroAndWritesNoSettings) {
  ConsoleHarness h;
  h.phone.SetPorts({});
  h.Open();
  EXPECT_EQ(h.view.Form().imagePath, "");
  EXPECT_EQ(h.view.Form().comPort, 0);
  for (int slot = 0; slot < kSlotCount; ++slot) EXPECT_EQ(h.view.Text(slot), "");
  EXPECT_FALSE(std::filesystem::exists(h.Dir() + "/settings.ini"));
}

TEST(ConsoleOpening, DevicePresentAtStartIsAttachedToItsSlot) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.pda.present = {PalmName(4)};
  h.Open();
  h.Sync();
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.pdaAttached[0]);
  EXPECT_TRUE(s.pdaAttached[1]);
  EXPECT_EQ(s.pdaDeviceName[1], PalmName(4));
  EXPECT_TRUE(Contains(h.view.Text(1), "GOT DBT_DEVICEARRIVAL EVENT...\r\n"));
}

// ---------------------------------------------------------------------------
// Job set-up

TEST(ConsoleJobSetup, DeviceRadiosApplyTheControlTableAndEmptyThePath) {
  ConsoleHarness h;
  h.phone.SetPorts({1, 2, 3});
  h.Open();
  h.view.EditForm([](JobForm& f) { f.imagePath = "/x/a.img"; });
  h.console->PostCommand(ctl::kDevicePhone);
  h.Sync();
  EXPECT_EQ(h.view.Form().deviceMode, mode::kPhone);
  EXPECT_EQ(h.view.Form().imagePath, "");
  for (int slot = 1; slot < 3; ++slot) {
    EXPECT_EQ(h.view.Enabled(ctl::kLogPane[slot]), false);
    EXPECT_EQ(h.view.Visible(ctl::kStatusBox[slot]), false);
    EXPECT_EQ(h.view.Visible(ctl::kProgressBar[slot]), false);
  }
  EXPECT_EQ(h.view.Enabled(ctl::kPdaAll), false);
  h.console->PostCommand(ctl::kDevicePda);
  h.Sync();
  EXPECT_EQ(h.view.Visible(ctl::kPortEdit), false);
  EXPECT_EQ(h.view.Enabled(ctl::kPdaDFormat), true);
  EXPECT_EQ(h.view.Enabled(ctl::kPhNormal), false);
  h.console->PostCommand(ctl::kDevicePdaPhone);
  h.Sync();
  for (int slot = 1; slot < 3; ++slot) {
    EXPECT_EQ(h.view.Enabled(ctl::kLogPane[slot]), true);
    EXPECT_EQ(h.view.Visible(ctl::kStatusBox[slot]), true);
  }
  EXPECT_EQ(h.view.Visible(ctl::kPortEdit), true);
}

TEST(ConsoleJobSetup, BrowseEnforcesTheSizeLimitOfTheJob) {
  ConsoleHarness h;
  h.Open();
  const std::string exact = h.WriteFile("dformat_exact.bin", Bytes(307200));
  const std::string over = h.WriteFile("dformat_over.bin", Bytes(307201));
  const std::string empty = h.WriteFile("empty.bin", {});

  auto browse = [&](const std::optional<std::string>& choice) {
    h.view.SetForm(Job("/previous.bin", mode::kPda, mode::kPhSkip, mode::kPdaDFormat));
    h.view.SetNextChoice(choice);
    h.console->PostCommand(ctl::kBrowse);
    h.Sync();
    return h.view.Form().imagePath;
  };
  EXPECT_EQ(browse(exact), exact);
  EXPECT_TRUE(h.view.Messages().empty());
  ASSERT_FALSE(h.view.Dialogs().empty());
  EXPECT_EQ(h.view.Dialogs().back().initialName, "dformat_RQ27.bin");

  EXPECT_EQ(browse(over), "");
  ASSERT_EQ(h.view.Messages().size(), 1u);
  EXPECT_EQ(h.view.Messages()[0].text, "[ERROR] File Size is abnormal");
  EXPECT_EQ(h.view.Messages()[0].buttons, MessageButtons::Ok);

  EXPECT_EQ(browse(empty), "");
  EXPECT_EQ(h.view.Messages().back().text, "[ERROR] File Size is abnormal");

  EXPECT_EQ(browse(h.Dir() + "/missing.bin"), "");
  EXPECT_EQ(h.view.Messages().back().text, "[ERROR] File Access Error");

  EXPECT_EQ(browse(h.Dir()), "");  // a directory is no image file
  EXPECT_EQ(h.view.Messages().back().text, "[ERROR] File Access Error");

  EXPECT_EQ(browse(std::nullopt), "/previous.bin");  // cancelled: no change
  EXPECT_EQ(h.view.Messages().size(), 4u);
}

TEST(ConsoleJobSetup, BrowseWithoutAFileKindLogsInSlotZero) {
  ConsoleHarness h;
  h.Open();
  h.view.SetForm(Job("/x/k760down.bin", mode::kPhone, mode::kPhSkip, mode::kPdaSkip));
  h.console->PostCommand(ctl::kBrowse);
  h.Sync();
  h.view.SetForm(Job("", mode::kPda, mode::kPhSkip, mode::kPdaSkip));
  h.console->PostCommand(ctl::kBrowse);
  h.Sync();
  EXPECT_EQ(h.view.Text(0), "Unknown Phone DL Mode \r\nUnknown PDA DL Mode \r\n");
  EXPECT_TRUE(h.view.Dialogs().empty());
}

TEST(ConsoleJobSetup, DroppedFileBecomesThePathAndIsShown) {
  ConsoleHarness h;
  h.Open();
  h.console->PostDropFiles({"/images/Dropped.IMG", "/images/second.img"});
  h.Sync();
  EXPECT_EQ(h.console->Snapshot().job.imagePath, "/images/Dropped.IMG");
  EXPECT_EQ(h.view.Form().imagePath, "/images/Dropped.IMG");
}

TEST(ConsoleGo, RefusalsLeaveGoEnabledAndStoreThePath) {
  ConsoleHarness h;
  h.phone.SetPorts({3});
  h.Open();
  struct Case {
    JobForm job;
    std::string box;   // expected message box, or
    std::string line;  // expected slot-0 line
    std::string stored;
  };
  // The path is stored as typed (its case names the file on this platform).
  const std::vector<Case> cases = {
      {Job("", 0, 0, 3), "[ERROR]Select File\r\n", "", ""},
      {Job("/X/Release.PDA", 0, 0, 3), kMismatch, "", "/X/Release.PDA"},
      {Job("/X/Release.img", 1, 0, 7), kMismatch, "", "/X/Release.img"},
      {Job("/X/K760Down.BIN", 1, 4, 7), "", "Phone DL Mode is SKIP\r\n", "/X/K760Down.BIN"},
      {Job("/X/a.widebin", 2, 4, 3), kMismatch, "", "/X/a.widebin"},
      {Job("/X/a.bin", 2, 4, 7), "", "PDA DL Mode is SKIP\r\n", "/X/a.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.job.imagePath);
    const size_t boxes = h.view.Messages().size();
    const std::string before = h.view.Text(0);
    h.Go(c.job);
    h.Sync();
    if (!c.box.empty()) {
      ASSERT_EQ(h.view.Messages().size(), boxes + 1);
      EXPECT_EQ(h.view.Messages().back().text, c.box);
      EXPECT_EQ(h.view.Messages().back().buttons, MessageButtons::Ok);
    } else {
      EXPECT_EQ(h.view.Text(0), before + c.line);
    }
    EXPECT_EQ(h.view.Refusals().back(), c.box.empty() ? c.line : c.box);
    EXPECT_EQ(ReadSetting(kSettingUploadPath), c.stored);
    EXPECT_TRUE(Contains(FileText(h.Dir() + "/settings.ini"), "UPLOAD_PATH=" + c.stored + "\n"));
    EXPECT_EQ(h.view.Enabled(ctl::kGo), true);
  }
  EXPECT_EQ(h.view.RunsStarted(), 0);
  EXPECT_EQ(h.phone.workersCreated, 0);
  EXPECT_FALSE(h.console->Snapshot().phoneImageLoaded);
}

TEST(ConsoleGo, UnreadableOrHostileImagesAreRefusedBeforeAnythingStarts) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.Open();

  std::vector<uint8_t> outside = SmallUnitedBinary();
  WriteU32LE(outside.data() + EntryPosition(3) + 36, 0x7FFFFFFF);  // resource length
  std::vector<uint8_t> shortPhone = testing::MakeUnitedBinary(4096, 100, kSmallRomSize, 300);
  struct Case {
    JobForm job;
    std::string line;
  };
  const std::vector<Case> cases = {
      {Job(h.Dir() + "/missing.img", 0, 0, 3), "[ERROR]File Access error!\r\n"},
      {Job(h.WriteFile("outside.img", outside), 0, 0, 3),
       "[ERROR]United Binary is damaged: a component lies beyond the end of the file\r\n"},
      {Job(h.WriteFile("header.img", Bytes(100)), 0, 0, 3),
       "[ERROR]United Binary is damaged: file is shorter than its header\r\n"},
      {Job(h.WriteFile("shortphone.img", shortPhone), 0, 0, 3),
       "[ERROR]Phone image is too short(4096 bytes, needs 2097152)\r\n"},
      {Job(h.WriteFile("short.bin", Bytes(1000)), 1, 0, 7),
       "[ERROR]Phone image is too short(1000 bytes, needs 2097152)\r\n"},
      {Job(h.WriteFile("short.widebin", Bytes(1000)), 2, 4, 5),
       "[ERROR]PDA image is damaged: widebin is shorter than its 131072-byte SmallRom part\r\n"},
      {Job(h.WriteFile("bad.pda", Bytes(300)), 2, 4, 3),
       "[ERROR]PDA image is damaged: header size is neither 256 (United Binary) nor 212 (PDA "
       "image)\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.job.imagePath);
    h.Go(c.job);
    h.Sync();
    EXPECT_TRUE(Contains(h.view.Text(0), c.line)) << h.view.Text(0);
    EXPECT_EQ(h.view.Refusals().back(), c.line);
    EXPECT_EQ(h.view.Enabled(ctl::kGo), true);
    const ConsoleSnapshot s = h.console->Snapshot();
    EXPECT_FALSE(s.phoneImageLoaded || s.pdaImageLoaded || s.runActive);
  }
  EXPECT_EQ(h.phone.workersCreated, 0);
  EXPECT_TRUE(h.pda.Runs().empty());
}

// ---------------------------------------------------------------------------
// Phone events

TEST(ConsolePhoneEvents, TextsOfEveryEvent) {
  ConsoleHarness h;
  h.phone.SetPorts({7, 8, 9});
  h.Open();
  auto post = [&](uint32_t id, uintptr_t w, int slot) { h.console->PostMessage(id, w, slot); };
  post(msg::WM_PHONE_STEP_OK, 0, 2);
  post(msg::WM_PHONE_STEP_OK, 1, 2);
  post(msg::WM_PHONE_STEP_OK, 2, 2);
  post(msg::WM_PHONE_STEP_OK, 3, 2);
  post(msg::WM_PHONE_STEP_OK, 4, 2);
  post(msg::WM_PHONE_PORT_OK, 4, 1);
  post(msg::WM_PHONE_PORT_FAIL, 5, 1);
  post(msg::WM_PHONE_WRITE_FAIL, 3, 0);
  post(msg::WM_PHONE_WRITE_RETRY, 0x1FFC00, 0);
  post(msg::WM_PHONE_STEP_FAIL, 11, 0);
  post(msg::WM_PHONE_STEP, 15, 0);
  post(msg::WM_PHONE_ERASE_OK, 1, 0);
  post(msg::WM_PHONE_ERASE_FAIL, 7, 0);
  post(msg::WM_PHONE_START, 0, 0);
  post(1128, 0, 0);
  post(1129, 0, 0);
  post(msg::WM_PHONE_STEP_OK, 99, 9);  // a slot outside the console: ignored
  h.Sync();
  EXPECT_EQ(h.view.Text(2),
            std::string(kBanner) + "[PHONE:2]RESTART Ok.\r\n[PHONE:2]VERSION Ok.\r\n");
  EXPECT_EQ(h.view.Text(1),
            std::string(kBanner) + "[PHONE:1]Port-COM1-4.\r\n[PHONE:1]Port Fail-COM1-5.\r\n");
  EXPECT_EQ(h.view.Text(0), std::string(kBanner) +
                                "\r\n[PHONE:0]WRITE Fail-RESPONSE:3.\r\n"
                                "\r\n[PHONE:0]WRITE Retry-&1FFC00.\r\n"
                                "[PHONE:0]START2, ERASE Start Fail.\r\n"
                                "[PHONE:0]WRITE.\r\n"
                                "[PHONE:0]ERASE Ok.\r\n"
                                "[PHONE:0]ERASE Fail.\r\n"
                                "[PHONE:0]Download Start.\r\n");
}

TEST(ConsolePhoneEvents, ProgressIsTheAddressAgainstTheNormalRange) {
  ConsoleHarness h;
  h.phone.SetPorts({7});
  h.Open();
  for (uintptr_t address : {uintptr_t{0x10000}, uintptr_t{1015808}, uintptr_t{2031616},
                            uintptr_t{2096128}, uintptr_t{0}})
    h.console->PostMessage(msg::WM_PHONE_PROGRESS, address, 0);
  h.Sync();
  EXPECT_EQ(h.view.Progress(0), (std::vector<uint32_t>{3, 50, 100, 103, 0}));
  EXPECT_EQ(h.console->ProgressValue(0), 0u);
}

// ---------------------------------------------------------------------------
// PHONE jobs

class PhoneJob : public ::testing::Test {
 protected:
  void SetUp() override {
    h.phone.SetPorts({7});
    h.Open();
    image = Bytes(kPhoneImageSize, 5);
    path = h.WriteFile("k760down.bin", image);
  }
  ConsoleHarness h;
  std::vector<uint8_t> image;
  std::string path;
};

TEST_F(PhoneJob, SuccessfulRunReleasesEverythingAndEnablesGo) {
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  const std::string text = h.view.Text(0);
  EXPECT_EQ(text.rfind("Loading File(Phone:2097152 bytes)\r\n[PHONE:0]m_PhoneThread[0] : ", 0), 0u)
      << text;
  for (const char* piece :
       {"[PHONE:0]Finding Phone.\r\n[PHONE:0]Port-COM0-1.\r\n[PHONE:0]RESTART Ok.\r\n",
        "[PHONE:0]DLOAD Ok.\r\n[PHONE:0]COPY Ok.\r\n[PHONE:0]JUMP1 Ok.\r\n",
        "[PHONE:0]ERASE Ok.\r\n[PHONE:0]WRITE.\r\n[PHONE:0]JUMP2 Ok.\r\n"}) {
    EXPECT_TRUE(Contains(text, piece)) << piece;
  }
  EXPECT_TRUE(text.ends_with("[PHONE:0]Download Finish.\r\n===========================\r\n"))
      << text;
  // The worker was configured in the launch's order and shown in the status box.
  const auto configs = h.phone.Configs();
  ASSERT_EQ(configs.size(), 1u);
  EXPECT_EQ(configs[0].calls,
            (std::vector<std::string>{"SetLinkOption", "SetNotifyWindow", "SetPort", "SetBaudRate",
                                      "SetMode", "SetAuxOption", "SetImage", "SetRange"}));
  EXPECT_EQ(configs[0].port, 7);
  EXPECT_EQ(configs[0].baudRate, 115200);
  EXPECT_EQ(configs[0].linkOption, 5000);
  EXPECT_EQ(configs[0].auxOption, 5000);
  EXPECT_EQ(configs[0].phoneMode, 0);
  EXPECT_EQ(configs[0].pdaFollows, 0);
  EXPECT_EQ(configs[0].start, 0x10000u);
  EXPECT_EQ(configs[0].byteCount, 0x1F0000u);
  const auto events = h.view.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "status 0 PH:7"), events.end());
  EXPECT_EQ(h.view.Status(0), "");
  EXPECT_EQ(h.view.Progress(0).front(), 0u);  // CheckJob's reset
  EXPECT_EQ(h.view.Progress(0)[1], 3u);
  EXPECT_EQ(h.view.Progress(0).back(), 103u);
  // The staged phone half is the image.
  EXPECT_EQ(FileText(h.Dir() + "/qpx_bin.tmp"), std::string(image.begin(), image.end()));

  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.phoneImageLoaded || s.runActive || s.phoneRunning[0] || s.phoneViewAttached[0]);
  EXPECT_TRUE(s.goEnabled);
  EXPECT_GE(h.phone.feeder->closes, 1);
  const auto summary = h.view.Summaries().at(0);
  ASSERT_EQ(summary.slots.size(), 1u);
  EXPECT_EQ(summary.slots[0].result, SlotOutcome::Result::Completed);
  EXPECT_TRUE(summary.AllCompleted());
}

TEST_F(PhoneJob, ChannelModesSendTheWholeImageFromZero) {
  h.Go(Job(path, mode::kPhone, mode::kPhChNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_EQ(h.phone.Configs().at(0).start, 0u);
  EXPECT_EQ(h.phone.Configs().at(0).byteCount, 0x200000u);
}

TEST_F(PhoneJob, AWorkerThatFailsEndsTheRunAndGoComesBack) {
  h.phone.SetScript(7, PhoneScript{testing::SuspendFailure()});
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Text(0).ends_with("[PHONE:0]Port-COM0-1.\r\n[PHONE:0]SUSPEND Fail.\r\n"));
  const auto summary = h.view.Summaries().at(0);
  EXPECT_EQ(summary.slots.at(0).result, SlotOutcome::Result::Failed);
  EXPECT_EQ(summary.slots.at(0).failedStep, "SUSPEND");
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.phoneImageLoaded || s.runActive || s.phoneRunning[0]);
  EXPECT_TRUE(s.goEnabled);
  // A second run starts normally.
  h.phone.SetScript(7, PhoneScript{testing::SuccessfulPhoneRun()});
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd(2));
  EXPECT_TRUE(h.view.Summaries().at(1).AllCompleted());
}

TEST_F(PhoneJob, PortFailureWaitsForTheWorkerBeforeGoComesBack) {
  h.phone.SetScript(7, PhoneScript{{{msg::WM_PHONE_PORT_FAIL, 2}}});
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Text(0).ends_with("[PHONE:0]Port Fail-COM0-2.\r\n"));
  EXPECT_EQ(h.view.Summaries().at(0).slots.at(0).failedStep, "Port Fail-2");
  EXPECT_TRUE(h.console->Snapshot().goEnabled);
}

TEST_F(PhoneJob, PhoneNotFoundGivesTheSlotUp) {
  h.phone.SetScript(7, PhoneScript{{}, 254});
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Text(0).ends_with("[PHONE:0]Finding Phone.\r\n[PHONE:0]Phone not Found.\r\n"));
  EXPECT_EQ(h.view.Status(0), "");
  EXPECT_EQ(h.view.Summaries().at(0).slots.at(0).failedStep, "Finding Phone");
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.phoneImageLoaded || s.runActive || s.phoneRunning[0]);
  EXPECT_TRUE(s.goEnabled);
}

TEST_F(PhoneJob, AFeederThatRefusesTheImageIsNeverHandedToTheWorker) {
  h.phone.feeder->openResult = 0;
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_FALSE(h.phone.Configs().at(0).imageSet);
  EXPECT_TRUE(
      h.view.Text(0).ends_with("[PHONE:0]Phone not Found.\r\n"
                               "[PHONE:0]The phone image was refused.\r\n"))
      << h.view.Text(0);
}

TEST_F(PhoneJob, GoIsIgnoredWhileARunIsInProgress) {
  Gate gate;
  PhoneScript held{testing::SuccessfulPhoneRun()};
  held.gateBeforeEnd = &gate;
  h.phone.SetScript(7, held);
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForText(0, "[PHONE:0]JUMP2 Ok.\r\n"));
  EXPECT_FALSE(h.console->Snapshot().goEnabled);
  h.console->PostCommand(ctl::kGo);
  h.Sync();
  EXPECT_EQ(h.phone.workersCreated, 1);
  gate.Open();
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_EQ(h.view.RunsStarted(), 1);
}

// ---------------------------------------------------------------------------
// PDA jobs

std::vector<uint8_t> PdaImageOf(const std::vector<uint8_t>& united) {
  UnitedBinarySplit split;
  EXPECT_EQ(SplitUnitedBinary(united.data(), united.size(), split), FormatError::None);
  return split.pdaImage;
}

TEST(ConsolePdaJob, WithoutAHandheldTheSlotIsTidiedUpAfterTheWait) {
  ConsoleHarness h;
  h.Open();
  const std::string path = h.WriteFile("tova.pda", PdaImageOf(SmallUnitedBinary()));
  h.Go(Job(path, mode::kPda, mode::kPhSkip, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_EQ(h.view.Text(0), "Loading File(PDA:" + std::to_string(std::filesystem::file_size(path)) +
                                ")\r\n========================================\r\n"
                                "[PDA:0]Start PDA Download\r\n"
                                "[ERR:0]Please Reconnect USB cable\r\n");
  EXPECT_EQ(h.view.Summaries().at(0).slots.at(0).failedStep, "USB cable");
  EXPECT_TRUE(h.pda.Runs().empty());
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.pdaImageLoaded || s.runActive || s.pdaViewAttached[0]);
  EXPECT_TRUE(s.goEnabled);
}

TEST(ConsolePdaJob, AttachedHandheldIsOpenedAndItsWorkerRunsTheJob) {
  ConsoleHarness h;
  h.phone.SetPorts({5});
  h.pda.present = {PalmName(42)};
  h.Open();
  const std::vector<uint8_t> widebin = Bytes(0x30000);
  const std::string path = h.WriteFile("tova.widebin", widebin);
  h.pda.SetScript(0,
                  PdaScript{1, {"=== SmallRom Download ===\r\n", "=== BigRom Download ===\r\n"}});
  h.Go(Job(path, mode::kPda, mode::kPhSkip, mode::kPdaWidebin));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  const auto runs = h.pda.Runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].slot, 0);
  EXPECT_EQ(runs[0].targetCode, mode::kPdaWidebin);
  EXPECT_EQ(runs[0].deviceMode, mode::kPda);
  EXPECT_EQ(runs[0].viewLength, 0x30000u);
  EXPECT_EQ(runs[0].portName, PalmName(42));
  const std::string text = h.view.Text(0);
  EXPECT_TRUE(Contains(text,
                       "[PDA:0]Start PDA Download\r\n[PDA:0]USB Port Open\r\n"
                       "=== SmallRom Download ===\r\n"))
      << text;
  EXPECT_TRUE(
      text.ends_with("[PDA:0]Download Completed\r\n"
                     "========================================\r\n"));
  const auto events = h.view.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "status 0 PDA:5"), events.end());
  EXPECT_TRUE(h.view.Summaries().at(0).AllCompleted());
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.pdaImageLoaded || s.runActive || s.pdaRunning[0] || s.pdaAttached[0]);
  EXPECT_TRUE(s.goEnabled);
}

TEST(ConsolePdaJob, FailedPartAndDFormatOutcomes) {
  ConsoleHarness h;
  h.pda.present = {PalmName(1)};
  h.Open();
  const std::string pda = h.WriteFile("tova.pda", PdaImageOf(SmallUnitedBinary()));
  h.pda.SetScript(0, PdaScript{0, {"=== Resource Download ===\r\n"}, true});
  h.Go(Job(pda, mode::kPda, mode::kPhSkip, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_EQ(h.view.Summaries().at(0).slots.at(0).failedStep, "PDA Resource");
  EXPECT_TRUE(h.console->Snapshot().pdaAttached[0]);  // the worker left the port open

  // DFormat never reports completion; a run whose program started is complete.
  const std::string dformat = h.WriteFile("dformat_rq27.bin", Bytes(4000));
  PdaScript script{0, {}, false};
  script.dformat = true;
  h.pda.SetScript(0, script);
  h.Go(Job(dformat, mode::kPda, mode::kPhSkip, mode::kPdaDFormat));
  ASSERT_TRUE(h.view.WaitForRunEnd(2));
  EXPECT_TRUE(h.view.Summaries().at(1).AllCompleted());
  EXPECT_EQ(h.pda.Runs().at(1).targetCode, mode::kPdaDFormat);
  // The port open from the first run was closed before it was opened again.
  EXPECT_EQ(h.pda.transport.opens.size(), 2u);
}

// ---------------------------------------------------------------------------
// PDA+PHONE jobs

TEST(ConsolePdaPhoneJob, ThreeSlotsLoadSplitAndLaunchInOrder) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4, 5});
  h.pda.present = {PalmName(3), PalmName(4), PalmName(5)};
  h.Open();
  const std::vector<uint8_t> united = SmallUnitedBinary();
  const size_t pdaSize = PdaImageOf(united).size();
  const std::string path = h.WriteFile("TOVA_Korvan_Release.IMG", united);
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForRunEnd());

  const std::string loading =
      "Loading File(PDA:" + std::to_string(pdaSize) + ")\r\nLoading File(Phone:2097152 bytes)\r\n";
  EXPECT_EQ(
      h.view.Text(0).rfind(
          "Loading File(PH+PDA:" + std::to_string(united.size()) + " bytes)\r\n" + loading, 0),
      0u)
      << h.view.Text(0);
  for (int slot = 1; slot < 3; ++slot) {
    EXPECT_EQ(h.view.Text(slot).rfind(loading, 0), 0u) << slot;
    EXPECT_TRUE(h.view.Text(slot).ends_with("[PDA:" + std::to_string(slot) +
                                            "]Download Completed\r\n"
                                            "========================================\r\n"));
  }
  for (const auto& config : h.phone.Configs()) EXPECT_EQ(config.pdaFollows, 1);
  // The first launch staged the phone half and built the feeder; the others
  // share it rather than rebuilding it under running workers.
  EXPECT_EQ(h.phone.feeder->opened.size(), 1u);
  const auto runs = h.pda.Runs();
  ASSERT_EQ(runs.size(), 3u);
  for (const auto& run : runs) {
    EXPECT_EQ(run.deviceMode, mode::kPdaPhone);
    EXPECT_EQ(run.targetCode, mode::kPdaAll);
    EXPECT_EQ(run.viewLength, pdaSize);
    EXPECT_EQ(run.portName, PalmName(3 + run.slot));
  }
  const auto summary = h.view.Summaries().at(0);
  EXPECT_EQ(summary.slots.size(), 3u);
  EXPECT_TRUE(summary.AllCompleted());
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.phoneImageLoaded || s.pdaImageLoaded || s.runActive);
  EXPECT_TRUE(s.goEnabled);
  // Go was disabled from the checks to the run's end: exactly one re-enable.
  const auto events = h.view.Events();
  const auto off = std::find(events.begin(), events.end(), "enable 1118 0");
  ASSERT_NE(off, events.end());
  EXPECT_EQ(std::count(off, events.end(), std::string("enable 1118 1")), 1);
}

// Where a United Binary keeps its phone half: before the PDA body (as the
// Image Maker writes it), after it, or across the body's start. The console
// holds the file once and makes both halves ranges of it.
struct HalvesLayout {
  const char* name;
  uint32_t phoneOffset;
  uint32_t bodyOffset;
};

std::vector<uint8_t> UnitedWithLayout(const HalvesLayout& layout) {
  const uint32_t lengths[4] = {kPhoneImageSize, 100, kSmallRomSize + 4096, 300};
  ImageHeader header;
  header.headerSize = kUnitedHeaderSize;
  header.magic = IMAGE_MAGIC;
  header.headerVersion = kImageHeaderVersion;
  header.entries[0].offset = layout.phoneOffset;
  header.entries[0].length = lengths[0];
  uint32_t offset = layout.bodyOffset;
  for (int k = 1; k < 4; ++k) {
    header.entries[k].offset = offset;
    header.entries[k].length = lengths[k];
    offset += lengths[k];
  }
  const uint32_t body = offset - layout.bodyOffset;
  header.totalSize = kUnitedHeaderSize + lengths[0] + body;
  std::vector<uint8_t> bytes = WriteImageHeader(header, kUnitedEntryCount);
  bytes.resize(std::max(offset, layout.phoneOffset + lengths[0]));
  for (size_t i = kUnitedHeaderSize; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 10));
  return bytes;
}

class HalvesOfOneBuffer : public ::testing::TestWithParam<HalvesLayout> {};

TEST_P(HalvesOfOneBuffer, StageThePhoneHalfAndShowThePdaImageByteForByte) {
  const HalvesLayout layout = GetParam();
  ConsoleHarness h;
  h.phone.SetPorts({3});
  h.pda.present = {PalmName(3)};
  h.Open();
  const std::vector<uint8_t> united = UnitedWithLayout(layout);
  const std::string path = h.WriteFile("tova.img", united);
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Summaries().at(0).AllCompleted()) << h.view.Text(0);
  const auto phone = united.begin() + layout.phoneOffset;
  EXPECT_EQ(FileText(h.Dir() + "/qpx_bin.tmp"), std::string(phone, phone + kPhoneImageSize));
  const std::vector<uint8_t> pdaImage = PdaImageOf(united);
  const auto runs = h.pda.Runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].viewLength, pdaImage.size());
  EXPECT_EQ(runs[0].viewCrc, Crc32(pdaImage.data(), 0, pdaImage.size()));
}

INSTANTIATE_TEST_SUITE_P(
    ConsolePdaPhoneJob, HalvesOfOneBuffer,
    ::testing::Values(
        HalvesLayout{"PhoneFirst", kUnitedHeaderSize, kUnitedHeaderSize + kPhoneImageSize},
        HalvesLayout{"PhoneAfterThePdaBody", kUnitedHeaderSize + 0x30000, kUnitedHeaderSize},
        HalvesLayout{"PhoneAcrossThePdaBody", kUnitedHeaderSize, kUnitedHeaderSize + 0x100000}),
    [](const ::testing::TestParamInfo<HalvesLayout>& info) { return info.param.name; });

TEST(ConsolePdaPhoneJob, FirstFinishHandsOverToPdaAndReleasesNothingShared) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.pda.present = {PalmName(3), PalmName(4)};
  Gate slot1Finish;
  PhoneScript held{testing::SuccessfulPhoneRun()};
  held.gateBeforeEnd = &slot1Finish;
  h.phone.SetScript(4, held);
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaResource));
  ASSERT_TRUE(h.view.WaitForText(0, "[PDA:0]Download Completed\r\n"));
  ConsoleSnapshot s =
      WaitForState(*h.console, [](const ConsoleSnapshot& s) { return !s.pdaRunning[0]; });
  EXPECT_TRUE(s.phoneImageLoaded && s.pdaImageLoaded && s.runActive);
  EXPECT_FALSE(s.goEnabled);
  EXPECT_TRUE(s.phoneRunning[1]);
  EXPECT_FALSE(s.phoneRunning[0] || s.phoneViewAttached[0] || s.pdaViewAttached[0]);
  EXPECT_EQ(h.phone.feeder->closes, 0);
  slot1Finish.Open();
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Summaries().at(0).AllCompleted());
  EXPECT_EQ(h.phone.feeder->closes, 1);
  s = h.console->Snapshot();
  EXPECT_FALSE(s.phoneImageLoaded || s.pdaImageLoaded || s.runActive);
}

TEST(ConsolePdaPhoneJob, AFailingHandsetEndsItsSlotWhileTheOthersComplete) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4, 5});
  h.pda.present = {PalmName(3), PalmName(4), PalmName(5)};
  h.phone.SetScript(4, PhoneScript{testing::SuspendFailure()});
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  const auto summary = h.view.Summaries().at(0);
  ASSERT_EQ(summary.slots.size(), 3u);
  EXPECT_EQ(summary.slots[0].result, SlotOutcome::Result::Completed);
  EXPECT_EQ(summary.slots[1].result, SlotOutcome::Result::Failed);
  EXPECT_EQ(summary.slots[1].failedStep, "SUSPEND");
  EXPECT_EQ(summary.slots[2].result, SlotOutcome::Result::Completed);
  EXPECT_FALSE(summary.AllCompleted());
  EXPECT_FALSE(Contains(h.view.Text(1), "Start PDA Download"));
  EXPECT_EQ(h.pda.Runs().size(), 2u);
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.phoneImageLoaded || s.pdaImageLoaded || s.runActive || s.phoneRunning[1]);
  EXPECT_TRUE(s.goEnabled);
}

TEST(ConsolePdaPhoneJob, PdaSkipEndsWithThePhonesEvenWithHandheldsAttached) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.pda.present = {PalmName(3), PalmName(4)};
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.Go(Job(path, mode::kPdaPhone, mode::kPhEmergency, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Summaries().at(0).AllCompleted());
  for (const auto& config : h.phone.Configs()) {
    EXPECT_EQ(config.pdaFollows, 0);
    EXPECT_EQ(config.phoneMode, mode::kPhEmergency);
  }
  EXPECT_TRUE(h.pda.Runs().empty());
  EXPECT_TRUE(h.console->Snapshot().pdaAttached[0]);
}

TEST(ConsolePdaPhoneJob, NoModemPortEndsTheRunAtOnce) {
  ConsoleHarness h;
  h.phone.SetPorts({});
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Text(0).ends_with("[ERROR]No Phone Port found.\r\n"));
  EXPECT_TRUE(h.view.Summaries().at(0).slots.empty());
  EXPECT_FALSE(h.view.Summaries().at(0).AllCompleted());
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.phoneImageLoaded || s.pdaImageLoaded || s.runActive);
  EXPECT_TRUE(s.goEnabled);
}

TEST(ConsolePdaPhoneJob, ACancelledPhoneEndsItsSlotWithoutAPdaDownload) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.pda.present = {PalmName(3), PalmName(4)};
  h.phone.SetScript(3, PhoneScript{{{msg::WM_PHONE_CANCEL, 0}}});
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Text(0).ends_with("[PHONE:0]Download Cancel.\r\n")) << h.view.Text(0);
  EXPECT_EQ(h.view.Status(0), "");
  const auto summary = h.view.Summaries().at(0);
  EXPECT_EQ(summary.slots.at(0).result, SlotOutcome::Result::Failed);
  EXPECT_EQ(summary.slots.at(1).result, SlotOutcome::Result::Completed);
  // Only the other slot's handheld was flashed.
  ASSERT_EQ(h.pda.Runs().size(), 1u);
  EXPECT_EQ(h.pda.Runs()[0].slot, 1);
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.runActive || s.phoneRunning[0] || s.pdaImageLoaded);
  EXPECT_TRUE(s.goEnabled);
}

TEST(ConsolePdaPhoneJob, PhoneNotFoundOnOneSlotDoesNotEndTheOthers) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.pda.present = {PalmName(3), PalmName(4)};
  h.phone.SetScript(3, PhoneScript{{}, 254});
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  const auto summary = h.view.Summaries().at(0);
  EXPECT_EQ(summary.slots.at(0).failedStep, "Finding Phone");
  EXPECT_EQ(summary.slots.at(1).result, SlotOutcome::Result::Completed);
  EXPECT_EQ(h.pda.Runs().size(), 1u);
}

// ---------------------------------------------------------------------------
// Dialogs and clicks during the console's waits

TEST(ConsoleDialogs, ARunGoesOnBehindAnOpenFileDialogAndASecondClickIsDropped) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.pda.present = {PalmName(3), PalmName(4)};
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  Gate closed;
  h.view.HoldDialogs(&closed);
  h.view.SetNextChoice(path);
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  // Clicked while Go's waits hold operator input: it is handled before the
  // launches Go posted, so they run behind the dialog.
  EXPECT_TRUE(h.console->PostCommand(ctl::kBrowse));
  ASSERT_TRUE(h.view.WaitForRunEnd());
  EXPECT_TRUE(h.view.Summaries().at(0).AllCompleted());
  EXPECT_EQ(h.pda.Runs().size(), 2u);
  EXPECT_EQ(h.view.Dialogs().size(), 1u);
  EXPECT_FALSE(h.console->PostCommand(ctl::kBrowse));  // the first is not handled yet
  closed.Open();
  h.Sync();
  EXPECT_EQ(h.view.Dialogs().size(), 1u);
  EXPECT_EQ(h.view.Form().imagePath, path);
  const auto events = h.view.Events();
  const auto taken = std::find(events.begin(), events.end(), "pending 1023 1");
  ASSERT_NE(taken, events.end());
  EXPECT_EQ(std::count(events.begin(), events.end(), std::string("pending 1023 1")), 1);
  EXPECT_NE(std::find(taken, events.end(), "pending 1023 0"), events.end());
  const auto busy = std::find(events.begin(), events.end(), "busy 1");
  EXPECT_NE(std::find(busy, events.end(), "busy 0"), events.end());
  EXPECT_FALSE(h.console->Snapshot().busy);
}

// ---------------------------------------------------------------------------
// Continuous operation

TEST(ConsoleContinuous, NewUnitsStartByThemselvesAndNoUnitIsFlashedTwice) {
  // A scale at which the 5 s a port must stay away are 50 ms.
  const double scale = ProcessClock().Scale();
  SetProcessTimeScale(0.01);
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.phone.serials[4] = "A1";
  Gate slot1Finish;
  PhoneScript held{testing::SuccessfulPhoneRun()};
  held.gateBeforeEnd = &slot1Finish;
  h.phone.SetScript(4, held);
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.console->PostRepeat(true);
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaSkip));
  auto completed = [&](int slot, int units) {
    return WaitForState(*h.console, [&](const ConsoleSnapshot& s) {
             return s.unitsCompleted[slot] >= units && s.stage[slot] == SlotStage::Ended;
           }).unitsCompleted[slot] == units;
  };
  auto away = [] { std::this_thread::sleep_for(std::chrono::milliseconds(80)); };
  ASSERT_TRUE(completed(0, 1));
  // Slot 0's handset is replaced three times while slot 1 is mid-run.
  for (int unit = 2; unit <= 4; ++unit) {
    h.phone.PortEvent(3, false);
    away();
    h.phone.PortEvent(3, true);
    ASSERT_TRUE(h.view.WaitForText(0, "[SLOT:0]Unit " + std::to_string(unit) + "\r\n"));
    ASSERT_TRUE(completed(0, unit));
  }
  EXPECT_TRUE(h.console->Snapshot().phoneRunning[1]);
  EXPECT_EQ(h.view.Enabled(ctl::kBrowse), false);  // locked while a unit runs
  // Inside a run a port that goes and comes back is the same unit; so is a
  // handset back within 5 s after its slot ended, or under its serial number.
  h.phone.PortEvent(4, false);
  away();
  h.phone.PortEvent(4, true, "A1");
  h.phone.PortEvent(3, false);
  h.phone.PortEvent(3, true);
  h.Sync();
  slot1Finish.Open();
  ASSERT_TRUE(completed(1, 1));
  h.phone.PortEvent(4, false);
  away();
  h.phone.PortEvent(4, true, "A1");
  h.Sync();
  EXPECT_EQ(h.phone.workersCreated, 5);
  EXPECT_FALSE(Contains(h.view.Text(1), "Unit 2"));
  // Waiting for units: Go and the job are free again.
  EXPECT_TRUE(h.console->Snapshot().runActive);
  EXPECT_EQ(h.view.Enabled(ctl::kGo), true);
  EXPECT_EQ(h.view.Enabled(ctl::kBrowse), true);
  // Another serial number is another unit, at once.
  h.phone.SetScript(4, PhoneScript{testing::SuccessfulPhoneRun()});
  h.phone.PortEvent(4, false);
  h.phone.PortEvent(4, true, "B2");
  ASSERT_TRUE(completed(1, 2));
  EXPECT_EQ(h.view.Units(0), std::make_pair(4, 0));

  // Unticked: the run ends with every unit in its summary and its record.
  h.console->PostRepeat(false);
  ASSERT_TRUE(h.view.WaitForRunEnd());
  const RunSummary summary = h.view.Summaries().at(0);
  EXPECT_EQ(summary.slots.size(), 6u);
  EXPECT_TRUE(summary.AllCompleted());
  EXPECT_EQ(h.console->FlushRunRecords(), "");
  std::istringstream csv(FileText(h.Dir() + "/logs/runs.csv"));
  std::string line;
  int rows = 0;
  while (std::getline(csv, line)) rows += Contains(line, ",completed,");
  EXPECT_EQ(rows, 6);
  EXPECT_FALSE(h.console->Snapshot().runActive);
  SetProcessTimeScale(scale);
}

// In device mode PDA a handheld's serial number names the unit: the same one
// back, however late, is not flashed again; another one is, at once.
TEST(ConsoleContinuous, InDeviceModePdaTheHandheldsSerialNumberNamesTheUnit) {
  const double scale = ProcessClock().Scale();
  SetProcessTimeScale(0.01);  // 5 s away are 50 ms
  ConsoleHarness h;
  const std::string first = UsbPalmDeviceName(0, 1, 9, 0x0830, 0x0061, "PX7-0001");
  const std::string second = UsbPalmDeviceName(0, 1, 10, 0x0830, 0x0061, "PX7-0002");
  h.pda.present = {first};
  h.Open();
  h.console->PostRepeat(true);
  h.Go(Job(h.WriteFile("tova.pda", PdaImageOf(SmallUnitedBinary())), mode::kPda, mode::kPhSkip,
           mode::kPdaAll));
  const auto replug = [&](const std::string& name) {
    h.console->PostDeviceChange(msg::DBT_DEVICEREMOVECOMPLETE, first);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    h.console->PostDeviceChange(msg::DBT_DEVICEARRIVAL, name);
    h.Sync();
  };
  const auto completed = [&](int units) {
    return WaitForState(*h.console, [&](const ConsoleSnapshot& s) {
             return s.unitsCompleted[0] >= units;
           }).unitsCompleted[0] == units;
  };
  ASSERT_TRUE(completed(1));
  replug(first);
  EXPECT_EQ(h.console->Snapshot().stage[0], SlotStage::Ended);
  replug(second);
  ASSERT_TRUE(completed(2));
  EXPECT_EQ(h.pda.Runs().at(1).portName, second);
  SetProcessTimeScale(scale);
}

// ---------------------------------------------------------------------------
// Device arrival and removal

TEST(ConsoleDeviceChange, ArrivalAndRemovalMappings) {
  ConsoleHarness h;
  h.phone.SetPorts({5, 7});
  h.Open();
  h.console->PostDeviceChange(msg::DBT_DEVICEARRIVAL, PalmName(7));
  ConsoleSnapshot s = h.SyncedSnapshot();
  EXPECT_TRUE(s.pdaAttached[1]);
  EXPECT_EQ(s.pdaDeviceName[1], PalmName(7));
  EXPECT_TRUE(h.view.Text(1).ends_with("GOT DBT_DEVICEARRIVAL EVENT...\r\n"));
  h.console->PostDeviceChange(msg::DBT_DEVICEARRIVAL, PalmName(9));
  s = h.SyncedSnapshot();
  EXPECT_TRUE(s.pdaAttached[0]);
  EXPECT_EQ(s.pdaDeviceName[0], PalmName(9));

  // Removal: the slot is the number minus the port base (4 here).
  h.view.EditForm([](JobForm& f) { f.comPort = 4; });
  h.console->PostDeviceChange(msg::DBT_DEVICEREMOVECOMPLETE, PalmName(7));  // 7 - 4 = 3 > 2
  s = h.SyncedSnapshot();
  ASSERT_EQ(h.view.Messages().size(), 1u);
  EXPECT_EQ(h.view.Messages()[0].text, kMaxPortMessage);
  EXPECT_TRUE(s.pdaAttached[1]);
  EXPECT_FALSE(Contains(h.view.Text(1), "REMOVE"));
  h.console->PostDeviceChange(msg::DBT_DEVICEREMOVECOMPLETE, PalmName(5));  // slot 1
  s = h.SyncedSnapshot();
  EXPECT_FALSE(s.pdaAttached[1]);
  EXPECT_TRUE(h.view.Text(1).ends_with("GOT DBT_DEVICEREMOVECOMPLETE EVENT...\r\n"));
  h.console->PostDeviceChange(msg::DBT_DEVICEREMOVECOMPLETE, PalmName(4));  // slot 0
  s = h.SyncedSnapshot();
  EXPECT_FALSE(s.pdaAttached[0]);
  EXPECT_EQ(s.pdaDeviceName[0], PalmName(4));
  h.console->PostDeviceChange(msg::DBT_DEVICEARRIVAL, PalmName(7));
  h.console->PostDeviceChange(msg::DBT_DEVICEREMOVECOMPLETE, PalmName(450));  // 4 - 4 = 0
  s = h.SyncedSnapshot();
  EXPECT_TRUE(s.pdaAttached[1]);
  EXPECT_FALSE(s.pdaAttached[0]);
  EXPECT_EQ(h.view.Messages().size(), 1u);

  // Device mode PDA binds every handheld to slot 0.
  h.view.EditForm([](JobForm& f) { f.deviceMode = mode::kPda; });
  h.console->PostDeviceChange(msg::DBT_DEVICEARRIVAL, PalmName(7));
  s = h.SyncedSnapshot();
  EXPECT_TRUE(s.pdaAttached[0]);
  EXPECT_EQ(s.pdaDeviceName[0], PalmName(7));
}

TEST(ConsoleDeviceChange, RemovalGoesToTheSlotTheHandheldIsAttachedAt) {
  ConsoleHarness h;
  h.phone.SetPorts({5, 7});
  h.Open();
  // Device mode PDA: handheld 7 comes and goes at slot 0, which keeps its name.
  h.view.EditForm([](JobForm& f) {
    f.deviceMode = mode::kPda;
    f.comPort = 6;
  });
  h.console->PostDeviceChange(msg::DBT_DEVICEARRIVAL, PalmName(7));
  h.console->PostDeviceChange(msg::DBT_DEVICEREMOVECOMPLETE, PalmName(7));
  ConsoleSnapshot s = h.SyncedSnapshot();
  EXPECT_FALSE(s.pdaAttached[0]);
  EXPECT_EQ(s.pdaDeviceName[0], PalmName(7));

  // In PDA+PHONE it arrives at slot 1; its removal is slot 1's, not slot 0's.
  h.view.EditForm([](JobForm& f) { f.deviceMode = mode::kPdaPhone; });
  h.console->PostDeviceChange(msg::DBT_DEVICEARRIVAL, PalmName(7));
  s = h.SyncedSnapshot();
  ASSERT_TRUE(s.pdaAttached[1]);
  const std::string slot0Before = h.view.Text(0);
  h.console->PostDeviceChange(msg::DBT_DEVICEREMOVECOMPLETE, PalmName(7));
  s = h.SyncedSnapshot();
  EXPECT_FALSE(s.pdaAttached[1]);
  EXPECT_FALSE(s.pdaAttached[0]);
  EXPECT_TRUE(h.view.Text(1).ends_with("GOT DBT_DEVICEREMOVECOMPLETE EVENT...\r\n"));
  EXPECT_EQ(h.view.Text(0), slot0Before);
  EXPECT_TRUE(h.view.Messages().empty());
}

TEST(ConsoleDeviceChange, OtherEventsAndOtherDevices) {
  ConsoleHarness h;
  h.phone.SetPorts({5});
  h.Open();
  h.console->PostDeviceChange(0x8001, PalmName(5));
  h.Sync();
  EXPECT_EQ(h.view.Text(0), kBanner);
  h.console->PostDeviceChange(msg::DBT_DEVICEARRIVAL, "\\\\?\\usb#vid_1234#keyboard", false);
  h.console->PostDeviceChange(msg::DBT_DEVICEREMOVECOMPLETE, "\\\\?\\usb#vid_1234#keyboard", false);
  h.Sync();
  EXPECT_EQ(h.view.Text(0), std::string(kBanner) +
                                "Not a Palm OS Device Interface Notification...\r\n"
                                "Not a Palm OS Device Interface Notification...\r\n");
  EXPECT_FALSE(h.console->Snapshot().pdaAttached[0]);
}

// ---------------------------------------------------------------------------
// Exit

TEST(ConsoleExit, ExitDuringARunEndsEveryWorkerAndReleasesTheImages) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4});
  h.pda.present = {PalmName(3), PalmName(4)};
  Gate never;
  PhoneScript held{testing::SuccessfulPhoneRun()};
  held.gateBeforeEnd = &never;
  h.phone.SetScript(3, held);
  PdaScript blocked{0, {"=== Resource Download ===\r\n"}};
  blocked.blockInReceive = true;
  h.pda.SetScript(1, blocked);
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForText(1, "=== Resource Download ===\r\n"));
  EXPECT_EQ(h.Exit(), ctl::kExit);
  EXPECT_EQ(h.phone.workersAlive, 0);
  EXPECT_TRUE(h.pda.transport.open.empty());
  ASSERT_EQ(h.view.Summaries().size(), 1u);
  const auto summary = h.view.Summaries()[0];
  EXPECT_EQ(summary.slots.at(0).failedStep, "exit");
  EXPECT_EQ(summary.slots.at(1).failedStep, "PDA Resource");
  const ConsoleSnapshot s = h.console->Snapshot();
  EXPECT_FALSE(s.phoneImageLoaded || s.pdaImageLoaded || s.runActive);
}

TEST(ConsoleExit, RequestExitDuringGoEndsCleanly) {
  ConsoleHarness h;
  h.phone.SetPorts({3, 4, 5, 6, 7, 8});
  h.Open();
  const std::string path = h.WriteFile("tova.img", SmallUnitedBinary());
  h.Go(Job(path, mode::kPdaPhone, mode::kPhNormal, mode::kPdaAll));
  ASSERT_TRUE(h.view.WaitForText(0, "Loading File(PH+PDA"));
  h.console->RequestExit();
  EXPECT_EQ(h.Exit(), ctl::kExit);
  EXPECT_EQ(h.phone.workersAlive, 0);
  EXPECT_FALSE(h.console->Snapshot().phoneImageLoaded);
}

TEST(ConsoleExit, TheOkCommandReadsTheFormAndCloses) {
  ConsoleHarness h;
  h.Open();
  h.view.EditForm([](JobForm& f) { f.imagePath = "/typed.img"; });
  h.console->PostCommand(1);
  EXPECT_EQ(h.Exit(), 1);
  EXPECT_EQ(h.console->Snapshot().job.imagePath, "/typed.img");
}

// ---------------------------------------------------------------------------
// Write operations

TEST(ConsoleWriter, ConcurrentWritersKeepEachSlotsTextWholeAndInCallOrder) {
  ConsoleHarness h;
  h.Open();
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        h.console->SlotLog(t % 2, "[PDA:%d]line %d of %d\r\n", t, i, t);
        h.console->SetSlotProgress(t % 2, 0, static_cast<uint32_t>(i % 101));
        if (i % 50 == 0) h.console->EnableGo(i % 100 == 0);
      }
    });
  }
  for (auto& w : writers) w.join();
  h.Sync();
  for (int slot = 0; slot < 2; ++slot) {
    const std::string text = h.console->SlotText(slot);
    EXPECT_EQ(text, h.view.Text(slot));
    for (int t = slot; t < kThreads; t += 2) {
      size_t at = 0;
      for (int i = 0; i < kLines; ++i) {
        const std::string line = FormatBounded(255, "[PDA:%d]line %d of %d\r\n", t, i, t);
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line;
      }
    }
  }
  // Out-of-range slots are ignored.
  h.console->SlotLog(6, "x");
  h.console->SlotLog(-1, "x");
  h.console->SetSlotStatus(7, 0);
  h.console->ClearSlotLog(1);
  EXPECT_EQ(h.view.Text(1), "");
}

// ---------------------------------------------------------------------------
// Run records

TEST(ConsoleRunRecords, EachSlotGetsACsvLineAndItsLogText) {
  std::string dir;
  std::string slotText;
  std::string path;
  uint32_t crc = 0;
  {
    ConsoleHarness h;
    h.phone.SetPorts({7});
    h.Open();
    const std::vector<uint8_t> image = Bytes(kPhoneImageSize, 9);
    crc = Crc32(image.data(), 0, image.size());
    path = h.WriteFile("k760down.bin", image);
    h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
    ASSERT_TRUE(h.view.WaitForRunEnd());
    slotText = h.view.Text(0);
    h.Exit();
    h.console.reset();  // writes what is queued
    dir = h.Dir() + "/logs";
    const std::string csv = FileText(dir + "/runs.csv");
    std::istringstream lines(csv);
    std::string header, line, extra;
    std::getline(lines, header);
    std::getline(lines, line);
    EXPECT_FALSE(std::getline(lines, extra));
    EXPECT_EQ(header, kRunsCsvHeader);
    char crcText[16];
    std::snprintf(crcText, sizeof crcText, "%08X", crc);
    EXPECT_TRUE(
        Contains(line, ",0,7,," + path + "," + crcText + ",PHONE,[PH]Normal,[PDA]Skip,completed,"))
        << line;
    EXPECT_EQ(FileText(dir + "/slot0-history.log"), slotText);
  }
}

TEST(ConsoleRunRecords, AFailureToWriteIsReportedOnceInSlotZero) {
  ConsoleHarness h;
  h.phone.SetPorts({7});
  std::ofstream(h.Dir() + "/logs") << "not a directory";
  h.Open();
  const std::string path = h.WriteFile("k760down.bin", Bytes(kPhoneImageSize));
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd(1));
  ASSERT_TRUE(h.view.WaitForText(0, "[ERROR]Run record not written: "));
  // The next run clears slot 0 and fails to write as well, silently.
  h.Go(Job(path, mode::kPhone, mode::kPhNormal, mode::kPdaSkip));
  ASSERT_TRUE(h.view.WaitForRunEnd(2));
  h.Exit();
  h.console.reset();
  EXPECT_FALSE(Contains(h.view.Text(0), "[ERROR]Run record not written: "));
  EXPECT_TRUE(h.view.Text(0).ends_with("===========================\r\n"));
  EXPECT_TRUE(h.view.Summaries().at(1).AllCompleted());
}

}  // namespace
}  // namespace k730
