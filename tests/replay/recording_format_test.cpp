// The recording file: what is written is read back, and files that are not
// recordings, are damaged or come from a newer version are refused.
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstring>

#include "core/clock.h"
#include "replay/recording_format.h"
#include "replay/recording_session.h"
#include "replay_test_support.h"

namespace k730::rec {
namespace {

using namespace k730::rec::test;

// Everything read from a file until the reader stops.
struct ReadBack {
  std::vector<Record> records;
  RecordingReader::Status end = RecordingReader::Status::End;
  std::string error;
};

ReadBack ReadRecords(const std::string& path) {
  RecordingReader reader;
  ReadBack back;
  if (!reader.Open(path, back.error)) {
    back.end = RecordingReader::Status::Damaged;
    return back;
  }
  Record record;
  while ((back.end = reader.Next(record)) == RecordingReader::Status::Record)
    back.records.push_back(record);
  back.error = reader.Error();
  // The reader stays at its end.
  EXPECT_EQ(reader.Next(record), back.end);
  return back;
}

std::string OpenError(const std::string& path) {
  RecordingReader reader;
  std::string error;
  EXPECT_FALSE(reader.Open(path, error));
  return error;
}

TEST(RecordingFormat, HeaderAndEveryRecordTypeRoundTrip) {
  TempDir dir;
  FileHeader header =
      Header(LinkKind::Palm, 7, "\\\\?\\k730#palm-simulated-device#socket7#palm7.sock",
             0x1122334455667788ull, 500);
  header.sessionTick = 400;
  const std::vector<Record> records = {
      OpenRec(500, 3, true, header.name),
      TimeoutsRec(500, 0, 0),
      SendRec(501, 12, Bytes({0xF0, 0, 0, 0, 9, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD})),
      RecvRec(520, 30, std::vector<uint8_t>(30, 0x5A)),
      RecvRec(20520, 30, {}),
      WaitRec(20521),
      ScanRec(20522, 2, 4, {3, 4, 0, 0}),
      DeviceRec(20523, 0x8000, "palm7"),
      WatchRec(20524),
      CloseRec(20530, 1, false),
  };
  WriteRecording(dir.File("a.k730rec"), header, records);

  RecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(dir.File("a.k730rec"), error)) << error;
  const FileHeader& h = reader.Header();
  EXPECT_EQ(h.version, kVersion);
  EXPECT_EQ(h.kind, LinkKind::Palm);
  EXPECT_EQ(h.number, 7u);
  EXPECT_EQ(h.scaleMillionths, 1000u);
  EXPECT_EQ(h.sessionId, 0x1122334455667788ull);
  EXPECT_EQ(h.sessionTick, 400u);
  EXPECT_EQ(h.startTick, 500u);
  EXPECT_EQ(h.name, header.name);

  const ReadBack back = ReadRecords(dir.File("a.k730rec"));
  EXPECT_EQ(back.end, RecordingReader::Status::End) << back.error;
  ASSERT_EQ(back.records.size(), records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(back.records[i].type, records[i].type);
    EXPECT_EQ(back.records[i].time, records[i].time);
    EXPECT_EQ(back.records[i].payload, records[i].payload);
  }
  EXPECT_EQ(PayloadI32(back.records[0], 0), 3);
  EXPECT_EQ(PayloadText(back.records[0], 8), header.name);
  EXPECT_EQ(PayloadU32(back.records[3], 0), 30u);
  // Reads past the payload give nothing rather than reading beyond it.
  EXPECT_EQ(PayloadU32(back.records[5], 0), 0u);
  size_t length = 99;
  EXPECT_EQ(PayloadTail(back.records[5], 0, length), nullptr);
  EXPECT_EQ(length, 0u);
}

TEST(RecordingFormat, TheFileLayoutIsTheDocumentedOne) {
  TempDir dir;
  WriteRecording(dir.File("a.k730rec"), Header(LinkKind::Serial, 3, "COM3", 0x0102, 0x10),
                 {SendRec(0x20, 1, Bytes({0x7E}))});
  const std::string bytes = ReadAll(dir.File("a.k730rec"));
  ASSERT_EQ(bytes.size(), 48u + 4 + 16 + 5);
  EXPECT_EQ(bytes.substr(0, 8), std::string("K730REC\0", 8));
  EXPECT_EQ(bytes.substr(8, 8), std::string("\x01\x00\x34\x00\x01\x00\x04\x00", 8));
  EXPECT_EQ(bytes.substr(16, 4), std::string("\x03\x00\x00\x00", 4));
  EXPECT_EQ(bytes.substr(24, 8), std::string("\x02\x01\x00\x00\x00\x00\x00\x00", 8));
  EXPECT_EQ(bytes.substr(40, 8), std::string("\x10\x00\x00\x00\x00\x00\x00\x00", 8));
  EXPECT_EQ(bytes.substr(48, 4), "COM3");
  // The record: type, flags, reserved, length, time, payload.
  EXPECT_EQ(bytes.substr(52, 16),
            std::string("\x10\x00\x00\x00\x05\x00\x00\x00\x20\x00\x00\x00\x00\x00\x00\x00", 16));
  EXPECT_EQ(bytes.substr(68), std::string("\x01\x00\x00\x00\x7E", 5));
}

TEST(RecordingFormat, FilesThatAreNotRecordingsOrAreTooNewAreRefused) {
  TempDir dir;
  WriteRecording(dir.File("good.k730rec"), Header(LinkKind::Serial, 3, "COM3"), {});
  const std::string good = ReadAll(dir.File("good.k730rec"));
  auto variant = [&](const std::string& name, size_t offset, const std::string& bytes) {
    std::string copy = good;
    copy.replace(offset, bytes.size(), bytes);
    WriteAll(dir.File(name), copy);
    return dir.File(name);
  };

  WriteAll(dir.File("empty"), "");
  EXPECT_NE(OpenError(dir.File("empty")).find("not a k730 recording"), std::string::npos);
  WriteAll(dir.File("foreign"), "#!/bin/sh\necho this is not a recording at all\n");
  EXPECT_NE(OpenError(dir.File("foreign")).find("not a k730 recording"), std::string::npos);
  WriteAll(dir.File("short"), good.substr(0, 20));
  EXPECT_NE(OpenError(dir.File("short")).find("cut short"), std::string::npos);
  WriteAll(dir.File("noname"), good.substr(0, good.size() - 2));
  EXPECT_NE(OpenError(dir.File("noname")).find("cut short"), std::string::npos);
  EXPECT_NE(OpenError(variant("v2", 8, std::string("\x02\x00", 2))).find("newer version (format 2"),
            std::string::npos);
  EXPECT_NE(OpenError(variant("v0", 8, std::string("\x00\x00", 2))).find("version 0"),
            std::string::npos);
  EXPECT_NE(OpenError(variant("kind", 12, "\x09")).find("unknown link kind"), std::string::npos);
  EXPECT_NE(OpenError(variant("flags", 13, "\x01")).find("flags"), std::string::npos);
  EXPECT_NE(OpenError(variant("size", 10, std::string("\x40\x00", 2))).find("size"),
            std::string::npos);
  EXPECT_NE(OpenError(variant("longname", 14, std::string("\x01\x10", 2))).find("name too long"),
            std::string::npos);
  // A name length that disagrees with the header size.
  EXPECT_NE(OpenError(variant("namelength", 14, std::string("\x05\x00", 2))).find("size"),
            std::string::npos);
  EXPECT_NE(OpenError(dir.File("missing")).find("No such file"), std::string::npos);
}

TEST(RecordingFormat, DamagedRecordsStopTheReaderWithTheirPlace) {
  TempDir dir;
  const FileHeader header = Header(LinkKind::Serial, 3, "COM3", 1, 100);
  WriteRecording(dir.File("good.k730rec"), header,
                 {SendRec(100, 1, Bytes({1, 2, 3})), CloseRec(200, 1, false)});
  const std::string good = ReadAll(dir.File("good.k730rec"));
  const size_t second = 52 + 16 + 7;  // the Close record
  auto damaged = [&](size_t offset, const std::string& bytes) {
    std::string copy = good;
    copy.replace(offset, bytes.size(), bytes);
    WriteAll(dir.File("bad.k730rec"), copy);
    return ReadRecords(dir.File("bad.k730rec"));
  };
  struct Case {
    const char* what;
    size_t offset;
    std::string bytes;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"type", second, "\x7F", "unknown record type"},
      {"flags", second + 1, "\x01", "reserved bytes"},
      {"reserved", second + 3, "\x01", "reserved bytes"},
      {"length", second + 4, std::string("\x01\x00\x10\x00", 4), "payload length too large"},
      {"time", second + 8, std::string("\x10\x00\x00\x00", 4), "time runs backwards"},
      {"close payload", second + 4, std::string("\x04\x00\x00\x00", 4), "not 8 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ReadBack back = damaged(c.offset, c.bytes);
    EXPECT_EQ(back.end, RecordingReader::Status::Damaged);
    ASSERT_EQ(back.records.size(), 1u);  // the record before it is still read
    EXPECT_NE(back.error.find(c.error), std::string::npos) << back.error;
    EXPECT_NE(back.error.find("record 2 at byte " + std::to_string(second)), std::string::npos)
        << back.error;
  }

  // Payloads too short for their fields.
  TempDir other;
  const std::vector<Record> shortOnes = {
      {RecordType::Open, 100, U32(1)},
      {RecordType::Send, 100, Bytes({1})},
      {RecordType::Receive, 100, Bytes({})},
      {RecordType::Wait, 100, Bytes({0})},
      {RecordType::Timeouts, 100, U32(1)},
      {RecordType::Watch, 100, Bytes({})},
      {RecordType::Device, 100, Bytes({1})},
      {RecordType::Scan, 100, U32(1, U32(2, U32(3)))},
      {RecordType::Scan, 100, U32(1, U32(2, U32(1000)))},
  };
  for (size_t i = 0; i < shortOnes.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string path = other.File(std::to_string(i) + ".k730rec");
    WriteRecording(path, header, {shortOnes[i]});
    const ReadBack back = ReadRecords(path);
    EXPECT_EQ(back.end, RecordingReader::Status::Damaged);
    EXPECT_TRUE(back.records.empty());
  }
}

TEST(RecordingFormat, ATruncatedRecordEndsTheFileCleanly) {
  TempDir dir;
  WriteRecording(dir.File("good.k730rec"), Header(LinkKind::Serial, 3, "COM3", 1, 100),
                 {SendRec(100, 1, Bytes({1, 2, 3})), RecvRec(150, 0, Bytes({9, 9, 9, 9}))});
  const std::string good = ReadAll(dir.File("good.k730rec"));
  for (size_t cut : {good.size() - 1, good.size() - 8, good.size() - 20}) {
    SCOPED_TRACE(cut);
    WriteAll(dir.File("cut.k730rec"), good.substr(0, cut));
    const ReadBack back = ReadRecords(dir.File("cut.k730rec"));
    EXPECT_EQ(back.end, RecordingReader::Status::Truncated);
    EXPECT_EQ(back.records.size(), 1u);
    EXPECT_NE(back.error.find("cut short"), std::string::npos);
  }
  WriteAll(dir.File("whole.k730rec"), good.substr(0, 52 + 16 + 7));
  EXPECT_EQ(ReadRecords(dir.File("whole.k730rec")).end, RecordingReader::Status::End);
}

TEST(RecordingWriter, NeverOverwritesAndRefusesOverlongRecords) {
  TempDir dir;
  WriteAll(dir.File("taken.k730rec"), "precious");
  RecordingWriter writer;
  std::string error;
  EXPECT_FALSE(
      writer.Create(dir.File("taken.k730rec"), Header(LinkKind::Serial, 1, "COM1"), error));
  EXPECT_NE(error.find("exists"), std::string::npos) << error;
  EXPECT_EQ(ReadAll(dir.File("taken.k730rec")), "precious");

  ASSERT_TRUE(writer.Create(dir.File("long.k730rec"), Header(LinkKind::Serial, 1, "COM1"), error));
  const std::vector<uint8_t> big(kMaxPayload, 0);
  EXPECT_FALSE(writer.Append(RecordType::Send, 20, big.data(), 4, big.data(), big.size()));
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_FALSE(writer.Append(RecordType::Wait, 20, nullptr, 0));
  EXPECT_EQ(ReadRecords(dir.File("long.k730rec")).end, RecordingReader::Status::End);
}

TEST(RecordingSession, FilesAreNamedByLinkAndNumberedOnWithoutOverwriting) {
  TempDir dir;
  RecordingSession session(dir.Path());
  // A file left by an earlier process keeps its name.
  WriteAll(dir.File("serial-COM3-2.k730rec"), "earlier");
  auto a = session.StartLink(LinkKind::Serial, "COM3", "COM3", 3);
  auto b = session.StartLink(LinkKind::Serial, "COM3", "COM3", 3);
  auto c = session.StartLink(LinkKind::Palm, "4", "\\\\?\\device", 4);
  auto d = session.StartLink(LinkKind::Serial, "../x/COM3", "odd", 0);
  ASSERT_TRUE(a && b && c && d);
  EXPECT_EQ(a->Path(), dir.File("serial-COM3-1.k730rec"));
  EXPECT_EQ(b->Path(), dir.File("serial-COM3-3.k730rec"));
  EXPECT_EQ(c->Path(), dir.File("palm-4-1.k730rec"));
  EXPECT_EQ(d->Path(), dir.File("serial-___x_COM3-1.k730rec"));
  EXPECT_EQ(ReadAll(dir.File("serial-COM3-2.k730rec")), "earlier");
  LinkRecorder* console = session.Console();
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(console, session.Console());
  EXPECT_EQ(console->Path(), dir.File("console-1.k730rec"));

  a->Open(1, true, "\\\\.\\COM3");
  a->Send(1, reinterpret_cast<const uint8_t*>("AT"), 2);
  a->Receive(0, reinterpret_cast<const uint8_t*>("OK"), 2);
  a->Wait();
  a->Close(1, false);
  a->Finish();
  a->Send(1, reinterpret_cast<const uint8_t*>("late"), 4);  // dropped after Finish
  EXPECT_FALSE(a->Active());

  const ReadBack back = ReadRecords(a->Path());
  EXPECT_EQ(back.end, RecordingReader::Status::End);
  ASSERT_EQ(back.records.size(), 5u);
  EXPECT_EQ(back.records[1].type, RecordType::Send);
  EXPECT_EQ(PayloadText(back.records[1], 4), "AT");
  EXPECT_EQ(PayloadText(back.records[2], 4), "OK");
  for (size_t i = 1; i < back.records.size(); ++i)
    EXPECT_GE(back.records[i].time, back.records[i - 1].time);

  RecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(a->Path(), error));
  EXPECT_EQ(reader.Header().sessionId, session.SessionId());
  EXPECT_EQ(reader.Header().number, 3u);
}

TEST(RecordingSession, AWriteFailureStopsThatLinkOnlyAndQuietly) {
  TempDir dir;
  RecordingSession session(dir.Path());
  auto failing = session.StartLink(LinkKind::Serial, "COM5", "COM5", 5);
  ASSERT_TRUE(failing);
  // Let the file system refuse growth beyond what is written now.
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit tight = old;
  tight.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  const std::vector<uint8_t> block(1024, 0x55);
  for (int i = 0; i < 200; ++i) failing->Send(1, block.data(), block.size());
  failing->Close(1, false);
  const bool activeAfter = failing->Active();
  // A file whose header cannot be written is not left behind half made.
  tight.rlim_cur = 10;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  const bool headerless = session.StartLink(LinkKind::Serial, "COM7", "COM7", 7) == nullptr;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(activeAfter);
  EXPECT_TRUE(headerless);
  EXPECT_FALSE(std::filesystem::exists(dir.File("serial-COM7-1.k730rec")));
  failing->Send(1, block.data(), block.size());  // nothing happens

  // What reached the file reads back as a recording cut short.
  const ReadBack back = ReadRecords(failing->Path());
  EXPECT_NE(back.end, RecordingReader::Status::Damaged) << back.error;
  EXPECT_LE(ReadAll(failing->Path()).size(), 4096u);

  // Other links go on.
  auto other = session.StartLink(LinkKind::Serial, "COM6", "COM6", 6);
  ASSERT_TRUE(other);
  other->Send(1, block.data(), 10);
  other->Finish();
  EXPECT_EQ(ReadRecords(other->Path()).records.size(), 1u);
}

TEST(RecordingSession, TimesNeverRunBackwardsWhenTheClockScaleChanges) {
  TempDir dir;
  RecordingSession session(dir.Path());
  auto recorder = session.StartLink(LinkKind::Serial, "COM3", "COM3", 3);
  ASSERT_TRUE(recorder);
  const uint8_t byte = 0x7E;
  recorder->Send(1, &byte, 1);
  // A larger scale makes the same real time fewer protocol milliseconds.
  SetProcessTimeScale(ProcessClock().Scale() * 1000);
  recorder->Send(1, &byte, 1);
  SetProcessTimeScale(TimeScaleFromEnvironment());
  recorder->Finish();
  const ReadBack back = ReadRecords(recorder->Path());
  EXPECT_EQ(back.end, RecordingReader::Status::End) << back.error;
  EXPECT_EQ(back.records.size(), 2u);
}

TEST(RecordingSession, SerialPortNamesBecomeTokensAndNumbers) {
  uint32_t number = 99;
  EXPECT_EQ(SerialToken("\\\\.\\com12", number), "COM12");
  EXPECT_EQ(number, 12u);
  EXPECT_EQ(SerialToken("COM3", number), "COM3");
  EXPECT_EQ(number, 3u);
  EXPECT_EQ(SerialToken("/dev/ttyUSB0", number), "_DEV_TTYUSB0");
  EXPECT_EQ(number, 0u);
  EXPECT_EQ(SerialToken("COM", number), "COM");
  EXPECT_EQ(number, 0u);
  EXPECT_EQ(SerialToken("COM123456", number), "COM123456");
  EXPECT_EQ(number, 123456u);
  EXPECT_EQ(SerialToken("COM12345678", number), "COM12345678");
  EXPECT_EQ(number, 0u);
}

}  // namespace
}  // namespace k730::rec
