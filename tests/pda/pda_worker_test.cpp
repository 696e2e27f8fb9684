#include "pda/pda_worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/image_view.h"
#include "pda/palm_device_map.h"
#include "pda_fakes.h"

namespace k730 {
namespace {

using test::FakeConsole;
using test::FakeHandheld;
using test::FakeTransport;
using test::Response;
using test::Value;
using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

Bytes Filled(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 31 + i / 977);
  return b;
}

// A PDA image: 212-byte header, then IPL, widebin and resource.
struct PdaImage {
  PdaImage(size_t ipl, size_t widebin, size_t resource) {
    ImageHeader header;
    header.headerSize = kPdaHeaderSize;
    header.magic = IMAGE_MAGIC;
    header.headerVersion = kImageHeaderVersion;
    const size_t lengths[3] = {ipl, widebin, resource};
    uint32_t offset = kPdaHeaderSize;
    for (int k = 0; k < 3; ++k) {
      header.entries[k].offset = offset;
      header.entries[k].length = static_cast<uint32_t>(lengths[k]);
      offset += static_cast<uint32_t>(lengths[k]);
    }
    header.totalSize = offset;
    bytes = WriteImageHeader(header, kPdaEntryCount);
    for (int k = 0; k < 3; ++k) {
      const Bytes body = Filled(lengths[k], static_cast<uint8_t>(k * 50 + 1));
      bytes.insert(bytes.end(), body.begin(), body.end());
    }
    widebinAt = kPdaHeaderSize + ipl;
    resourceAt = widebinAt + widebin;
  }
  Bytes Slice(size_t at, size_t n) const {
    return Bytes(bytes.begin() + at, bytes.begin() + at + n);
  }
  Bytes bytes;
  size_t widebinAt;
  size_t resourceAt;
};

std::vector<PdaPartKind> Kinds(const std::vector<PdaPart>& parts) {
  std::vector<PdaPartKind> kinds;
  for (const auto& p : parts) kinds.push_back(p.kind);
  return kinds;
}
std::vector<int> Targets(const std::vector<PdaPart>& parts) {
  std::vector<int> targets;
  for (const auto& p : parts) targets.push_back(p.targetCode);
  return targets;
}

using K = PdaPartKind;

TEST(PlanPdaParts, DevicePdaModes) {
  const PdaImage image(100, 0x30000, 500);
  const auto* d = image.bytes.data();
  const auto n = static_cast<uint32_t>(image.bytes.size());
  for (int mode : {0, 1, 2, 4}) {
    const auto parts = PlanPdaParts(mode::kPda, mode, d, n);
    ASSERT_EQ(parts.size(), 1u) << mode;
    EXPECT_EQ(parts[0].kind, K::WholeFile);
    EXPECT_EQ(parts[0].targetCode, mode);
    EXPECT_EQ(parts[0].range, (ByteRange{0, n}));
  }
  const auto all = PlanPdaParts(mode::kPda, mode::kPdaAll, d, n);
  EXPECT_THAT(Kinds(all), ElementsAre(K::Resource, K::SmallRom, K::BigRom));
  EXPECT_THAT(Targets(all), ElementsAre(2, 0, 6));
  EXPECT_EQ(all[0].range, (ByteRange{static_cast<uint32_t>(image.resourceAt), 500}));
  EXPECT_EQ(all[1].range, (ByteRange{static_cast<uint32_t>(image.widebinAt), 0x20000}));
  EXPECT_EQ(all[2].range, (ByteRange{static_cast<uint32_t>(image.widebinAt) + 0x20000, 0x10000}));
  EXPECT_TRUE(PlanPdaParts(mode::kPda, mode::kPdaSkip, d, n).empty());

  // Modes 5 and 6 take a raw widebin: no header.
  const Bytes widebin = Filled(0x30000, 9);
  const auto w = PlanPdaParts(mode::kPda, mode::kPdaWidebin, widebin.data(), 0x30000);
  EXPECT_THAT(Kinds(w), ElementsAre(K::SmallRom, K::BigRom));
  EXPECT_THAT(Targets(w), ElementsAre(0, 6));
  EXPECT_EQ(w[0].range, (ByteRange{0, 0x20000}));
  EXPECT_EQ(w[1].range, (ByteRange{0x20000, 0x10000}));
  const auto b = PlanPdaParts(mode::kPda, mode::kPdaBigrom, widebin.data(), 0x30000);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].range, (ByteRange{0x20000, 0x10000}));
}

TEST(PlanPdaParts, DevicePdaPhoneModesUseTheHeader) {
  const PdaImage image(10, 0x20000 + 300, 40);
  const auto* d = image.bytes.data();
  const auto n = static_cast<uint32_t>(image.bytes.size());
  EXPECT_THAT(Kinds(PlanPdaParts(0, 0, d, n)), ElementsAre(K::SmallRom));
  EXPECT_TRUE(PlanPdaParts(0, 1, d, n).empty());
  EXPECT_THAT(Kinds(PlanPdaParts(0, 2, d, n)), ElementsAre(K::Resource));
  EXPECT_THAT(Kinds(PlanPdaParts(0, 3, d, n)), ElementsAre(K::Resource, K::SmallRom, K::BigRom));
  EXPECT_TRUE(PlanPdaParts(0, 4, d, n).empty());
  EXPECT_THAT(Kinds(PlanPdaParts(0, 5, d, n)), ElementsAre(K::SmallRom, K::BigRom));
  const auto six = PlanPdaParts(0, 6, d, n);
  ASSERT_EQ(six.size(), 1u);
  EXPECT_EQ(six[0].range, (ByteRange{static_cast<uint32_t>(image.widebinAt) + 0x20000, 300}));
  EXPECT_TRUE(six[0].located);
  EXPECT_TRUE(PlanPdaParts(0, 7, d, n).empty());
  EXPECT_TRUE(PlanPdaParts(mode::kPhone, 3, d, n).empty());
}

TEST(PlanPdaParts, PiecesOutsideTheImageAreNotLocated) {
  PdaImage image(10, 0x20000, 40);
  // Entry 2 (resource) claims more than the image holds.
  WriteU32LE(&image.bytes[EntryPosition(2) + kTextFieldSize + 4], 1000000);
  const auto parts =
      PlanPdaParts(0, 3, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()));
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_FALSE(parts[0].located);
  EXPECT_TRUE(parts[1].located);
  EXPECT_TRUE(parts[2].located);  // an empty BigRom at the very end

  // Too short for a header: nothing is located; a short widebin has no BigRom.
  const Bytes tiny(100, 1);
  for (const auto& p : PlanPdaParts(0, 3, tiny.data(), 100)) EXPECT_FALSE(p.located);
  const auto w = PlanPdaParts(mode::kPda, mode::kPdaWidebin, tiny.data(), 100);
  EXPECT_FALSE(w[0].located);
  EXPECT_FALSE(w[1].located);
}

class PdaWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(port.Open(SimulatedPalmDeviceName(4), kPalmCreatorId), 1); }

  int Run(const Bytes& image, int deviceMode, int pdaMode, int slot = 0) {
    view.Attach(image.data(), static_cast<uint32_t>(image.size()));
    PdaJob job;
    job.slot = slot;
    job.console = &console;
    job.port = &port;
    job.view = &view;
    job.targetCode = pdaMode;
    job.deviceMode = deviceMode;
    return PdaWorker(job).result;
  }

  FakeConsole console;
  FakeTransport transport;
  FakeHandheld handheld{transport};
  PalmUsbPort port{&transport};
  ImageView view;
};

TEST_F(PdaWorkerTest, WidebinInDevicePdaSendsSmallRomThenBigRom) {
  const Bytes widebin = Filled(0x30000, 3);
  EXPECT_EQ(Run(widebin, mode::kPda, mode::kPdaWidebin), 1);
  EXPECT_THAT(handheld.partTargets, ElementsAre(0, 6));
  ASSERT_EQ(handheld.partData.size(), 2u);
  EXPECT_EQ(handheld.partData[0], Bytes(widebin.begin(), widebin.begin() + 0x20000));
  EXPECT_EQ(handheld.partData[1], Bytes(widebin.begin() + 0x20000, widebin.end()));
  const auto lines = console.writer.Lines();
  EXPECT_EQ(lines.front(), "=== SmallRom Download ===\r\n");
  EXPECT_EQ(console.writer.Count("=== BigRom Download ===\r\n"), 1u);
  EXPECT_EQ(lines[lines.size() - 2], "[PDA:0]Download Completed\r\n");
  EXPECT_EQ(lines.back(), "========================================\r\n");
  // Mode 5 ends with the port closed and the device no longer attached.
  EXPECT_THAT(transport.closedHandles, ElementsAre(5));
  ASSERT_EQ(console.Endings().size(), 1u);
  EXPECT_FALSE(console.Endings()[0].stillAttached);
  EXPECT_EQ(console.Endings()[0].deviceMode, mode::kPda);
}

TEST_F(PdaWorkerTest, AllPartsInDevicePdaPhoneComeFromTheHeader) {
  const PdaImage image(64, 0x20000 + 5000, 7000);
  EXPECT_EQ(Run(image.bytes, mode::kPdaPhone, mode::kPdaAll, 2), 1);
  EXPECT_THAT(handheld.partTargets, ElementsAre(2, 0, 6));
  EXPECT_EQ(handheld.partData[0], image.Slice(image.resourceAt, 7000));
  EXPECT_EQ(handheld.partData[1], image.Slice(image.widebinAt, 0x20000));
  EXPECT_EQ(handheld.partData[2], image.Slice(image.widebinAt + 0x20000, 5000));
  EXPECT_THAT(console.writer.LineSlots(), ::testing::Each(2));
  EXPECT_EQ(console.writer.Count("[PDA:2]Download Completed\r\n"), 1u);
  // PDA+PHONE never closes the port; the slot is detached.
  EXPECT_TRUE(transport.closedHandles.empty());
  ASSERT_EQ(console.Endings().size(), 1u);
  EXPECT_EQ(console.Endings()[0].slot, 2);
  EXPECT_FALSE(console.Endings()[0].stillAttached);
}

TEST_F(PdaWorkerTest, FailedResourceStopsTheSequence) {
  handheld.afterRamEnd = {Response(1, Value(kFlashWriteFailed))};
  const PdaImage image(64, 0x20000 + 10, 70);
  EXPECT_EQ(Run(image.bytes, mode::kPda, mode::kPdaAll), 0);
  EXPECT_THAT(handheld.partTargets, ElementsAre(2));
  EXPECT_EQ(console.writer.Count("=== SmallRom Download ===\r\n"), 0u);
  EXPECT_EQ(console.writer.Count("[PDA:0]Download Completed\r\n"), 0u);
  EXPECT_EQ(console.Endings().size(), 1u);
}

TEST_F(PdaWorkerTest, ModesWithoutPartsInDevicePdaPhoneSendNothingButTidyUp) {
  const PdaImage image(64, 0x20000 + 10, 70);
  for (int mode : {mode::kPdaBigRom, mode::kPdaDFormat}) {
    EXPECT_EQ(Run(image.bytes, mode::kPdaPhone, mode, 1), 0);
  }
  EXPECT_TRUE(transport.sends.empty());
  EXPECT_TRUE(console.writer.Lines().empty());
  EXPECT_EQ(console.Endings().size(), 2u);
  EXPECT_TRUE(transport.closedHandles.empty());
}

TEST_F(PdaWorkerTest, WholeFileModesKeepOrCloseThePort) {
  const Bytes file = Filled(9000, 5);
  EXPECT_EQ(Run(file, mode::kPda, mode::kPdaResource), 1);
  EXPECT_THAT(handheld.partTargets, ElementsAre(2));
  EXPECT_EQ(handheld.partData[0], file);
  EXPECT_EQ(console.writer.Lines().front(), "[PDA:0]Transmit Dl Mode OK\r\n");  // no part line
  EXPECT_TRUE(transport.closedHandles.empty());
  EXPECT_TRUE(console.Endings().back().stillAttached);

  EXPECT_EQ(Run(file, mode::kPda, mode::kPdaSmallRom), 1);
  EXPECT_TRUE(console.Endings().back().stillAttached);

  EXPECT_EQ(Run(file, mode::kPda, mode::kPdaBigRom), 1);
  EXPECT_THAT(handheld.partTargets, ElementsAre(2, 0, 1));
  EXPECT_FALSE(console.Endings().back().stillAttached);
  EXPECT_EQ(transport.closedHandles.size(), 1u);
}

TEST_F(PdaWorkerTest, DFormatNeverCompletesAndClosesThePort) {
  Bytes end(30, 0);
  end[0] = 0x99;
  handheld.afterRamEnd = {end};
  EXPECT_EQ(Run(Filled(5000, 1), mode::kPda, mode::kPdaDFormat), 0);
  EXPECT_THAT(handheld.partTargets, ElementsAre(4));
  EXPECT_EQ(console.writer.Count("[PDA:0]DFormat Start\r\n"), 1u);
  EXPECT_EQ(console.writer.Count("[PDA:0]FLASH Download Start\r\n"), 0u);
  EXPECT_EQ(console.writer.Count("[PDA:0]Download Completed\r\n"), 0u);
  EXPECT_EQ(transport.closedHandles.size(), 1u);
}

TEST_F(PdaWorkerTest, PartOutsideTheImageFailsWithoutSending) {
  PdaImage image(64, 0x20000 + 10, 70);
  WriteU32LE(&image.bytes[EntryPosition(2) + kTextFieldSize], 0xFFFFFF00);  // resource offset
  EXPECT_EQ(Run(image.bytes, mode::kPdaPhone, mode::kPdaAll, 1), 0);
  EXPECT_TRUE(transport.sends.empty());
  EXPECT_THAT(console.writer.Lines(), ElementsAre("=== Resource Download ===\r\n",
                                                  "[ERR:1]Part lies outside the PDA image\r\n"));
}

TEST_F(PdaWorkerTest, ThreadRunsTheWorkerAndCanStartAgain) {
  const Bytes file = Filled(5000, 2);
  view.Attach(file.data(), 5000);
  PdaJob job{0, &console, &port, &view, mode::kPdaResource, mode::kPda, nullptr};
  PdaWorkerThread thread;
  ASSERT_TRUE(thread.Start(job));
  thread.Join();
  EXPECT_FALSE(thread.Running());
  ASSERT_TRUE(thread.Start(job));
  thread.Join();
  EXPECT_EQ(console.Endings().size(), 2u);
  EXPECT_EQ(console.writer.Count("[PDA:0]Download Completed\r\n"), 2u);
}

TEST_F(PdaWorkerTest, StopCutsThePauseBeforeTheNextPart) {
  // The console stops the slot while the first part is being flashed.
  PdaWorkerThread thread;
  handheld.afterRamEnd = {};
  const Bytes widebin = Filled(0x30000, 3);
  view.Attach(widebin.data(), 0x30000);
  transport.onSend = [&](const uint8_t* data, uint32_t length) {
    handheld.OnPacket(data, length);
    if (ReadU32LE(data) == RAM_END) {
      thread.RequestStop();
      transport.Push(Response(1, Value(kFlashWriteDone)));
    }
  };
  PdaJob job{0, &console, &port, &view, mode::kPdaWidebin, mode::kPda, nullptr};
  ASSERT_TRUE(thread.Start(job));
  thread.Join();
  EXPECT_THAT(handheld.partTargets, ElementsAre(0));
  EXPECT_EQ(console.writer.Count("=== BigRom Download ===\r\n"), 0u);
  EXPECT_EQ(console.Endings().size(), 1u);
}

}  // namespace
}  // namespace k730
