// k730-rec: reads recordings made with K730_RECORD.
//   k730-rec show FILE [--bytes N]   the header and every record, one line each
//   k730-rec check DIR               whether DIR can be replayed, and what it holds
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "replay/recording_format.h"
#include "replay/replay_session.h"

namespace {

using namespace k730::rec;

constexpr const char* kUsage =
    "usage: k730-rec show FILE [--bytes N]\n"
    "       k730-rec check DIR\n"
    "show: the header and every record of a recording, one line each, with at\n"
    "      most N bytes of data shown per record (default 16).\n"
    "check: whether the recordings in DIR can be replayed (exit 0) or not (1).\n";

std::string Hex(const uint8_t* data, size_t length, size_t shown) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < length && i < shown; ++i) {
    text += ' ';
    text += kHex[data[i] >> 4];
    text += kHex[data[i] & 15];
  }
  if (length > shown) text += " ...(+" + std::to_string(length - shown) + ")";
  return text;
}

std::string Describe(const Record& record, size_t shown) {
  size_t length = 0;
  switch (record.type) {
    case RecordType::Open:
      return "result " + std::to_string(PayloadI32(record, 0)) +
             (PayloadU32(record, 4) ? " open" : " closed") + " \"" + PayloadText(record, 8) + "\"";
    case RecordType::Close:
      return "result " + std::to_string(PayloadI32(record, 0)) +
             (PayloadU32(record, 4) ? " still open" : " closed");
    case RecordType::Timeouts:
      return std::to_string(PayloadU32(record, 0)) + "/" + std::to_string(PayloadU32(record, 4)) +
             " ms";
    case RecordType::Send: {
      const uint8_t* data = PayloadTail(record, 4, length);
      return "result " + std::to_string(PayloadU32(record, 0)) + ", " + std::to_string(length) +
             " bytes" + Hex(data, length, shown);
    }
    case RecordType::Receive: {
      const uint8_t* data = PayloadTail(record, 4, length);
      return "asked " + std::to_string(PayloadU32(record, 0)) + ", " + std::to_string(length) +
             " bytes" + Hex(data, length, shown);
    }
    case RecordType::Wait:
      return "nothing came";
    case RecordType::Scan: {
      std::string text = std::to_string(PayloadU32(record, 0)) + " slots, last " +
                         std::to_string(PayloadI32(record, 4)) + ", ports";
      for (uint32_t i = 0; i < PayloadU32(record, 8); ++i)
        text += " " + std::to_string(PayloadI32(record, 12 + 4 * i));
      return text;
    }
    case RecordType::Device:
      return (PayloadU32(record, 0) == 0x8000 ? std::string("arrival")
              : PayloadU32(record, 0) == 0x8004
                  ? std::string("removal")
                  : "event " + std::to_string(PayloadU32(record, 0))) +
             " \"" + PayloadText(record, 4) + "\"";
    case RecordType::Watch:
      return PayloadU32(record, 0) ? "watching, present devices reported" : "watching";
  }
  return "";
}

int Show(const std::string& path, size_t shown) {
  RecordingReader reader;
  std::string error;
  if (!reader.Open(path, error)) {
    std::fprintf(stderr, "k730-rec: %s\n", error.c_str());
    return 1;
  }
  const FileHeader& h = reader.Header();
  std::printf("format %u, %s link %u \"%s\", time scale %.6f, session %" PRIu64
              ", begun at %" PRIu64 " ms\n",
              h.version, LinkKindName(h.kind), h.number, h.name.c_str(), h.scaleMillionths / 1e6,
              h.sessionId, h.startTick - h.sessionTick);
  Record record;
  RecordingReader::Status status;
  while ((status = reader.Next(record)) == RecordingReader::Status::Record) {
    std::printf("%6" PRIu64 " %10" PRIu64 " %-8s %s\n", reader.RecordsRead(),
                record.time - h.sessionTick, RecordTypeName(record.type),
                Describe(record, shown).c_str());
  }
  if (status != RecordingReader::Status::End) {
    std::printf("%s: %s\n", status == RecordingReader::Status::Truncated ? "truncated" : "damaged",
                reader.Error().c_str());
    return 1;
  }
  return 0;
}

int Check(const std::string& dir) {
  std::string error;
  std::shared_ptr<ReplaySession> session = ReplaySession::Open(dir, error);
  if (!session) {
    std::fprintf(stderr, "k730-rec: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: can be replayed; %zu device events\n", dir.c_str(),
              session->DeviceEvents().size());
  return 0;
}

// Bad usage: what is wrong, then the usage text; exit status 2.
int Usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "k730-rec: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.empty()) return Usage("no command given");
  const std::string& command = args[0];
  if (command == "show") {
    if (args.size() < 2) return Usage("show needs a FILE");
    size_t shown = 16;
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i] != "--bytes") return Usage("unexpected argument '" + args[i] + "'");
      if (i + 1 >= args.size()) return Usage("--bytes needs a value");
      const std::string& text = args[++i];
      char* end = nullptr;
      errno = 0;
      const unsigned long value = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || text[0] == '-' || errno || *end || value > 1000000)
        return Usage("--bytes '" + text + "': takes 0 to 1000000");
      shown = value;
    }
    return Show(args[1], shown);
  }
  if (command == "check") {
    if (args.size() != 2)
      return Usage(args.size() < 2 ? "check needs a DIR" : "unexpected argument '" + args[2] + "'");
    return Check(args[1]);
  }
  return Usage("unknown command '" + command + "'");
}
