// The simulator's fault kinds that the fault runs rely on, checked on the
// simulator's own classes: what each one answers, and what it leaves out.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>

#include "core/clock.h"
#include "phone/phone_frame_codec.h"
#include "sim/palm_sim.h"
#include "sim/phone_sim.h"
#include "sim_harness.h"

namespace k730::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Action = PhoneProtocol::Action;

const Bytes kAck{0x7E, 0x02, 0x6A, 0xD3, 0x7E};
const Bytes kAutotest{0x7F, 0xAA, 0xDD, 0x7E};
const Bytes kRestart{0x7F, 0xAA, 0x3F, 0x00, 0x7E};

Bytes Frame(const Bytes& payload, FrameStyle style) {
  PhoneFrameCodec codec;
  codec.SetNoLeadingFlag(1);
  Bytes out(MaxFrameLength(payload.size()));
  out.resize(
      codec.BuildFrame(out.data(), payload.data(), static_cast<uint16_t>(payload.size()), style));
  return out;
}

Bytes Replies(PhoneProtocol& phone, const Bytes& bytes, Action* action = nullptr) {
  Bytes replies;
  const Action a = phone.Feed(bytes.data(), bytes.size(), replies);
  if (action) *action = a;
  return replies;
}

// A scratch directory removed with its contents.
class Scratch {
 public:
  Scratch() : path_((std::filesystem::temp_directory_path() / "k730-faultkinds-XXXXXX").string()) {
    if (!mkdtemp(path_.data())) path_.clear();
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

TEST(SimFaultKinds, NamesAndArguments) {
  PhoneFaults phone;
  std::string error;
  EXPECT_TRUE(ParsePhoneFault("truncated", phone, error));
  EXPECT_EQ(phone.truncatedReplies, -1);
  EXPECT_TRUE(ParsePhoneFault("truncated:4", phone, error));
  EXPECT_EQ(phone.truncatedReplies, 4);
  EXPECT_TRUE(ParsePhoneFault("mute", phone, error));
  EXPECT_TRUE(phone.mute);
  for (const char* bad : {"truncated:x", "truncated:", "mute:1", "muted"}) {
    PhoneFaults ignored;
    EXPECT_FALSE(ParsePhoneFault(bad, ignored, error)) << bad;
    EXPECT_FALSE(error.empty());
  }

  PalmFaults palm;
  EXPECT_TRUE(IsPalmFault("palm-leave:100"));
  EXPECT_TRUE(ParsePalmFault("palm-unplug-flash", palm, error));
  EXPECT_TRUE(palm.unplugInFlash);
  EXPECT_TRUE(ParsePalmFault("palm-leave:16000", palm, error));
  EXPECT_EQ(palm.leaveAfterMs, 16000u);
  for (const char* bad : {"palm-unplug-flash:1", "palm-leave", "palm-leave:0", "palm-leave:-5"}) {
    PalmFaults ignored;
    EXPECT_FALSE(ParsePalmFault(bad, ignored, error)) << bad;
  }
}

TEST(SimFaultKinds, TruncatedRepliesStopAfterTheFlagAndLeaveTheCommandUndone) {
  PhoneFaults faults;
  faults.truncatedReplies = 2;
  PhoneProtocol phone(faults, false);
  const Bytes dload = Frame({0x3A}, Command);
  // Cut short twice: only the flag comes, and the phone stays where it was.
  EXPECT_EQ(Replies(phone, dload), Bytes{0x7E});
  EXPECT_EQ(Replies(phone, dload), Bytes{0x7E});
  EXPECT_EQ(phone.CurrentState(), PhoneProtocol::State::Normal);
  // Then whole replies again, and the command takes effect.
  EXPECT_EQ(Replies(phone, dload), kAck);
  EXPECT_EQ(phone.CurrentState(), PhoneProtocol::State::Download);
  // Raw probes are never cut: they are echoed whole.
  PhoneFaults allCut;
  allCut.truncatedReplies = -1;
  PhoneProtocol always(allCut, false);
  EXPECT_EQ(Replies(always, kAutotest), kAutotest);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Replies(always, Frame({0x00}, Command)), Bytes{0x7E});
}

TEST(SimFaultKinds, AMuteHandsetAnswersNothingAndNeverRestarts) {
  PhoneFaults mute;
  mute.mute = true;
  PhoneProtocol phone(mute, false);
  Action action = Action::Unplug;
  EXPECT_TRUE(Replies(phone, kAutotest).empty());
  EXPECT_TRUE(Replies(phone, Frame({0x00}, Command)).empty());
  EXPECT_TRUE(
      Replies(phone, {'A', 'T', '$', 'U', 'S', 'B', 'D', 'N', '\r', '\n'}, &action).empty());
  EXPECT_EQ(action, Action::None);
  EXPECT_TRUE(Replies(phone, kRestart, &action).empty());
  EXPECT_EQ(action, Action::None);
  EXPECT_EQ(phone.BadFrames(), 0);
}

TEST(SimFaultKinds, ThePalmHalfLeavesWithEveryDropOfThePhone) {
  Scratch dir;
  ASSERT_FALSE(dir.Path().empty());
  PhoneSimConfig config;
  config.portDir = dir.Path();
  config.portNumber = 5;
  config.restartDelayMs = 10;
  PhoneSim phone(config);
  std::atomic<int> drops{0};
  phone.SetOnDrop([&] { ++drops; });
  std::string error;
  ASSERT_TRUE(phone.Start(error)) << error;

  const int fd = open(phone.LinkPath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(fd, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &raw), 0);
  ASSERT_EQ(write(fd, kRestart.data(), kRestart.size()), static_cast<ssize_t>(kRestart.size()));
  EXPECT_TRUE(e2e::WaitFor([&] { return drops.load() == 1 && phone.Restarts() == 1; },
                           std::chrono::seconds(20)));
  close(fd);
  phone.Stop();
  EXPECT_EQ(drops.load(), 1);
}

class PalmLeave : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    // The device's deadline runs in protocol time; this scale makes 2,000 ms
    // a fifth of a second, long enough to connect first.
    SetProcessTimeScale(0.1);
    options_.directory = dir_.Path();
    options_.number = 7;
    options_.faults.leaveAfterMs = 2000;
  }
  void TearDown() override { SetProcessTimeScale(TimeScaleFromEnvironment()); }

  Scratch dir_;
  PalmSimOptions options_;
};

TEST_F(PalmLeave, ADeviceNobodyOpensGoesAway) {
  PalmDeviceSim device(options_);
  ASSERT_TRUE(device.Plug());
  EXPECT_TRUE(device.WaitUnplugged(20000));
  EXPECT_FALSE(e2e::FileExists(device.SocketPath()));
  EXPECT_EQ(device.Stats().connections, 0u);
}

TEST_F(PalmLeave, ADeviceOpenedInTimeStays) {
  PalmDeviceSim device(options_);
  ASSERT_TRUE(device.Plug());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = device.SocketPath();
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(
      e2e::WaitFor([&] { return device.Stats().connections == 1; }, std::chrono::seconds(20)));
  // Well past the deadline the device is still there.
  EXPECT_FALSE(device.WaitUnplugged(600));
  EXPECT_TRUE(e2e::FileExists(path));
  close(fd);
  device.Unplug();
}

}  // namespace
}  // namespace k730::sim
