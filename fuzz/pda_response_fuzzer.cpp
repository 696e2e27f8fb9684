// The PDA side's reading of what a handheld sends: the 30-byte response
// itself, a whole partition download (DL_MODE, RAM chunks, RAM_END, the flash
// phase) against a handheld that answers with the input, and the real-USB
// transport's opening of a handheld and reading of its bulk packets.
//
// Input: byte 0 % 3 chooses.
//   0: a series of {capacity byte, 30-byte response} fed to ReceiveResponse.
//   1: target byte, send-failure mask, part length (16 bits), then the
//      handheld's bytes for DownloadPartition.
//   2: a real-USB handheld: the length and bytes of its extended connection
//      information, then its bulk IN packets as {result, 16-bit length,
//      bytes}; the USB transport must open it as the reply allows and deliver
//      exactly the packets' bytes, in order, to receives of varied sizes.

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/image_view.h"
#include "fuzz_support.h"
#include "palm_fuzz_transport.h"
#include "pda/host_file_service.h"
#include "pda/palm_device_map.h"
#include "pda/partition_download.h"
#include "pda/pda_job.h"
#include "pda/pda_packets.h"
#include "pda/usb_palm_transport.h"

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
    K730_FUZZ_CHECK(port.Open("fuzz", kPalmCreatorId) == 1);
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
  K730_FUZZ_CHECK(port.Open("fuzz", kPalmCreatorId) == 1);
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

// A Palm OS handheld at bus 1, address 2 played by the input.
class InputUsbLink : public UsbDeviceLink {
 public:
  explicit InputUsbLink(fuzz::Input& input) : input_(input) {
    const uint8_t length = input.Byte();
    info_.assign(input.Rest(), input.Rest() + std::min<size_t>(length, input.RestSize()));
    input.Skip(length);
  }
  int ControlIn(uint8_t requestType, uint8_t request, uint16_t, uint16_t, uint8_t* data,
                uint16_t length, uint32_t) override {
    K730_FUZZ_CHECK(requestType == kPalmVendorRequestType && request == kPalmGetExtConnectionInfo);
    // An information block above 72 bytes stands for a failed request.
    if (info_.size() > kPalmExtConnectionInfoSize) return kUsbErrorPipe;
    const size_t n = std::min<size_t>(info_.size(), length);
    std::copy_n(info_.begin(), n, data);
    return static_cast<int>(n);
  }
  int InterfaceOfEndpoint(uint8_t endpoint) override {
    endpoints_.inEndpoint = endpoint;
    return 0;
  }
  int FirstBulkPair(int& interfaceNumber, uint8_t& in, uint8_t& out) override {
    interfaceNumber = 0;
    in = 0x81;
    out = 0x02;
    return kUsbSuccess;
  }
  int KernelDriverActive(int) override { return 0; }
  int DetachKernelDriver(int) override { return kUsbSuccess; }
  int ClaimInterface(int) override { return kUsbSuccess; }
  int ReleaseInterface(int) override { return kUsbSuccess; }
  int BulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred,
                   uint32_t) override {
    K730_FUZZ_CHECK(length > 0 && data != nullptr);
    *transferred = 0;
    if (!(endpoint & 0x80)) {
      *transferred = length;
      return kUsbSuccess;
    }
    // Once the script has run out the handheld stays silent.
    if (input_.RestSize() == 0) return kUsbErrorTimeout;
    static constexpr int kResults[] = {kUsbSuccess, kUsbSuccess, kUsbErrorTimeout, kUsbErrorIo,
                                       kUsbErrorOverflow};
    const int result = kResults[input_.Byte() % 5];
    const size_t wanted = input_.U16();
    const size_t n = std::min({wanted, input_.RestSize(), static_cast<size_t>(length)});
    std::copy_n(input_.Rest(), n, data);
    delivered.insert(delivered.end(), input_.Rest(), input_.Rest() + n);
    input_.Skip(n);
    *transferred = static_cast<int>(n);
    return result;
  }

  std::vector<uint8_t> info_;
  std::vector<uint8_t> delivered;  // every byte handed to the host, in order
  PalmEndpoints endpoints_;

 private:
  fuzz::Input& input_;
};

class OneDeviceBus : public UsbBus {
 public:
  explicit OneDeviceBus(std::unique_ptr<InputUsbLink> link) : link_(std::move(link)) {}
  std::vector<UsbDeviceId> ListDevices() override { return {UsbDeviceId{1, 2, 0x0830, 0x0061}}; }
  std::unique_ptr<UsbDeviceLink> OpenDevice(const UsbDeviceId&, int* error) override {
    if (!link_) *error = kUsbErrorBusy;
    return std::move(link_);
  }

 private:
  std::unique_ptr<InputUsbLink> link_;
};

void CheckUsb(fuzz::Input& input) {
  auto owned = std::make_unique<InputUsbLink>(input);
  InputUsbLink& link = *owned;
  const std::vector<uint8_t> info = link.info_;

  PalmEndpoints parsed;
  const bool listed = info.size() <= kPalmExtConnectionInfoSize &&
                      ParseExtConnectionInfo(info.data(), info.size(), kPalmCreatorId, parsed);
  if (listed) {
    K730_FUZZ_CHECK((parsed.inEndpoint & 0x80) && (parsed.inEndpoint & 0x7F) >= 1 &&
                    (parsed.inEndpoint & 0x7F) <= 15);
    K730_FUZZ_CHECK(parsed.outEndpoint >= 1 && parsed.outEndpoint <= 15);
  }

  UsbPalmTransport transport(std::make_unique<OneDeviceBus>(std::move(owned)), 1);
  PalmUsbPort port(&transport);
  // A reply that lists port functions without 'psys' is refused; no reply
  // leaves the interface's first bulk pair.
  const bool answered = !info.empty() && info.size() <= kPalmExtConnectionInfoSize;
  const int opened = port.Open(UsbPalmDeviceName(2, 1, 2, 0x0830, 0x0061), kPalmCreatorId);
  K730_FUZZ_CHECK(opened == (listed || !answered ? 1 : 0));
  if (opened != 1) return;
  // The port function the reply names, or the interface's first bulk pair.
  if (listed) K730_FUZZ_CHECK(link.endpoints_.inEndpoint == parsed.inEndpoint);

  std::vector<uint8_t> received;
  static constexpr uint32_t kSizes[] = {kResponseSize, 1, 7, 4096, 100, 5000};
  std::vector<uint8_t> buffer(5000);
  for (int quiet = 0, i = 0; quiet < 2; ++i) {
    const uint32_t want = kSizes[i % 6];
    const uint32_t got = port.Receive(buffer.data(), want);
    K730_FUZZ_CHECK(got <= want);
    received.insert(received.end(), buffer.begin(), buffer.begin() + got);
    quiet = got == 0 && input.RestSize() == 0 ? quiet + 1 : 0;
  }
  K730_FUZZ_CHECK(received == link.delivered);
  K730_FUZZ_CHECK(port.Close() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool once = (fuzz::UseTinyTimeScale(), true);
  (void)once;
  fuzz::Input input(data, size);
  switch (input.Byte() % 3) {
    case 0:
      CheckResponses(input);
      break;
    case 1:
      CheckDownload(input);
      break;
    default:
      CheckUsb(input);
      break;
  }
  return 0;
}
