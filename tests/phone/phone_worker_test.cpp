#include "phone/phone_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "phone_test_support.h"
#include "sim/phone_sim.h"

namespace k730 {
namespace {

using namespace msg;
using namespace phone_msg;
using test::Event;

constexpr uint32_t kImageSize = 0x200000;

// What the console's launch hands each worker for a phone mode.
struct Range {
  uint32_t start;
  uint32_t count;
};
Range RangeFor(int mode) {
  return mode == mode::kPhChNormal || mode == mode::kPhChEmergency
             ? Range{0, kImageSize}
             : Range{0x10000, kImageSize - 0x10000};
}

class Events {
 public:
  explicit Events(int slot) : slot_(slot) {}
  Events& Add(uint32_t id, uintptr_t w) {
    list.push_back({id, w, slot_});
    return *this;
  }
  Events& Preparation(bool autotest = true) {
    Add(WM_PHONE_PORT_OK, 1);
    if (autotest) {
      Add(WM_PHONE_STEP_OK, 0).Add(WM_PHONE_STEP_OK, 1).Add(WM_PHONE_STEP_OK, 2);
      Add(WM_PHONE_STEP_OK, 3).Add(WM_PHONE_PORT_OK, 1);
    }
    return Add(WM_PHONE_STEP_OK, 4).Add(WM_PHONE_STEP_OK, 5).Add(WM_PHONE_STEP_OK, 6);
  }
  Events& Progress(Range range, uint32_t fromBlock = 0, uint32_t toBlock = UINT32_MAX) {
    const uint32_t blocks = range.count / 1024;
    for (uint32_t l = fromBlock; l < blocks && l < toBlock; ++l)
      if (l % 32 == 0 || l == blocks - 1) Add(WM_PHONE_PROGRESS, range.start + l * 1024);
    return *this;
  }
  Events& Finish() { return Add(WM_PHONE_STEP_OK, 16).Add(WM_PHONE_FINISH, 0); }
  // The whole run of a mode, as the worker reports it.
  Events& Download(int mode, bool pda) {
    if (mode == mode::kPhEmergency || mode == mode::kPhChEmergency) {
      Add(WM_PHONE_PORT_OK, 4);
    } else {
      Preparation();
    }
    Add(WM_PHONE_STEP_OK, 8).Add(WM_PHONE_STEP_OK, 10);
    if (mode == mode::kPhSkip) {
      if (pda) Add(WM_PHONE_STEP_OK, 9);
      return Finish();
    }
    Add(WM_PHONE_STEP_OK, 11);
    if (pda) Add(WM_PHONE_STEP_OK, 9);
    Add(WM_PHONE_ERASE_OK, 1).Add(WM_PHONE_STEP, 15);
    return Progress(RangeFor(mode)).Finish();
  }
  std::vector<Event> list;

 private:
  int slot_;
};

class PhoneWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = test::MakePhoneImage(kImageSize, 0x10000, 7);
    test::WriteFile(dir_.File("qpx_bin.tmp"), image_);
    ASSERT_EQ(buffer_.OpenImage(dir_.File("qpx_bin.tmp")), 1);
    ASSERT_EQ(buffer_.BuildBlockTable(), 1);
  }

  sim::PhoneSim& AddPhone(int port, bool emergency, const std::vector<std::string>& faults = {},
                          uint32_t eraseMs = 0) {
    sim::PhoneSimConfig config;
    config.portDir = dir_.Path();
    config.portNumber = port;
    config.emergency = emergency;
    config.eraseMs = eraseMs;
    for (const std::string& fault : faults) {
      std::string error;
      EXPECT_TRUE(sim::ParsePhoneFault(fault, config.faults, error)) << error;
    }
    phones_.push_back(std::make_unique<sim::PhoneSim>(config));
    std::string error;
    EXPECT_TRUE(phones_.back()->Start(error)) << error;
    return *phones_.back();
  }

  // Configures a worker the way the console's launch does.
  void Configure(CPhone& phone, test::RecordingSink& sink, int port, int mode, int pda) {
    ASSERT_EQ(phone.CreateThread(), 1);
    ApplySettings(phone, sink, port, mode, pda);
  }
  void ApplySettings(CPhone& phone, test::RecordingSink& sink, int port, int mode, int pda) {
    phone.SetLinkOption(kLinkOptionNoLeadingFlag);
    phone.SetNotifyWindow(&sink);
    phone.SetPort(port);
    phone.SetBaudRate(115200);
    phone.SetMode(mode, pda);
    phone.SetAuxOption(5000);
    phone.SetImage(&buffer_);
    const Range range = RangeFor(mode);
    phone.SetRange(range.start, range.count, 0);
  }

  // lastEventTicks: protocol ms from the start to the last event posted.
  std::vector<Event> RunWorker(int port, int mode, int pda, int slot = 0,
                               uint64_t* lastEventTicks = nullptr) {
    test::RecordingSink sink;
    CPhone phone(lock_);
    Configure(phone, sink, port, mode, pda);
    const uint64_t start = TickCount();
    EXPECT_TRUE(phone.PostThreadMessage(StartDownload, 0, slot));
    EXPECT_TRUE(test::WaitUntil([&] { return phone.Finished(); }, 240));
    phone.Reclaim();
    const std::vector<uint64_t> ticks = sink.Ticks();
    if (lastEventTicks) *lastEventTicks = ticks.empty() ? 0 : ticks.back() - start;
    return sink.Events();
  }

  void ExpectFlashHoldsImage(const sim::PhoneSim& phone, Range range) {
    const std::vector<uint8_t> flash = phone.Flash();
    ASSERT_EQ(flash.size(), kImageSize);
    EXPECT_EQ(0, std::memcmp(flash.data() + range.start, image_.data() + range.start, range.count));
  }

  test::TempDir dir_;
  test::ScopedPortDir portDir_{dir_.Path()};
  // Small, but with room for the simulator to answer within the fixed waits.
  test::ScopedTimeScale scale_{0.004};
  std::mutex lock_;
  std::vector<uint8_t> image_;
  ImageBuffer buffer_;
  std::vector<std::unique_ptr<sim::PhoneSim>> phones_;
};

struct ModeCase {
  int mode;
  int pda;
};

class WholeDownload : public PhoneWorkerTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(WholeDownload, PostsTheModesEventsAndFlashesTheImage) {
  const ModeCase c = GetParam();
  const bool emergency = c.mode == mode::kPhEmergency || c.mode == mode::kPhChEmergency;
  sim::PhoneSim& phone = AddPhone(7, emergency);
  const std::vector<Event> events = RunWorker(7, c.mode, c.pda, 2);
  const std::vector<Event> expected = Events(2).Download(c.mode, c.pda).list;
  EXPECT_EQ(events, expected) << "got:  " << test::Describe(events)
                              << "\nwant: " << test::Describe(expected);
  if (c.mode == mode::kPhSkip) {
    const std::vector<uint8_t> flash = phone.Flash();
    EXPECT_TRUE(
        std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == sim::kSimFlashFill; }));
  } else {
    ExpectFlashHoldsImage(phone, RangeFor(c.mode));
    EXPECT_EQ(phone.AcceptedWrites(), static_cast<int>(RangeFor(c.mode).count / 1024));
  }
  EXPECT_EQ(phone.DpramPort(), c.pda ? 7 : -1);
  EXPECT_EQ(phone.BadFrames(), 0);
  // JUMP2 restarted the handset into its new firmware.
  EXPECT_TRUE(test::WaitUntil([&] { return phone.DownloadRestarts() == 1; }));
}

std::string ModeCaseName(const ::testing::TestParamInfo<ModeCase>& info) {
  static const char* kNames[] = {"Normal", "Emergency", "ChNormal", "ChEmergency", "Skip"};
  return std::string(kNames[info.param.mode]) + (info.param.pda ? "WithPda" : "PhoneOnly");
}

INSTANTIATE_TEST_SUITE_P(Modes, WholeDownload,
                         ::testing::Values(ModeCase{0, 1}, ModeCase{0, 0}, ModeCase{1, 1},
                                           ModeCase{1, 0}, ModeCase{2, 1}, ModeCase{2, 0},
                                           ModeCase{3, 1}, ModeCase{3, 0}, ModeCase{4, 1},
                                           ModeCase{4, 0}),
                         ModeCaseName);

TEST_F(PhoneWorkerTest, ProgressOf1984BlocksIs63MessagesFrom0x10000To0x1FFC00) {
  const std::vector<Event> list = Events(0).Progress(RangeFor(mode::kPhNormal)).list;
  ASSERT_EQ(list.size(), 63u);
  EXPECT_EQ(list.front().wParam, 0x10000u);
  EXPECT_EQ(list[1].wParam, 0x18000u);
  EXPECT_EQ(list.back().wParam, 0x1FFC00u);
  EXPECT_EQ(Events(0).Progress(RangeFor(mode::kPhChNormal)).list.size(), 65u);
}

TEST_F(PhoneWorkerTest, NoAutotestAnswerSkipsTheRestart) {
  sim::PhoneSim& phone = AddPhone(3, false, {"no-autotest"});
  const std::vector<Event> events = RunWorker(3, mode::kPhNormal, 0);
  Events expected(0);
  expected.Preparation(false).Add(WM_PHONE_STEP_OK, 8).Add(WM_PHONE_STEP_OK, 10);
  expected.Add(WM_PHONE_STEP_OK, 11).Add(WM_PHONE_ERASE_OK, 1).Add(WM_PHONE_STEP, 15);
  expected.Progress(RangeFor(mode::kPhNormal)).Finish();
  EXPECT_EQ(events, expected.list) << test::Describe(events);
  ExpectFlashHoldsImage(phone, RangeFor(mode::kPhNormal));
  EXPECT_TRUE(test::WaitUntil([&] { return phone.Restarts() == 1; }));  // only JUMP2's
}

TEST_F(PhoneWorkerTest, BlockRefusedOnceIsSentAgainAndTheRunGoesOn) {
  sim::PhoneSim& phone = AddPhone(4, true, {"refuse-once:5"});
  const std::vector<Event> events = RunWorker(4, mode::kPhEmergency, 0);
  const Range range = RangeFor(mode::kPhEmergency);
  Events expected(0);
  expected.Add(WM_PHONE_PORT_OK, 4).Add(WM_PHONE_STEP_OK, 8).Add(WM_PHONE_STEP_OK, 10);
  expected.Add(WM_PHONE_STEP_OK, 11).Add(WM_PHONE_ERASE_OK, 1).Add(WM_PHONE_STEP, 15);
  expected.Progress(range, 0, 5);
  expected.Add(WM_PHONE_WRITE_FAIL, sim::kRefuseInjected)
      .Add(WM_PHONE_WRITE_RETRY, 0x10000 + 5 * 1024);
  expected.Progress(range, 5).Finish();
  EXPECT_EQ(events, expected.list) << test::Describe(events);
  ExpectFlashHoldsImage(phone, range);
}

TEST_F(PhoneWorkerTest, BlockRefusedSixTimesEndsTheRunWithoutFinish) {
  sim::PhoneSim& phone = AddPhone(4, true, {"refuse-always:40"});
  const std::vector<Event> events = RunWorker(4, mode::kPhEmergency, 0);
  const Range range = RangeFor(mode::kPhEmergency);
  Events expected(0);
  expected.Add(WM_PHONE_PORT_OK, 4).Add(WM_PHONE_STEP_OK, 8).Add(WM_PHONE_STEP_OK, 10);
  expected.Add(WM_PHONE_STEP_OK, 11).Add(WM_PHONE_ERASE_OK, 1).Add(WM_PHONE_STEP, 15);
  expected.Progress(range, 0, 40);
  for (int i = 0; i < 5; ++i)
    expected.Add(WM_PHONE_WRITE_FAIL, sim::kRefuseInjected)
        .Add(WM_PHONE_WRITE_RETRY, 0x10000 + 40 * 1024);
  expected.Add(WM_PHONE_WRITE_FAIL, sim::kRefuseInjected);
  EXPECT_EQ(events, expected.list) << test::Describe(events);
  EXPECT_EQ(phone.AcceptedWrites(), 40);
  EXPECT_EQ(phone.DownloadRestarts(), 0);
}

TEST_F(PhoneWorkerTest, HandsetPulledMidWriteFailsWithCodeZero) {
  AddPhone(5, true, {"unplug:100"});
  const std::vector<Event> events = RunWorker(5, mode::kPhEmergency, 0);
  const Range range = RangeFor(mode::kPhEmergency);
  Events expected(0);
  expected.Add(WM_PHONE_PORT_OK, 4).Add(WM_PHONE_STEP_OK, 8).Add(WM_PHONE_STEP_OK, 10);
  expected.Add(WM_PHONE_STEP_OK, 11).Add(WM_PHONE_ERASE_OK, 1).Add(WM_PHONE_STEP, 15);
  expected.Progress(range, 0, 100);
  for (int i = 0; i < 5; ++i)
    expected.Add(WM_PHONE_WRITE_FAIL, 0).Add(WM_PHONE_WRITE_RETRY, 0x10000 + 100 * 1024);
  expected.Add(WM_PHONE_WRITE_FAIL, 0);
  EXPECT_EQ(events, expected.list) << test::Describe(events);
}

TEST_F(PhoneWorkerTest, PortThatNeverAppears) {
  // The tries and their pauses, after the first second: 0.5 s then 5 x 1 s
  // before the preparation gives up, 2 s then 20 x 1 s before the download
  // does. Fewer or shorter ones end sooner (a tick per pause is rounding).
  uint64_t elapsed = 0;
  EXPECT_EQ(RunWorker(77, mode::kPhNormal, 1, 0, &elapsed),
            Events(0).Add(WM_PHONE_PORT_FAIL, 2).list);
  EXPECT_GE(elapsed, 1000 + 500 + 5 * 1000u - 7);
  EXPECT_EQ(RunWorker(77, mode::kPhEmergency, 1, 0, &elapsed),
            Events(0).Add(WM_PHONE_PORT_FAIL, 5).list);
  EXPECT_GE(elapsed, 1000 + 2000 + 20 * 1000u - 22);
  EXPECT_EQ(RunWorker(77, mode::kPhChNormal, 0, 1), Events(1).Add(WM_PHONE_PORT_FAIL, 2).list);
  EXPECT_EQ(RunWorker(77, mode::kPhChEmergency, 0), Events(0).Add(WM_PHONE_PORT_FAIL, 5).list);
}

TEST_F(PhoneWorkerTest, HandsetThatDoesNotComeBackAfterRestart) {
  AddPhone(8, false, {"no-return"});
  Events expected(0);
  expected.Add(WM_PHONE_PORT_OK, 1).Add(WM_PHONE_STEP_OK, 0).Add(WM_PHONE_STEP_OK, 1);
  expected.Add(WM_PHONE_STEP_OK, 2).Add(WM_PHONE_STEP_OK, 3).Add(WM_PHONE_PORT_FAIL, 2);
  EXPECT_EQ(RunWorker(8, mode::kPhNormal, 0), expected.list);
  // The lock was given back on the way out.
  EXPECT_TRUE(lock_.try_lock());
  lock_.unlock();
}

TEST_F(PhoneWorkerTest, ModeFiveEndsWithoutAnyMessage) {
  AddPhone(6, false);
  EXPECT_TRUE(RunWorker(6, 5, 0).empty());
}

TEST_F(PhoneWorkerTest, UnansweredCommandFailsItsStep) {
  AddPhone(6, true, {"silent:START2"});
  Events expected(0);
  expected.Add(WM_PHONE_PORT_OK, 4).Add(WM_PHONE_STEP_OK, 8).Add(WM_PHONE_STEP_OK, 10);
  expected.Add(WM_PHONE_STEP_FAIL, 11);
  EXPECT_EQ(RunWorker(6, mode::kPhEmergency, 1), expected.list);
}

TEST_F(PhoneWorkerTest, RefusedEraseReportsItsCode) {
  test::ScriptedPeer peer(dir_.Path(), 9);
  const std::vector<uint8_t> ack{0x7E, 0x02, 0x6A, 0xD3, 0x7E};
  peer.Script({ack, ack, ack, {0x7E, 0x04, 0x7E}});
  peer.Serve();
  Events expected(0);
  expected.Add(WM_PHONE_PORT_OK, 4).Add(WM_PHONE_STEP_OK, 8).Add(WM_PHONE_STEP_OK, 10);
  expected.Add(WM_PHONE_STEP_OK, 11).Add(WM_PHONE_ERASE_FAIL, 4);
  EXPECT_EQ(RunWorker(9, mode::kPhChEmergency, 0), expected.list);
  const auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 4u);
  // ERASE (0, 0x200000): EE, start, count, CRC.
  ASSERT_GE(frames[3].size(), 9u);
  EXPECT_EQ(frames[3][0], 0xEE);
  EXPECT_EQ(ReadU32LE(frames[3].data() + 1), 0u);
  EXPECT_EQ(ReadU32LE(frames[3].data() + 5), kImageSize);
}

TEST_F(PhoneWorkerTest, GarbageRepliesAreRefusedAndTheCommandIsRepeated) {
  sim::PhoneSim& phone = AddPhone(10, true, {"garbage:3"});
  EXPECT_EQ(RunWorker(10, mode::kPhEmergency, 1), Events(0).Download(mode::kPhEmergency, 1).list);
  ExpectFlashHoldsImage(phone, RangeFor(mode::kPhEmergency));
}

TEST_F(PhoneWorkerTest, SlowRepliesWithinTheReadTimeOutAreAccepted) {
  sim::PhoneSim& phone = AddPhone(11, true, {"slow:100"});
  EXPECT_EQ(RunWorker(11, mode::kPhChEmergency, 0),
            Events(0).Download(mode::kPhChEmergency, 0).list);
  ExpectFlashHoldsImage(phone, RangeFor(mode::kPhChEmergency));
}

TEST_F(PhoneWorkerTest, RefusedImageIsNeverWritten) {
  auto bad = image_;
  WriteU32LE(bad.data() + bad.size() - 18, 0xFFFFFFFF);
  test::WriteFile(dir_.File("qpx_bin.tmp"), bad);
  EXPECT_EQ(buffer_.OpenImage(dir_.File("qpx_bin.tmp")), 0);
  buffer_.BuildBlockTable();
  sim::PhoneSim& phone = AddPhone(12, false);
  EXPECT_EQ(RunWorker(12, mode::kPhNormal, 0), Events(0).Add(WM_PHONE_STEP_FAIL, kStepWrite).list);
  EXPECT_EQ(phone.Restarts(), 0);  // the handset was not touched
}

TEST_F(PhoneWorkerTest, EraseLongerThanTheSettleAndTheReadTimeOutIsWaitedFor) {
  // Large enough that the read time-out's floor of real time (250 ms) is 25 s
  // of protocol time: a one-minute erase outlasts it by far.
  const test::ScopedTimeScale scale(0.01);
  sim::PhoneSim& phone = AddPhone(17, true, {}, 60000);
  test::RecordingSink sink;
  CPhone worker(lock_);
  Configure(worker, sink, 17, mode::kPhEmergency, 0);
  worker.PostThreadMessage(StartDownload, 0, 0);
  ASSERT_TRUE(test::WaitUntil([&] { return worker.Finished(); }, 240));
  const std::vector<Event> events = sink.Events();
  ASSERT_EQ(events, Events(0).Download(mode::kPhEmergency, 0).list);
  ExpectFlashHoldsImage(phone, RangeFor(mode::kPhEmergency));
  // START2 Ok, two 3 s pauses, then the minute of the erase before its reply.
  const std::vector<uint64_t> ticks = sink.Ticks();
  const auto erased = std::find(events.begin(), events.end(), Event{WM_PHONE_ERASE_OK, 1, 0});
  const size_t at = static_cast<size_t>(erased - events.begin());
  ASSERT_GT(at, 0u);
  EXPECT_GE(ticks[at] - ticks[at - 1], 66000u);
}

// With the process-wide lock only one handset at a time waits for its port
// to come back; with a lock per port their waits overlap.
class RestartLocks : public PhoneWorkerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RestartLocks, TwoHandsetsRestartAndBothFinish) {
  const bool perPort = GetParam();
  // Overlapping waits must stay under 18 s apart on a busy machine too:
  // 180 ms of real time here.
  const test::ScopedTimeScale scale(perPort ? 0.01 : 0.004);
  sim::PhoneSim& first = AddPhone(21, false);
  sim::PhoneSim& second = AddPhone(22, false);
  test::RecordingSink sink;
  ReenumerationLocks locks(lock_);
  locks.SetPerPort(perPort);
  CPhone a(locks), b(locks);
  Configure(a, sink, 21, mode::kPhNormal, 1);
  Configure(b, sink, 22, mode::kPhNormal, 1);
  a.PostThreadMessage(StartDownload, 0, 0);
  b.PostThreadMessage(StartDownload, 0, 1);
  ASSERT_TRUE(test::WaitUntil([&] { return a.Finished() && b.Finished(); }, 240));
  std::vector<Event> slot0, slot1;
  for (const Event& e : sink.Events()) (e.lParam == 0 ? slot0 : slot1).push_back(e);
  // Both restarted at about the same time. Under one lock the second waits
  // for the first's 16 s, 2 s and reopen before its own, so they reopen at
  // least 18 s of protocol time apart; under a lock each, about together.
  const std::vector<Event> events = sink.Events();
  const std::vector<uint64_t> ticks = sink.Ticks();
  uint64_t reopened[2] = {0, 0};
  for (size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    // The first "port opened" after the restart of each slot.
    if (e.id == WM_PHONE_PORT_OK && e.wParam == kPortOpened && reopened[e.lParam] == 0 &&
        std::count(events.begin(), events.begin() + static_cast<long>(i),
                   Event{WM_PHONE_STEP_OK, kStepRestart, e.lParam}) == 1)
      reopened[e.lParam] = ticks[i];
  }
  ASSERT_TRUE(reopened[0] && reopened[1]);
  const uint64_t apart =
      reopened[0] > reopened[1] ? reopened[0] - reopened[1] : reopened[1] - reopened[0];
  if (perPort) {
    EXPECT_LT(apart, 18000u);
  } else {
    EXPECT_GE(apart, 18000u);
  }
  EXPECT_EQ(slot0, Events(0).Download(mode::kPhNormal, 1).list);
  EXPECT_EQ(slot1, Events(1).Download(mode::kPhNormal, 1).list);
  ExpectFlashHoldsImage(first, RangeFor(mode::kPhNormal));
  ExpectFlashHoldsImage(second, RangeFor(mode::kPhNormal));
  EXPECT_EQ(first.DpramPort(), 21);
  EXPECT_EQ(second.DpramPort(), 22);
}

INSTANTIATE_TEST_SUITE_P(ProcessWideOrPerPort, RestartLocks, ::testing::Bool());

TEST_F(PhoneWorkerTest, ReclaimEndsAWorkerWaitingForTheReenumerationLock) {
  AddPhone(13, false);
  std::unique_lock<std::mutex> held(lock_);  // another handset is re-attaching
  test::RecordingSink sink;
  CPhone phone(lock_);
  Configure(phone, sink, 13, mode::kPhNormal, 0);
  phone.PostThreadMessage(StartDownload, 0, 3);
  ASSERT_TRUE(test::WaitUntil([&] {
    const auto events = sink.Events();
    return !events.empty() && events.back() == Event{WM_PHONE_STEP_OK, 3, 3};
  }));
  EXPECT_FALSE(phone.Finished());
  phone.Reclaim();
  EXPECT_TRUE(phone.Finished());
  EXPECT_FALSE(phone.ThreadRunning());
  EXPECT_EQ(sink.Events().back(), (Event{WM_PHONE_STEP_OK, 3, 3}));
  phone.Reclaim();  // again: nothing left to do
}

TEST_F(PhoneWorkerTest, QuitMessageRunsTheExitHook) {
  test::RecordingSink sink;
  CPhone phone(lock_);
  ASSERT_EQ(phone.CreateThread(), 1);
  EXPECT_EQ(phone.CreateThread(), 0);
  phone.SetNotifyWindow(&sink);
  ASSERT_TRUE(phone.PostThreadMessage(kQuitMessage, 0, 0));
  ASSERT_TRUE(test::WaitUntil([&] { return phone.Finished(); }));
  EXPECT_EQ(sink.Events(), Events(0).Add(WM_PHONE_PORT_OK, 10).Add(WM_PHONE_PORT_OK, 11).list);
}

TEST_F(PhoneWorkerTest, ReadinessBitsAndSetterResults) {
  AddPhone(14, false);
  test::RecordingSink sink;
  {
    CPhone phone(lock_);
    ASSERT_EQ(phone.CreateThread(), 1);
    // The start hook left only mode Skip (< 5); COM0 is absent.
    EXPECT_EQ(phone.ProbeReadiness(), 4);
    ApplySettings(phone, sink, 14, mode::kPhNormal, 0);
    EXPECT_EQ(phone.ProbeReadiness(), 255);
    EXPECT_EQ(phone.BlockCount(), 1984);
    phone.SetPort(15);
    EXPECT_EQ(phone.ProbeReadiness(), 254);  // no such port
    phone.SetPort(14);
    phone.SetMode(5, 0);
    EXPECT_EQ(phone.ProbeReadiness(), 255 & ~4);
    EXPECT_EQ(phone.ProbeReadiness(), 255 & ~4);  // the probe closed the port again
  }
  CPhone phone(lock_);
  ASSERT_EQ(phone.CreateThread(), 1);
  phone.SetMode(mode::kPhSkip, 0);
  EXPECT_EQ(phone.SetImage(&buffer_), 0);
  phone.SetMode(mode::kPhNormal, 0);
  EXPECT_EQ(phone.SetImage(&buffer_), 1);
  phone.SetRange(0, 0x200000, 0);
  EXPECT_EQ(phone.BlockCount(), 2048);
  phone.SetRange(0x10000, 100, 1);  // rounded up from the image size
  EXPECT_EQ(phone.BlockCount(), 2048);
  EXPECT_EQ(phone.ByteCount(), 100u);
}

TEST(PhoneWorkerRange, WithoutAnImageTheBlockCountStays) {
  CPhone phone;
  phone.SetRange(0x10000, 0x1F0000, 0);
  EXPECT_EQ(phone.BlockCount(), 0);
  EXPECT_EQ(phone.StartAddress(), 0x10000u);
}

}  // namespace
}  // namespace k730
