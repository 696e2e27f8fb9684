// The PDA side's reading of handheld responses: the 30-byte response itself,
// and a whole partition download (DL_MODE, RAM chunks, RAM_END, the flash
// phase) against a handheld that answers with the input.
//
// Input: byte 0 chooses. Even: a series of {capacity byte, 30-byte response}
// fed to ReceiveResponse one by one. Odd: target byte, send-failure mask,
// part length (16 bits), then the handheld's bytes for DownloadPartition.

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/image_view.h"
#include "fuzz_support.h"
#include "palm_fuzz_transport.h"
#include "pda/host_file_service.h"
#include "pda/partition_download.h"
#include "pda/pda_job.h"
#include "pda/pda_packets.h"

namespace {

using namespace k730;

constexpr uint8_t kCanary = 0xC3;

class FuzzConsole : public PdaConsole {
 public:
  explicit FuzzConsole(const std::string& directory) : files_(directory) {}
  SlotWriter& Writer() override { return writer_; }
  OperatorPrompt& Prompt() override { return prompt_; }
  HostFileTable& HostFiles() override { return files_; }
  void PdaDownloadEnded(int, int, bool) override {}
  const fuzz::FixedPrompt& Boxes() const { return prompt_; }

 private:
  fuzz::NullWriter writer_;
  fuzz::FixedPrompt prompt_{MessageAnswer::Ok};
  HostFileTable files_;
};

void CheckResponses(fuzz::Input& input) {
  while (input.RestSize() > 0) {
    const size_t capacity = input.Byte() % 32;
    const size_t length = std::min<size_t>(input.RestSize(), kResponseSize);
    const uint8_t* raw = input.Rest();
    input.Skip(length);

    fuzz::InputTransport transport(raw, length);
    PalmUsbPort port(&transport);
    K730_FUZZ_CHECK(port.Open("fuzz", kPalmCreatorPsys) == 1);
    uint8_t destination[64];
    std::memset(destination, kCanary, sizeof destination);
    uint32_t dataLength = 99;
    const bool good = ReceiveResponse(port, destination, capacity, &dataLength);

    for (size_t i = capacity; i < sizeof destination; ++i)
      K730_FUZZ_CHECK(destination[i] == kCanary);
    K730_FUZZ_CHECK(dataLength <= std::min<size_t>(capacity, kMaxResponseData));
    if (length < kResponseSize) {
      K730_FUZZ_CHECK(!good && dataLength == 0);
      continue;
    }
    const uint32_t status = ReadU32LE(raw);
    const uint32_t announced = ReadU32LE(raw + 4);
    const uint32_t checksum = ReadU32LE(raw + 8);
    const bool fits = announced <= kMaxResponseData && announced <= capacity;
    K730_FUZZ_CHECK(dataLength == (fits ? announced : 0));
    if (fits) K730_FUZZ_CHECK(std::memcmp(destination, raw + kPacketHeadSize, announced) == 0);
    const bool expected =
        fits && status == 1 && PacketChecksum(0, raw + kPacketHeadSize, announced) == checksum;
    K730_FUZZ_CHECK(good == expected);
  }
}

void CheckDownload(fuzz::Input& input) {
  static fuzz::ScratchDir dir("pda");
  static const std::vector<uint8_t> part = [] {
    std::vector<uint8_t> bytes(0x10000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
  }();
  constexpr int kTargets[] = {kTargetSmallRom, kTargetBigRomFile, kTargetResource,
                              kTargetWidebinBigRom};
  const int target = kTargets[input.Byte() % 4];
  const uint8_t sendFailures = input.Byte();
  const uint32_t partLength = input.U16();

  fuzz::InputTransport transport(input.Rest(), input.RestSize());
  transport.SetSendFailures(sendFailures);
  PalmUsbPort port(&transport);
  K730_FUZZ_CHECK(port.Open("fuzz", kPalmCreatorPsys) == 1);
  FuzzConsole console(dir.Path());
  ImageView view(part.data(), partLength);

  PdaJob job;
  job.slot = 2;
  job.console = &console;
  job.port = &port;
  job.view = &view;
  job.targetCode = target;
  job.deviceMode = 0;

  const int result = DownloadPartition(job);
  K730_FUZZ_CHECK(result == 0 || result == 1);
  // Success needs every byte of the part in the handheld's RAM first.
  if (result == 1) K730_FUZZ_CHECK(view.Position() == partLength);
  K730_FUZZ_CHECK(console.Boxes().Shown() <= 1);
  K730_FUZZ_CHECK(console.HostFiles().UsedCount() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool once = (fuzz::UseTinyTimeScale(), true);
  (void)once;
  fuzz::Input input(data, size);
  if (input.Byte() & 1) {
    CheckDownload(input);
  } else {
    CheckResponses(input);
  }
  return 0;
}
