// Replay in process: recordings played through the replayed serial port, Palm
// transport and device watcher; divergences, truncated recordings and what a
// session refuses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pda/palm_usb_port.h"
#include "phone/mode_switch.h"
#include "phone/phone_frame_codec.h"
#include "phone/phone_link.h"
#include "phone_test_support.h"
#include "replay/recording_links.h"
#include "replay/replay_links.h"
#include "replay/replay_session.h"
#include "replay_test_support.h"

namespace k730::rec {
namespace {

using namespace k730::rec::test;
using ByteVector = std::vector<uint8_t>;

const std::string kCom3 = "\\\\.\\COM3:115200,N,8,0";
const std::string kPalm3 = "\\\\?\\k730#palm-simulated-device#socket3#palm3.sock";

// A session over dir whose reports are kept, not printed.
std::shared_ptr<ReplaySession> OpenSession(const std::string& dir) {
  std::string error;
  std::shared_ptr<ReplaySession> session = ReplaySession::Open(dir, error);
  EXPECT_TRUE(session) << error;
  if (session) session->SetReportSink([](const std::string&) {});
  return session;
}

std::string AllReports(const ReplaySession& session) {
  std::string text;
  for (const std::string& line : session.Reports()) text += line + "\n";
  return text;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One handset's modem port: a command, its reply in two reads, a poll that
// found nothing, a wait that timed out, a second command, the close.
std::vector<Record> SerialScript() {
  return {
      OpenRec(10, 1, true, "\\\\.\\COM3"),
      SendRec(11, 1, Bytes({0x7E, 0x00, 0x78, 0xF0, 0x7E})),
      RecvRec(12, 0, Bytes({0x7E, 0x02, 0x6A, 0xD3, 0x7E})),
      RecvRec(13, 0, {}),
      SendRec(20, 1, Bytes({0x7E, 0x3A, 0x11, 0x7E})),
      WaitRec(21),
      SendRec(30, 1, Bytes({0x7E, 0x3A, 0x11, 0x7E})),
      RecvRec(31, 0, Bytes({0x7E, 0x03, 0x7E})),
      CloseRec(40, 1, false),
  };
}

class ReplaySerial : public ::testing::Test {
 protected:
  void Write(const std::vector<Record>& records, const std::string& name = "serial-COM3-1") {
    WriteRecording(dir_.File(name + ".k730rec"), Header(LinkKind::Serial, 3, "COM3"), records);
    if (!std::filesystem::exists(dir_.File("console-1.k730rec")))
      WriteRecording(dir_.File("console-1.k730rec"), Header(LinkKind::Console, 0, "console"),
                     {ScanRec(10, 1, 3, {3})});
  }
  TempDir dir_;
};

TEST_F(ReplaySerial, PlaysTheRecordedAnswersTimeOutsAndClose) {
  Write(SerialScript());
  auto session = OpenSession(dir_.Path());
  ASSERT_TRUE(session);
  ReplaySerialPort port(session);
  port.Setup(2048, 2048);
  EXPECT_FALSE(port.IsOpen());
  ASSERT_EQ(port.Open(kCom3), 1);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.Settings().portName, "\\\\.\\COM3");
  EXPECT_EQ(port.Settings().baudRate, 115200u);

  const ByteVector first = {0x7E, 0x00, 0x78, 0xF0, 0x7E};
  EXPECT_EQ(port.Write(first.data(), 5), 1);
  EXPECT_TRUE(port.WaitRxChar(SerialPort::kReadTimeoutMs));
  EXPECT_EQ(port.BytesWaiting(), 5u);
  uint8_t buffer[64] = {};
  // A smaller read takes part of the reply; the next read the rest.
  EXPECT_EQ(port.Read(buffer, 0, 2), 2u);
  EXPECT_EQ(port.BytesWaiting(), 3u);
  EXPECT_EQ(port.Read(buffer + 2, 0, sizeof buffer - 2), 3u);
  EXPECT_EQ(ByteVector(buffer, buffer + 5), ByteVector({0x7E, 0x02, 0x6A, 0xD3, 0x7E}));
  EXPECT_EQ(port.Read(buffer, 0, sizeof buffer), 0u);  // the recorded empty poll

  const ByteVector dload = {0x7E, 0x3A, 0x11, 0x7E};
  EXPECT_EQ(port.Write(dload.data(), 4), 1);
  EXPECT_FALSE(port.WaitRxChar(SerialPort::kReadTimeoutMs));  // the recorded time-out
  EXPECT_EQ(port.Write(dload.data(), 4), 1);
  // Extra polls the recorded run did not make find nothing, and cost nothing.
  EXPECT_EQ(port.Read(buffer, 5, sizeof buffer), 3u);
  EXPECT_EQ(port.Read(buffer, 0, sizeof buffer), 0u);
  EXPECT_FALSE(port.WaitRxChar(SerialPort::kReadTimeoutMs));
  EXPECT_EQ(port.Close(), 1);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Close(), 0);  // already closed

  EXPECT_TRUE(session->Finish()) << AllReports(*session);
  EXPECT_TRUE(session->Reports().empty()) << AllReports(*session);
}

TEST_F(ReplaySerial, PollsTheHostSkipsDoNotCountAsDivergence) {
  Write(SerialScript());
  auto session = OpenSession(dir_.Path());
  ReplaySerialPort port(session);
  ASSERT_EQ(port.Open(kCom3), 1);
  const ByteVector first = {0x7E, 0x00, 0x78, 0xF0, 0x7E};
  const ByteVector dload = {0x7E, 0x3A, 0x11, 0x7E};
  uint8_t buffer[64];
  EXPECT_EQ(port.Write(first.data(), 5), 1);
  EXPECT_EQ(port.Read(buffer, 0, sizeof buffer), 5u);
  // Neither the empty poll nor the wait is repeated.
  EXPECT_EQ(port.Write(dload.data(), 4), 1);
  EXPECT_EQ(port.Write(dload.data(), 4), 1);
  EXPECT_EQ(port.Read(buffer, 0, sizeof buffer), 3u);
  EXPECT_EQ(port.Close(), 1);
  EXPECT_TRUE(session->Finish()) << AllReports(*session);
}

TEST_F(ReplaySerial, TheFirstDifferingByteIsReportedWithItsOffsetAndTheLinkEnds) {
  Write(SerialScript());
  auto session = OpenSession(dir_.Path());
  ReplaySerialPort port(session);
  ASSERT_EQ(port.Open(kCom3), 1);
  const ByteVector first = {0x7E, 0x00, 0x78, 0xF0, 0x7E};
  uint8_t buffer[64];
  EXPECT_EQ(port.Write(first.data(), 5), 1);
  EXPECT_EQ(port.Read(buffer, 0, sizeof buffer), 5u);
  const ByteVector wrong = {0x7E, 0x3A, 0x12, 0x7E};
  EXPECT_EQ(port.Write(wrong.data(), 4), 0);
  EXPECT_TRUE(session->Diverged());
  const std::string reports = AllReports(*session);
  EXPECT_TRUE(Contains(reports,
                       "serial-COM3-1.k730rec: record 5 (SEND at 20 ms): "
                       "host-to-device byte 7 (byte 2 of this 4-byte send): "
                       "expected 0x11, got 0x12"))
      << reports;
  // The link acts as a handset that has gone; nothing more is reported.
  EXPECT_EQ(port.Write(first.data(), 5), 0);
  EXPECT_EQ(port.Read(buffer, 0, sizeof buffer), 0u);
  EXPECT_FALSE(port.WaitRxChar(SerialPort::kReadTimeoutMs));
  EXPECT_EQ(port.Close(), 1);
  EXPECT_EQ(port.Open(kCom3), 0);
  EXPECT_FALSE(session->Finish());
  EXPECT_EQ(session->Reports().size(), 1u) << AllReports(*session);
}

TEST_F(ReplaySerial, OtherDivergencesNameWhatTheRecordingHas) {
  struct Case {
    const char* what;
    std::function<void(ReplaySerialPort&)> host;
    const char* report;
  };
  const ByteVector first = {0x7E, 0x00, 0x78, 0xF0, 0x7E};
  const std::vector<Case> cases = {
      {"longer send",
       [&](ReplaySerialPort& port) {
         const ByteVector longer = {0x7E, 0x00, 0x78, 0xF0, 0x7E, 0x00};
         EXPECT_EQ(port.Write(longer.data(), 6), 0);
       },
       "the host sent 6 bytes where the recording has 5 (host-to-device byte 5)"},
      {"close instead of send", [&](ReplaySerialPort& port) { EXPECT_EQ(port.Close(), 1); },
       "record 2 (SEND at 11 ms): the host closed the port where the recording has SEND (5 "
       "bytes)"},
      {"send with unread reply",
       [&](ReplaySerialPort& port) {
         EXPECT_EQ(port.Write(first.data(), 5), 1);
         EXPECT_EQ(port.Write(first.data(), 5), 0);
       },
       "the host sent 5 bytes where the recording has RECEIVE (5 bytes)"},
      {"open again", [&](ReplaySerialPort& port) { EXPECT_EQ(port.Open(kCom3), 0); },
       "the host opened the port where the recording has SEND"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteRecording(dir.File("serial-COM3-1.k730rec"), Header(LinkKind::Serial, 3, "COM3"),
                   SerialScript());
    auto session = OpenSession(dir.Path());
    ReplaySerialPort port(session);
    ASSERT_EQ(port.Open(kCom3), 1);
    c.host(port);
    EXPECT_TRUE(session->Diverged());
    EXPECT_TRUE(Contains(AllReports(*session), c.report)) << AllReports(*session);
  }
}

TEST_F(ReplaySerial, ATruncatedRecordingPlaysToItsCutAndThenTheHandsetIsGone) {
  Write(SerialScript());
  const std::string whole = ReadAll(dir_.File("serial-COM3-1.k730rec"));
  // Cut inside the third SEND record: the last three records take 71 bytes.
  WriteAll(dir_.File("serial-COM3-1.k730rec"), whole.substr(0, whole.size() - 61));
  auto session = OpenSession(dir_.Path());
  ASSERT_TRUE(session);
  EXPECT_FALSE(session->Diverged());
  EXPECT_TRUE(Contains(AllReports(*session), "ends in the middle of a record"))
      << AllReports(*session);
  ReplaySerialPort port(session);
  ASSERT_EQ(port.Open(kCom3), 1);
  const ByteVector first = {0x7E, 0x00, 0x78, 0xF0, 0x7E};
  const ByteVector dload = {0x7E, 0x3A, 0x11, 0x7E};
  uint8_t buffer[64];
  EXPECT_EQ(port.Write(first.data(), 5), 1);
  EXPECT_EQ(port.Read(buffer, 0, sizeof buffer), 5u);
  EXPECT_EQ(port.Write(dload.data(), 4), 1);
  EXPECT_FALSE(port.WaitRxChar(SerialPort::kReadTimeoutMs));
  EXPECT_EQ(port.Write(dload.data(), 4), 0);  // the cut
  EXPECT_EQ(port.Read(buffer, 0, sizeof buffer), 0u);
  EXPECT_EQ(port.Close(), 1);
  EXPECT_FALSE(session->Finish());
  EXPECT_TRUE(Contains(AllReports(*session), "the recording ends early (truncated"))
      << AllReports(*session);
}

TEST_F(ReplaySerial, ARunThatStopsEarlyOrNeverOpensALinkIsReported) {
  Write(SerialScript());
  WriteRecording(dir_.File("serial-COM4-1.k730rec"), Header(LinkKind::Serial, 4, "COM4"),
                 {OpenRec(10, 0, false, "\\\\.\\COM4")});
  auto session = OpenSession(dir_.Path());
  ReplaySerialPort port(session);
  ASSERT_EQ(port.Open(kCom3), 1);
  EXPECT_FALSE(session->Finish());
  const std::string reports = AllReports(*session);
  EXPECT_TRUE(Contains(reports,
                       "serial-COM3-1.k730rec: the run ended at record 2 (SEND at 11 "
                       "ms); the recording goes on"))
      << reports;
  EXPECT_TRUE(Contains(reports, "serial-COM4-1.k730rec (COM4): not played")) << reports;
}

TEST_F(ReplaySerial, PortsTakeTheRecordingsOfTheirNumberInRecordedOrder) {
  // Named against their order: the start tick decides.
  WriteRecording(dir_.File("serial-COM3-1.k730rec"), Header(LinkKind::Serial, 3, "COM3", 1000, 50),
                 {OpenRec(50, 0, false, "\\\\.\\COM3")});
  WriteRecording(dir_.File("serial-COM3-2.k730rec"), Header(LinkKind::Serial, 3, "COM3", 1000, 20),
                 {OpenRec(20, 1, true, "\\\\.\\COM3")});
  auto session = OpenSession(dir_.Path());
  ReplaySerialPort first(session), second(session), third(session);
  EXPECT_EQ(first.Open(kCom3), 1);
  EXPECT_EQ(second.Open(kCom3), 0);
  EXPECT_FALSE(session->Diverged());
  EXPECT_EQ(third.Open(kCom3), 0);
  EXPECT_TRUE(Contains(AllReports(*session), "no recording left for COM3")) << AllReports(*session);
  ReplaySerialPort other(session);
  EXPECT_EQ(other.Open("\\\\.\\COM9:115200,N,8,0"), 0);
  EXPECT_TRUE(Contains(AllReports(*session), "no recording left for COM9"));
}

// Recorded with the real port against a scripted handset on a
// pseudo-terminal, then replayed with nothing on the other side.
TEST(RecordAndReplay, ASerialExchangeReplaysToTheSameRepliesAndCodes) {
  k730::test::TempDir ports;
  k730::test::ScopedPortDir portDir(ports.Path());
  TempDir recordings;
  const ByteVector ack = {0x7E, 0x02, 0x6A, 0xD3, 0x7E};
  const ByteVector refusal = {0x7E, 0x06, 0x4E, 0x95, 0x7E};
  PhoneFrameCodec codec;
  struct Outcome {
    uint8_t code;
    ByteVector reply;
  };
  auto exchanges = [&](SerialPort& port) {
    std::vector<Outcome> outcomes;
    PhoneLink link(port);
    port.Setup(2048, 2048);
    EXPECT_EQ(port.Open(kCom3), 1);
    for (int i = 0; i < 3; ++i) {
      const size_t length =
          i == 0 ? codec.BuildVersion(link.Frame()) : codec.BuildDload(link.Frame());
      const uint8_t code = link.Exchange(static_cast<uint32_t>(length), 1, kCommandSettleMs);
      outcomes.push_back({code, ByteVector(link.Reply(), link.Reply() + link.ReplyLength())});
    }
    EXPECT_EQ(port.Close(), 1);
    return outcomes;
  };

  std::vector<Outcome> recorded;
  {
    k730::test::ScriptedPeer peer(ports.Path(), 3);
    peer.Script({ack, refusal, {}});
    peer.Serve();
    RecordingSession session(recordings.Path());
    RecordingSerialPort port(session);
    recorded = exchanges(port);
    EXPECT_EQ(port.RecordingPath(), recordings.File("serial-COM3-1.k730rec"));
  }
  ASSERT_EQ(recorded.size(), 3u);
  EXPECT_EQ(recorded[0].code, kExchangeAccepted);
  EXPECT_EQ(recorded[1].code, 0x06);
  EXPECT_EQ(recorded[2].code, 0);

  // No handset now: the port directory is empty.
  std::filesystem::remove(ports.File("COM3"));
  auto session = OpenSession(recordings.Path());
  ASSERT_TRUE(session);
  ReplaySerialPort port(session);
  const std::vector<Outcome> replayed = exchanges(port);
  ASSERT_EQ(replayed.size(), recorded.size());
  for (size_t i = 0; i < recorded.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(replayed[i].code, recorded[i].code);
    EXPECT_EQ(replayed[i].reply, recorded[i].reply);
  }
  EXPECT_TRUE(session->Finish()) << AllReports(*session);
}

TEST(RecordAndReplay, TheModeSwitchIsRecordedApartAndAReplayPassesOverIt) {
  k730::test::TempDir ports;
  k730::test::ScopedPortDir portDir(ports.Path());
  TempDir recordings;
  const ByteVector ack = {0x7E, 0x02, 0x6A, 0xD3, 0x7E};
  PhoneFrameCodec codec;
  auto versionExchange = [&](SerialPort& port) {
    PhoneLink link(port);
    EXPECT_EQ(port.Open(kCom3), 1);
    const uint8_t code =
        link.Exchange(static_cast<uint32_t>(codec.BuildVersion(link.Frame())), 1, kCommandSettleMs);
    EXPECT_EQ(port.Close(), 1);
    return code;
  };

  size_t start2Length = 0;
  {
    // The switch, then a worker, on the same port in one process.
    k730::test::ScriptedPeer peer(ports.Path(), 3);
    peer.Script({{'O', 'K', '\r', '\n'}, ack});
    peer.Serve();
    RecordingSession session(recordings.Path());
    ModeSwitch modeSwitch(std::make_unique<RecordingSerialPort>(session, LinkKind::ModeSwitch));
    ASSERT_EQ(modeSwitch.Port().Open(kCom3), 1);
    start2Length = modeSwitch.Codec().BuildStart2(modeSwitch.Link().Frame());
    EXPECT_EQ(modeSwitch.SwitchExchange(static_cast<uint32_t>(start2Length), 1, 500, 10), 2);
    EXPECT_EQ(modeSwitch.Port().Close(), 1);
    RecordingSerialPort worker(session);
    EXPECT_EQ(versionExchange(worker), kExchangeAccepted);
  }

  // The switch's file holds its padded frame as sent.
  RecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(recordings.File("switch-COM3-1.k730rec"), error)) << error;
  EXPECT_EQ(reader.Header().kind, LinkKind::ModeSwitch);
  Record record;
  size_t sent = 0;
  while (reader.Next(record) == RecordingReader::Status::Record)
    if (record.type == RecordType::Send) sent += record.payload.size() - 4;
  EXPECT_EQ(sent, (start2Length / 4 + 1) * 4);

  // No handset now: the worker's recording plays, the switch's is passed over.
  std::filesystem::remove(ports.File("COM3"));
  auto session = OpenSession(recordings.Path());
  ASSERT_TRUE(session);
  ReplaySerialPort port(session);
  EXPECT_EQ(versionExchange(port), kExchangeAccepted);
  EXPECT_TRUE(session->Finish()) << AllReports(*session);
  EXPECT_TRUE(Contains(AllReports(*session), "not played: switch-COM3-1.k730rec"))
      << AllReports(*session);
}

// ---------------------------------------------------------------------------
// Palm

std::vector<Record> PalmScript() {
  return {
      OpenRec(10, 4, true, kPalm3),
      TimeoutsRec(10, 0, 0),
      SendRec(11, 12, ByteVector(12, 0xF0)),
      RecvRec(12, 30, ByteVector(30, 0x33)),
      SendRec(13, 6, ByteVector(12, 0xF1)),   // the device took half
      RecvRec(40, 30, ByteVector(10, 0x44)),  // and timed out after 10 bytes
      CloseRec(41, 1, false),
  };
}

class ReplayPalm : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteRecording(dir_.File("palm-3-1.k730rec"), Header(LinkKind::Palm, 3, kPalm3), PalmScript());
    session_ = OpenSession(dir_.Path());
    ASSERT_TRUE(session_);
    transport_ = std::make_unique<ReplayPalmTransport>(session_);
    port_.SetTransport(transport_.get());
  }
  TempDir dir_;
  std::shared_ptr<ReplaySession> session_;
  std::unique_ptr<ReplayPalmTransport> transport_;
  PalmUsbPort port_;
};

TEST_F(ReplayPalm, PlaysSendsReceivesShortReadsAndClose) {
  ASSERT_EQ(port_.Open(kPalm3, kPalmCreatorId), 1);
  const ByteVector packet(12, 0xF0);
  EXPECT_EQ(port_.Send(packet.data(), 12), 12u);
  uint8_t buffer[30] = {};
  EXPECT_EQ(port_.Receive(buffer, 30), 30u);
  EXPECT_EQ(buffer[29], 0x33);
  const ByteVector half(12, 0xF1);
  EXPECT_EQ(port_.Send(half.data(), 12), 6u);
  EXPECT_EQ(port_.Receive(buffer, 30), 10u);
  EXPECT_EQ(buffer[9], 0x44);
  EXPECT_EQ(port_.Close(), 1);
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_TRUE(session_->Finish()) << AllReports(*session_);
}

TEST_F(ReplayPalm, DivergencesEndTheLink) {
  ASSERT_EQ(port_.Open(kPalm3, kPalmCreatorId), 1);
  uint8_t buffer[30];
  // The host waits for an answer before sending what the recording sent.
  EXPECT_EQ(port_.Receive(buffer, 30), 0u);
  EXPECT_TRUE(Contains(AllReports(*session_),
                       "palm-3-1.k730rec: record 3 (SEND at 11 ms): the host waited for 30 "
                       "bytes where the recording has SEND (12 bytes)"))
      << AllReports(*session_);
  const ByteVector packet(12, 0xF0);
  EXPECT_EQ(port_.Send(packet.data(), 12), 0u);
  EXPECT_EQ(port_.Close(), 1);
  EXPECT_FALSE(session_->Finish());
}

TEST_F(ReplayPalm, ADifferentDeviceOrReadSizeIsADivergence) {
  const std::string other = "\\\\?\\k730#palm-simulated-device#socket3#palm3.sockX";
  EXPECT_EQ(port_.Open(other, kPalmCreatorId), 0);
  EXPECT_TRUE(Contains(AllReports(*session_), "where the recording opened"))
      << AllReports(*session_);

  TempDir dir;
  WriteRecording(dir.File("palm-3-1.k730rec"), Header(LinkKind::Palm, 3, kPalm3), PalmScript());
  auto session = OpenSession(dir.Path());
  ReplayPalmTransport transport(session);
  PalmUsbPort port(&transport);
  ASSERT_EQ(port.Open(kPalm3, kPalmCreatorId), 1);
  const ByteVector packet(12, 0xF0);
  EXPECT_EQ(port.Send(packet.data(), 12), 12u);
  uint8_t buffer[32];
  EXPECT_EQ(port.Receive(buffer, 32), 0u);
  EXPECT_TRUE(Contains(AllReports(*session),
                       "the host asked for 32 bytes where the recording "
                       "asked for 30"))
      << AllReports(*session);
}

// A Palm link with a scripted device, for recording.
class ScriptedPalmTransport : public PalmUsbTransport {
 public:
  int OpenPort(const std::string& name, uint32_t) override { return name == kPalm3 ? 7 : -1; }
  void SetTimeouts(int, const uint32_t*) override {}
  void SendBytes(int handle, const uint8_t*, uint32_t length, uint32_t* sent) override {
    *sent = handle == 7 ? std::min<uint32_t>(length, 8) : 0;
  }
  void ReceiveBytes(int handle, uint8_t* buffer, uint32_t length, uint32_t* received) override {
    const uint32_t n = handle == 7 ? std::min<uint32_t>(length, 5 + counter_++) : 0;
    for (uint32_t i = 0; i < n; ++i) buffer[i] = static_cast<uint8_t>(i * 3 + counter_);
    *received = n;
  }
  int ClosePort(int handle) override { return handle == 7 ? 1 : 0; }

 private:
  uint32_t counter_ = 0;
};

TEST(RecordAndReplay, APalmLinkReplaysToTheSameResults) {
  TempDir recordings;
  auto run = [](PalmUsbTransport& transport) {
    std::vector<ByteVector> seen;
    PalmUsbPort port(&transport);
    EXPECT_EQ(port.Open("\\\\?\\nothing-here", kPalmCreatorId), 0);
    EXPECT_EQ(port.Open(kPalm3, kPalmCreatorId), 1);
    const ByteVector packet = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    for (int i = 0; i < 4; ++i) {
      seen.push_back({static_cast<uint8_t>(port.Send(packet.data(), 10))});
      uint8_t buffer[30] = {};
      const uint32_t n = port.Receive(buffer, 7);
      seen.emplace_back(buffer, buffer + n);
    }
    EXPECT_EQ(port.Close(), 1);
    return seen;
  };
  std::vector<ByteVector> recorded;
  {
    RecordingSession session(recordings.Path());
    RecordingPalmTransport transport(session, std::make_unique<ScriptedPalmTransport>());
    recorded = run(transport);
  }
  EXPECT_TRUE(std::filesystem::exists(recordings.File("palm-0-1.k730rec")));  // the failed open
  auto session = OpenSession(recordings.Path());
  ASSERT_TRUE(session);
  ReplayPalmTransport transport(session);
  EXPECT_EQ(run(transport), recorded);
  EXPECT_TRUE(session->Finish()) << AllReports(*session);
}

// ---------------------------------------------------------------------------
// Session, scans and device events

TEST(ReplaySessionOpen, RefusesDirectoriesItCannotPlay) {
  std::string error;
  TempDir empty;
  EXPECT_FALSE(ReplaySession::Open(empty.Path(), error));
  EXPECT_TRUE(Contains(error, "no recordings")) << error;
  EXPECT_FALSE(ReplaySession::Open(empty.File("missing"), error));
  EXPECT_FALSE(error.empty());

  TempDir damaged;
  WriteRecording(damaged.File("serial-COM3-1.k730rec"), Header(LinkKind::Serial, 3, "COM3"),
                 SerialScript());
  std::string bytes = ReadAll(damaged.File("serial-COM3-1.k730rec"));
  bytes[52 + 16 + 16] = 0x55;  // the second record's type
  WriteAll(damaged.File("serial-COM3-1.k730rec"), bytes);
  EXPECT_FALSE(ReplaySession::Open(damaged.Path(), error));
  EXPECT_TRUE(Contains(error, "serial-COM3-1.k730rec: record 2")) << error;

  TempDir newer;
  WriteRecording(newer.File("palm-3-1.k730rec"), Header(LinkKind::Palm, 3, kPalm3), {});
  bytes = ReadAll(newer.File("palm-3-1.k730rec"));
  bytes[8] = 2;
  WriteAll(newer.File("palm-3-1.k730rec"), bytes);
  EXPECT_FALSE(ReplaySession::Open(newer.Path(), error));
  EXPECT_TRUE(Contains(error, "newer version")) << error;

  TempDir foreign;
  WriteAll(foreign.File("notes.k730rec"), "what I saw on the bench");
  EXPECT_FALSE(ReplaySession::Open(foreign.Path(), error));
  EXPECT_TRUE(Contains(error, "not a k730 recording")) << error;

  // Other files in the directory are no concern of the replay.
  TempDir mixed;
  WriteAll(mixed.File("README.txt"), "bench 4, Tuesday");
  WriteRecording(mixed.File("serial-COM3-1.k730rec"), Header(LinkKind::Serial, 3, "COM3"), {});
  EXPECT_TRUE(ReplaySession::Open(mixed.Path(), error)) << error;
}

TEST(ReplaySessionOpen, PlaysTheEarliestSessionAndNamesTheOthers) {
  TempDir dir;
  WriteRecording(dir.File("serial-COM3-1.k730rec"), Header(LinkKind::Serial, 3, "COM3", 500, 10),
                 {OpenRec(10, 1, true, "\\\\.\\COM3")});
  WriteRecording(dir.File("serial-COM3-2.k730rec"), Header(LinkKind::Serial, 3, "COM3", 900, 5),
                 {OpenRec(10, 0, false, "\\\\.\\COM3")});
  std::vector<std::string> lines;
  std::string error;
  auto session = ReplaySession::Open(dir.Path(), error);
  ASSERT_TRUE(session) << error;
  EXPECT_TRUE(Contains(AllReports(*session), "not part of the session played") &&
              Contains(AllReports(*session), "serial-COM3-2.k730rec"))
      << AllReports(*session);
  session->SetReportSink([](const std::string&) {});
  ReplaySerialPort port(session);
  EXPECT_EQ(port.Open(kCom3), 1);  // the earlier session's
  EXPECT_FALSE(session->Diverged());
}

TEST(ReplaySessionScans, GivesTheRecordedScansInOrderThenTheLastAgain) {
  TempDir dir;
  WriteRecording(dir.File("console-1.k730rec"), Header(LinkKind::Console, 0, "console"),
                 {ScanRec(10, 0, 0, {}), ScanRec(20, 2, 4, {3, 4})});
  auto session = OpenSession(dir.Path());
  ASSERT_TRUE(session);
  auto first = session->NextScan();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->slotCount, 0);
  for (int i = 0; i < 2; ++i) {
    auto scan = session->NextScan();
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->slotCount, 2);
    EXPECT_EQ(scan->lastNumber, 4);
    EXPECT_EQ(scan->ports, (std::vector<int>{3, 4}));
  }
}

TEST(ReplaySessionScans, WithoutTheConsoleFileThePortsAreThoseOfTheSerialRecordings) {
  TempDir dir;
  int sequence = 0;
  for (int port : {12, 4, 7, 4})
    WriteRecording(dir.File("serial-COM" + std::to_string(port) + "-" + std::to_string(++sequence) +
                            ".k730rec"),
                   Header(LinkKind::Serial, static_cast<uint32_t>(port), "COM"), {});
  WriteRecording(dir.File("palm-9-1.k730rec"), Header(LinkKind::Palm, 9, kPalm3), {});
  auto session = OpenSession(dir.Path());
  ASSERT_TRUE(session);
  const auto scan = session->NextScan();
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->ports, (std::vector<int>{4, 7, 12}));
  EXPECT_EQ(scan->slotCount, 3);
  EXPECT_EQ(scan->lastNumber, 12);
  EXPECT_TRUE(session->DeviceEvents().empty());
  EXPECT_TRUE(Contains(AllReports(*session), "no console recording"));
  EXPECT_FALSE(session->Diverged());
}

TEST(ReplayWatcher, DeliversEachEventOnceTheLinksBeforeItHavePlayed) {
  TempDir dir;
  const std::string palm4 = "\\\\?\\k730#palm-simulated-device#socket4#palm4.sock";
  WriteRecording(
      dir.File("console-1.k730rec"), Header(LinkKind::Console, 0, "console", 1000, 4),
      {ScanRec(4, 2, 4, {3, 4}), WatchRec(5), DeviceRec(6, 0x8000, palm4),
       ScanRec(100, 2, 4, {3, 4}), DeviceRec(150, 0x8000, kPalm3), DeviceRec(160, 0x8004, kPalm3)});
  // The handset's phone port: its device arrives after the first command.
  WriteRecording(dir.File("serial-COM3-1.k730rec"), Header(LinkKind::Serial, 3, "COM3", 1000, 10),
                 {OpenRec(10, 1, true, "\\\\.\\COM3"), SendRec(120, 1, Bytes({0x7E})),
                  SendRec(200, 1, Bytes({0x7F})), CloseRec(210, 1, false)});
  WriteRecording(dir.File("palm-4-1.k730rec"), Header(LinkKind::Palm, 4, palm4, 1000, 300),
                 {OpenRec(300, -1, false, palm4)});
  auto session = OpenSession(dir.Path());
  ASSERT_TRUE(session);

  std::mutex mutex;
  std::vector<std::pair<uint32_t, std::string>> seen;
  ReplayPalmWatcher watcher(session);
  ASSERT_TRUE(watcher.Start(
      [&](uint32_t event, const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.emplace_back(event, name);
      },
      true));
  auto count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size();
  };
  // A device present before the run (the operator's Go, the second scan) is
  // reported before the watcher's start returns.
  EXPECT_EQ(count(), 1u);
  ReplaySerialPort port(session);
  ASSERT_EQ(port.Open(kCom3), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(count(), 1u);  // still waiting for the first command
  const uint8_t flag = 0x7E;
  EXPECT_EQ(port.Write(&flag, 1), 1);
  ASSERT_TRUE(k730::test::WaitUntil([&] { return count() == 3; }, 30));
  watcher.Stop();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(seen[0], std::make_pair(uint32_t{0x8000}, palm4));
  EXPECT_EQ(seen[1], std::make_pair(uint32_t{0x8000}, kPalm3));
  EXPECT_EQ(seen[2], std::make_pair(uint32_t{0x8004}, kPalm3));
}

TEST(ReplayWatcher, StopsWhileAnEventIsStillHeldBack) {
  TempDir dir;
  WriteRecording(dir.File("console-1.k730rec"), Header(LinkKind::Console, 0, "console", 1000, 5),
                 {WatchRec(5), ScanRec(50, 1, 3, {3}), DeviceRec(150, 0x8000, kPalm3)});
  WriteRecording(dir.File("serial-COM3-1.k730rec"), Header(LinkKind::Serial, 3, "COM3", 1000, 10),
                 {OpenRec(100, 1, true, "\\\\.\\COM3")});
  auto session = OpenSession(dir.Path());
  ASSERT_TRUE(session);
  std::atomic<int> calls{0};
  ReplayPalmWatcher watcher(session);
  ASSERT_TRUE(watcher.Start([&](uint32_t, const std::string&) { ++calls; }, true));
  EXPECT_FALSE(watcher.Start([](uint32_t, const std::string&) {}, true));
  watcher.Stop();
  watcher.Stop();
  EXPECT_EQ(calls.load(), 0);
}

}  // namespace
}  // namespace k730::rec
