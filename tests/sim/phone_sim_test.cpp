#include "sim/phone_sim.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/byte_order.h"
#include "phone/phone_frame_codec.h"
#include "phone/phone_link.h"
#include "phone/phone_worker.h"
#include "phone_test_support.h"

extern char** environ;

namespace k730::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Action = PhoneProtocol::Action;
using State = PhoneProtocol::State;

const Bytes kAck{0x7E, 0x02, 0x6A, 0xD3, 0x7E};

Bytes Flagged(const Bytes& payload) {
  PhoneFrameCodec codec;
  Bytes out(MaxFrameLength(payload.size()));
  out.resize(codec.BuildFrame(out.data(), payload.data(), static_cast<uint16_t>(payload.size()),
                              k730::Flagged));
  return out;
}

Bytes CommandFrame(const Bytes& payload) {
  PhoneFrameCodec codec;
  codec.SetNoLeadingFlag(1);
  Bytes out(MaxFrameLength(payload.size()));
  out.resize(codec.BuildFrame(out.data(), payload.data(), static_cast<uint16_t>(payload.size()),
                              k730::Command));
  return out;
}

Bytes Refusal(uint8_t code) {
  return Flagged({code});
}

Bytes Erase(uint32_t start, uint32_t count) {
  Bytes p(9);
  p[0] = 0xEE;
  WriteU32LE(p.data() + 1, start);
  WriteU32LE(p.data() + 5, count);
  return Flagged(p);
}

Bytes Write(uint32_t address, const Bytes& data) {
  Bytes p{0xDD, 0, 0, 0, 0, 0, 0};
  WriteU32LE(p.data() + 1, address);
  WriteU16LE(p.data() + 5, static_cast<uint16_t>(data.size()));
  p.insert(p.end(), data.begin(), data.end());
  return Flagged(p);
}

struct Fed {
  Action action;
  Bytes replies;
};

Fed Feed(PhoneProtocol& phone, const Bytes& bytes) {
  Fed fed;
  fed.action = phone.Feed(bytes.data(), bytes.size(), fed.replies);
  return fed;
}

TEST(PhoneProtocol, NormalStateAnswersProbesAndTheThreeCommands) {
  PhoneProtocol phone({}, false);
  EXPECT_EQ(Feed(phone, {0x7F, 0xAA, 0xDD, 0x7E}).replies, (Bytes{0x7F, 0xAA, 0xDD, 0x7E}));
  EXPECT_FALSE(Feed(phone, {0x7F, 0xAA, 0x1F, 0x00, 0x7E}).replies.empty());
  EXPECT_FALSE(Feed(phone, {0x7F, 0xAA, 0x24, 0x7E}).replies.empty());
  EXPECT_EQ(Feed(phone, CommandFrame({0x00})).replies, kAck);
  EXPECT_EQ(Feed(phone, CommandFrame({0x29, 0x01, 0x00})).replies, kAck);
  // Download-state commands mean nothing yet.
  EXPECT_TRUE(Feed(phone, Flagged({0xBB, 0x01, 0x14, 0x00, 0x00})).replies.empty());
  EXPECT_EQ(Feed(phone, CommandFrame({0x3A})).replies, kAck);
  EXPECT_EQ(phone.CurrentState(), State::Download);
  // ... and now the normal ones do not.
  EXPECT_TRUE(Feed(phone, CommandFrame({0x00})).replies.empty());
  EXPECT_TRUE(Feed(phone, {0x7F, 0xAA, 0xDD, 0x7E}).replies.empty());
}

TEST(PhoneProtocol, RestartDropsThePortWithoutAnAnswer) {
  PhoneProtocol phone({}, false);
  const Fed fed = Feed(phone, {0x7F, 0xAA, 0x3F, 0x00, 0x7E, 0x00, 0x78, 0xF0, 0x7E});
  EXPECT_EQ(fed.action, Action::Restart);
  EXPECT_TRUE(fed.replies.empty());  // what followed the restart was lost
}

TEST(PhoneProtocol, BadFramesAreRefusedAndCounted) {
  PhoneProtocol phone({}, true);
  Bytes copy = Flagged({0xBB, 0x01, 0x14, 0x00, 0x00});
  copy[copy.size() - 2] ^= 0x01;  // corrupt the CRC
  EXPECT_EQ(Feed(phone, copy).replies, Refusal(kRefuseBadFrame));
  EXPECT_EQ(Feed(phone, {0x7E, 0x11, 0x7D, 0x7E}).replies, Refusal(kRefuseBadFrame));  // cut escape
  EXPECT_EQ(Feed(phone, {0x7E, 0x11, 0x7E}).replies, Refusal(kRefuseBadFrame));        // too short
  EXPECT_EQ(phone.BadFrames(), 3);
  // Padding zeros and repeated flags are no frames at all.
  EXPECT_TRUE(Feed(phone, {0x00, 0x00, 0x00, 0x7E, 0x7E}).replies.empty());
  EXPECT_EQ(phone.BadFrames(), 3);
}

TEST(PhoneProtocol, FrameSplitAcrossReadsIsReassembled) {
  PhoneProtocol phone({}, true);
  const Bytes copy = Flagged({0xBB, 0x01, 0x14, 0x00, 0x00});
  Bytes replies;
  for (uint8_t b : copy) EXPECT_EQ(phone.Feed(&b, 1, replies), Action::None);
  EXPECT_EQ(replies, kAck);
}

TEST(PhoneProtocol, EraseThenWriteStoresBlocksAndGuardsTheFlash) {
  PhoneProtocol phone({}, true);
  Bytes data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x7C + i % 5);
  EXPECT_EQ(Feed(phone, Write(0x10000, data)).replies, Refusal(kRefuseNotErased));
  EXPECT_EQ(Feed(phone, Erase(0x10000, 0x1F0000)).replies, kAck);
  EXPECT_EQ(phone.Flash()[0x10000], 0xFF);
  EXPECT_EQ(phone.Flash()[0xFFFF], kSimFlashFill);
  EXPECT_EQ(Feed(phone, Write(0x10000, data)).replies, kAck);
  EXPECT_EQ(0, std::memcmp(phone.Flash().data() + 0x10000, data.data(), data.size()));
  EXPECT_EQ(Feed(phone, Write(0x10000, data)).replies, Refusal(kRefuseNotErased));  // written once
  EXPECT_EQ(Feed(phone, Write(0x1FFC00, data)).replies, kAck);
  EXPECT_EQ(Feed(phone, Write(0x200000, data)).replies, Refusal(kRefuseOutOfFlash));
  EXPECT_EQ(Feed(phone, Write(0xFFFFFC00u, data)).replies, Refusal(kRefuseOutOfFlash));
  EXPECT_EQ(Feed(phone, Erase(0x100000, 0x100001)).replies, Refusal(kRefuseOutOfFlash));
  EXPECT_EQ(Feed(phone, Erase(0xFFFFF000u, 0x2000)).replies, Refusal(kRefuseOutOfFlash));
  // A length field that disagrees with the payload.
  Bytes p{0xDD, 0, 0, 2, 0, 0x10, 0x00, 1, 2, 3};
  EXPECT_EQ(Feed(phone, Flagged(p)).replies, Refusal(kRefuseBadFrame));
  EXPECT_EQ(phone.AcceptedWrites(), 2);
}

TEST(PhoneProtocol, JumpAfterCopyAndJumpRestartsIntoTheNewFirmware) {
  PhoneProtocol phone({}, true);
  const Bytes jump = Flagged({0xCC, 0x01, 0x14, 0x00, 0x00});
  EXPECT_EQ(Feed(phone, jump).replies, kAck);  // no COPY yet: still JUMP1
  EXPECT_EQ(Feed(phone, jump).replies, kAck);
  EXPECT_EQ(Feed(phone, Flagged({0xBB, 0x01, 0x14, 0x00, 0x00})).replies, kAck);
  EXPECT_EQ(Feed(phone, jump).replies, kAck);  // JUMP1
  EXPECT_EQ(Feed(phone, Flagged({0xDA, 0xD2, 0x07})).replies, kAck);
  EXPECT_EQ(phone.DpramPort(), 7);
  const Fed fed = Feed(phone, jump);  // JUMP2
  EXPECT_EQ(fed.action, Action::RestartAfterDownload);
  EXPECT_TRUE(fed.replies.empty());
  phone.ComeBack(State::Normal);
  EXPECT_EQ(phone.CurrentState(), State::Normal);
}

TEST(PhoneProtocol, AtCommandsOfTheModeSwitch) {
  PhoneProtocol phone({}, false);
  const std::string chk = "AT$USBCHK\r\n";
  EXPECT_EQ(Feed(phone, Bytes(chk.begin(), chk.end())).replies, (Bytes{'O', 'K', '\r', '\n'}));
  const std::string junk = "ATZ\r\n";
  EXPECT_EQ(Feed(phone, Bytes(junk.begin(), junk.end())).replies.size(), 7u);  // ERROR
  const std::string down = "AT$USBDN\r\n";
  EXPECT_EQ(Feed(phone, Bytes(down.begin(), down.end())).action, Action::SwitchToDownload);
  phone.ComeBack(State::Download);
  EXPECT_TRUE(Feed(phone, Bytes(chk.begin(), chk.end())).replies.empty());
  // Padded frames of the switch are answered once each.
  Bytes padded = Flagged({0xAA});
  padded.insert(padded.end(), {0, 0, 0});
  Bytes twice = padded;
  twice.insert(twice.end(), padded.begin(), padded.end());
  Bytes two = kAck;
  two.insert(two.end(), kAck.begin(), kAck.end());
  EXPECT_EQ(Feed(phone, twice).replies, two);
  EXPECT_EQ(phone.BadFrames(), 0);
}

TEST(PhoneProtocol, FaultOptions) {
  PhoneFaults faults;
  std::string error;
  ASSERT_TRUE(ParsePhoneFault("silent:COPY", faults, error));
  ASSERT_TRUE(ParsePhoneFault("refuse-once:1", faults, error));
  ASSERT_TRUE(ParsePhoneFault("bare-ack", faults, error));
  ASSERT_TRUE(ParsePhoneFault("garbage:1", faults, error));
  EXPECT_FALSE(ParsePhoneFault("silent:NOPE", faults, error));
  EXPECT_FALSE(ParsePhoneFault("refuse-once:x", faults, error));
  EXPECT_FALSE(ParsePhoneFault("explode", faults, error));
  EXPECT_FALSE(ParsePhoneFault("no-return:3", faults, error));

  PhoneProtocol phone(faults, true);
  EXPECT_TRUE(Feed(phone, Flagged({0xBB, 0x01, 0x14, 0x00, 0x00})).replies.empty());
  const Bytes garbage = Feed(phone, Flagged({0xAA})).replies;
  ASSERT_GE(garbage.size(), 2u);
  EXPECT_EQ(garbage[0], 0x7E);
  EXPECT_NE(garbage[1], 0x02);
  const Bytes bareAck{0x02, 0x6A, 0xD3, 0x7E};
  EXPECT_EQ(Feed(phone, Flagged({0xAA})).replies, bareAck);
  EXPECT_EQ(Feed(phone, Erase(0, 0x2000)).replies, bareAck);
  const Bytes data(1024, 0x33);
  EXPECT_EQ(Feed(phone, Write(0, data)).replies, bareAck);
  EXPECT_EQ(Feed(phone, Write(0x400, data)).replies, Refusal(kRefuseInjected));
  EXPECT_EQ(Feed(phone, Write(0x400, data)).replies, bareAck);
}

// The built k730-sim: K730_TEST_BIN_DIR, else next to this test program
// (every executable of the build lands in the same folder).
std::string SimProgram() {
  if (const char* dir = std::getenv("K730_TEST_BIN_DIR"); dir && *dir)
    return std::string(dir) + "/k730-sim";
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "k730-sim";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/')) + "/k730-sim";
}

class PhoneSimTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  test::ScopedPortDir portDir_{dir_.Path()};
};

TEST_F(PhoneSimTest, SurvivesTheHostOpeningAndClosingManyTimes) {
  PhoneSimConfig config;
  config.portDir = dir_.Path();
  config.portNumber = 3;
  PhoneSim phone(config);
  std::string error;
  ASSERT_TRUE(phone.Start(error)) << error;
  EXPECT_TRUE(phone.PortPresent());
  PhoneFrameCodec codec;
  codec.SetNoLeadingFlag(1);
  for (int i = 0; i < 40; ++i) {
    SerialPort port;
    port.Setup(1024, 1024);
    ASSERT_EQ(port.Open(PhoneSettingsString(3)), 1) << i;
    PhoneLink link(port);
    const size_t length = codec.BuildVersion(link.Frame());
    ASSERT_EQ(link.Exchange(static_cast<uint32_t>(length), kCommandAttempts, kCommandSettleMs), 2)
        << i;
    ASSERT_EQ(port.Close(), 1);
  }
  phone.Stop();
  struct stat status {};
  EXPECT_NE(lstat(phone.LinkPath().c_str(), &status), 0);  // link removed
}

TEST_F(PhoneSimTest, RestartComesBackOnAFreshTerminal) {
  PhoneSimConfig config;
  config.portDir = dir_.Path();
  config.portNumber = 4;
  config.restartDelayMs = 200;
  PhoneSim phone(config);
  std::string error;
  ASSERT_TRUE(phone.Start(error)) << error;
  char before[256] = {};
  ASSERT_GT(readlink(phone.LinkPath().c_str(), before, sizeof before - 1), 0);

  SerialPort port;
  port.Setup(1024, 1024);
  ASSERT_EQ(port.Open(PhoneSettingsString(4)), 1);
  uint8_t frame[8];
  port.Write(frame, static_cast<uint32_t>(PhoneFrameCodec::BuildRestart(frame)));
  ASSERT_TRUE(test::WaitUntil([&] { return phone.Restarts() == 1; }));
  EXPECT_EQ(port.Close(), 0);  // our side of the old terminal is dead
  char after[256] = {};
  ASSERT_GT(readlink(phone.LinkPath().c_str(), after, sizeof after - 1), 0);
  ASSERT_EQ(port.Open(PhoneSettingsString(4)), 1);
  EXPECT_EQ(phone.CurrentState(), State::Normal);
  EXPECT_EQ(phone.DownloadRestarts(), 0);
}

TEST_F(PhoneSimTest, ScaledLineCarriesNoMoreThanItsBaudRate) {
  constexpr double kScale = 0.02;
  const test::ScopedTimeScale scale(kScale);
  PhoneSimConfig config;
  config.portDir = dir_.Path();
  config.portNumber = 5;
  config.emergency = true;
  config.baud = 115200;
  PhoneSim phone(config);
  std::string error;
  ASSERT_TRUE(phone.Start(error)) << error;
  SerialPort port;
  port.Setup(4096, 4096);
  ASSERT_EQ(port.Open(PhoneSettingsString(5)), 1);
  PhoneLink link(port);
  // WRITE frames into flash that was never erased: each is refused, after
  // it has crossed the line, with a five-byte reply.
  const Bytes frame = Write(0x10000, Bytes(1024, 0x11));
  std::memcpy(link.Frame(), frame.data(), frame.size());
  size_t carried = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(link.Exchange(static_cast<uint32_t>(frame.size()), 1, 0), kRefuseNotErased) << i;
    carried += frame.size() + link.ReplyLength();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // 11,520 bytes a second at 8N1, times 1 / K730_TIME_SCALE.
  EXPECT_LE(carried / seconds, 115200 / 10 / kScale);
}

// Runs the real k730-sim program and a worker against it, as the console would.
TEST_F(PhoneSimTest, ProgramServesADownloadAndDumpsTheFlash) {
  const std::string program = SimProgram();
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << program << " is not built";
  const std::string ports = dir_.File("ports"), dumps = dir_.File("dumps");
  const std::string out = dir_.File("sim.out");
  std::vector<std::string> args{program,
                                "--handsets",
                                "2",
                                "--first-port",
                                "5",
                                "--port-dir",
                                ports,
                                "--palm-dir",
                                dir_.File("palm"),
                                "--dump",
                                dumps,
                                "--emergency",
                                "--restart-delay",
                                "100",
                                "--baud",
                                "0",
                                "--usb-rate",
                                "0",
                                "--fault",
                                "refuse-once:3@1"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  // Whatever happens below, the program is ended and reaped.
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
  } reaper{pid};

  const std::string ready = "k730-sim: ready 2 handsets\n";
  std::string said;
  ASSERT_TRUE(test::WaitUntil([&] {
    const Bytes text = test::ReadFile(out);
    said.assign(text.begin(), text.end());
    return said.find(ready) != std::string::npos;
  })) << said;

  test::ScopedPortDir portDir(ports);
  test::ScopedTimeScale scale(0.004);
  const Bytes image = test::MakePhoneImage(0x200000, 0x10000, 11);
  test::WriteFile(dir_.File("qpx_bin.tmp"), image);
  ImageBuffer buffer;
  ASSERT_EQ(buffer.OpenImage(dir_.File("qpx_bin.tmp")), 1);
  ASSERT_EQ(buffer.BuildBlockTable(), 1);
  test::RecordingSink sink;
  std::mutex lock;
  std::vector<std::unique_ptr<CPhone>> workers;
  for (int slot = 0; slot < 2; ++slot) {
    workers.push_back(std::make_unique<CPhone>(lock));
    CPhone& phone = *workers.back();
    ASSERT_EQ(phone.CreateThread(), 1);
    phone.SetLinkOption(kLinkOptionNoLeadingFlag);
    phone.SetNotifyWindow(&sink);
    phone.SetPort(5 + slot);
    phone.SetBaudRate(115200);
    phone.SetMode(mode::kPhEmergency, 1);
    phone.SetAuxOption(5000);
    phone.SetImage(&buffer);
    phone.SetRange(0x10000, 0x1F0000, 0);
    ASSERT_EQ(phone.ProbeReadiness(), 255);
    phone.PostThreadMessage(msg::StartDownload, 0, slot);
  }
  ASSERT_TRUE(
      test::WaitUntil([&] { return workers[0]->Finished() && workers[1]->Finished(); }, 240));
  int finished = 0, retries = 0;
  for (const test::Event& e : sink.Events()) {
    finished += e.id == msg::WM_PHONE_FINISH;
    retries += e.id == msg::WM_PHONE_WRITE_RETRY;
  }
  EXPECT_EQ(finished, 2) << test::Describe(sink.Events());
  EXPECT_EQ(retries, 1);  // handset 1 refused its fourth block once

  for (int n : {5, 6}) {
    const std::string dump = dumps + "/phone" + std::to_string(n) + ".bin";
    ASSERT_TRUE(test::WaitUntil([&] { return test::ReadFile(dump).size() == 0x200000; }))
        << dump << " " << test::Describe(sink.Events());
    const Bytes flash = test::ReadFile(dump);
    EXPECT_EQ(0, std::memcmp(flash.data() + 0x10000, image.data() + 0x10000, 0x1F0000)) << dump;
  }

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  reaper.pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat st {};
  EXPECT_NE(lstat((ports + "/COM5").c_str(), &st), 0);
  EXPECT_NE(lstat((ports + "/COM6").c_str(), &st), 0);
}

TEST_F(PhoneSimTest, ProgramRejectsBadOptions) {
  const std::string program = SimProgram();
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << program << " is not built";
  for (std::vector<std::string> args :
       {std::vector<std::string>{program, "--handsets", "7", "--port-dir", dir_.Path()},
        std::vector<std::string>{program, "--port-dir", dir_.Path(), "--fault", "explode"},
        std::vector<std::string>{program, "--bogus"}}) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args.back();
  }
}

}  // namespace
}  // namespace k730::sim
