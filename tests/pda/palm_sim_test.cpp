// Whole downloads through the socket transport against the simulated handheld.
#include "sim/palm_sim.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <thread>

#include "../support/temp_dir.h"
#include "core/image_view.h"
#include "image/image_formats.h"
#include "pda/palm_device_map.h"
#include "pda/palm_device_watcher.h"
#include "pda/partition_download.h"
#include "pda/pda_worker.h"
#include "pda/socket_palm_transport.h"
#include "pda/tcp_palm_transport.h"
#include "pda_fakes.h"
#include "sim/tcp_listing.h"

namespace k730 {
namespace {

using sim::PalmDeviceSim;
using sim::PalmSimOptions;
using test::FakeConsole;
using test::TempDir;
using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

Bytes Filled(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& byte : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<uint8_t>(x);
  }
  return b;
}

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

class PalmSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(palmDir.Path().empty());
    options.directory = palmDir.Path();
    options.number = 9;
    options.dumpDirectory = dumpDir.Path();
  }

  std::unique_ptr<PalmDeviceSim> StartDevice() {
    auto device = std::make_unique<PalmDeviceSim>(options);
    EXPECT_TRUE(device->Plug());
    return device;
  }

  int Download(const Bytes& part, int target, uint32_t idleLimitMs = 20000) {
    SocketPalmTransport transport(palmDir.Path(), idleLimitMs);
    PalmUsbPort port(&transport);
    if (port.Open(SimulatedPalmDeviceName(options.number), kPalmCreatorId) != 1) return -1;
    ImageView view(part.data(), static_cast<uint32_t>(part.size()));
    PdaJob job{0, &console, &port, &view, target, mode::kPda, nullptr};
    const int result = DownloadPartition(job);
    port.Close();
    return result;
  }

  std::string Dump(int target) const {
    return dumpDir.File("pda" + std::to_string(options.number) + "-" + std::to_string(target) +
                        ".bin");
  }

  TempDir palmDir;
  TempDir dumpDir;
  TempDir hostDir;
  PalmSimOptions options;
  FakeConsole console{hostDir.Path()};
};

TEST_F(PalmSimTest, PartitionsArriveByteForByte) {
  auto device = StartDevice();
  const Bytes smallRom = Filled(0x20000, 1);
  const Bytes resource = Filled(300 * 1024 + 17, 2);
  const Bytes bigRom = Filled(1024 * 1024 + 5, 3);
  EXPECT_EQ(Download(smallRom, 0), 1);
  EXPECT_EQ(Download(resource, 2), 1);
  EXPECT_EQ(Download(bigRom, 6), 1);
  EXPECT_EQ(FileBytes(Dump(0)), smallRom);
  EXPECT_EQ(FileBytes(Dump(2)), resource);
  EXPECT_EQ(FileBytes(Dump(6)), bigRom);
  const auto stats = device->Stats();
  EXPECT_EQ(stats.partitionsFlashed, 3u);
  EXPECT_EQ(stats.packetVersion, 9u);
  EXPECT_EQ(stats.chunkResends, 0u);
  EXPECT_EQ(console.writer.Count("[PDA:0]FLASH Download OK\r\n"), 3u);
  // The flash phase: 0 at its start, the reports 0, 10, ..., 100, then the final 100.
  const auto percents = console.writer.Percents();
  ASSERT_GE(percents.size(), 13u);
  EXPECT_THAT(std::vector<uint32_t>(percents.end() - 13, percents.end()),
              ElementsAre(0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 100));
}

TEST_F(PalmSimTest, WorkerSendsEveryPartOfAnImage) {
  auto device = StartDevice();
  // A PDA image: header, IPL, widebin, resource.
  const Bytes ipl = Filled(4000, 4);
  const Bytes widebin = Filled(0x20000 + 70000, 5);
  const Bytes resource = Filled(50000, 6);
  ImageHeader header;
  header.headerSize = kPdaHeaderSize;
  header.magic = IMAGE_MAGIC;
  uint32_t at = kPdaHeaderSize;
  for (int k = 0; k < 3; ++k) {
    const Bytes& body = k == 0 ? ipl : k == 1 ? widebin : resource;
    header.entries[k].offset = at;
    header.entries[k].length = static_cast<uint32_t>(body.size());
    at += static_cast<uint32_t>(body.size());
  }
  Bytes image = WriteImageHeader(header, kPdaEntryCount);
  for (const Bytes* body : {&ipl, &widebin, &resource})
    image.insert(image.end(), body->begin(), body->end());

  SocketPalmTransport transport(palmDir.Path());
  PalmUsbPort port(&transport);
  ASSERT_EQ(port.Open(SimulatedPalmDeviceName(9), kPalmCreatorId), 1);
  ImageView view(image.data(), static_cast<uint32_t>(image.size()));
  PdaJob job{1, &console, &port, &view, mode::kPdaAll, mode::kPdaPhone, nullptr};
  EXPECT_EQ(PdaWorker(job).result, 1);
  EXPECT_EQ(FileBytes(Dump(2)), resource);
  EXPECT_EQ(FileBytes(Dump(0)), Bytes(widebin.begin(), widebin.begin() + 0x20000));
  EXPECT_EQ(FileBytes(Dump(6)), Bytes(widebin.begin() + 0x20000, widebin.end()));
  EXPECT_EQ(console.writer.Count("[PDA:1]Download Completed\r\n"), 1u);
  port.Close();
}

TEST_F(PalmSimTest, DFormatProgramUsesTheHostFiles) {
  auto device = StartDevice();
  const Bytes program = Filled(9000, 7);
  SocketPalmTransport transport(palmDir.Path());
  PalmUsbPort port(&transport);
  ASSERT_EQ(port.Open(SimulatedPalmDeviceName(9), kPalmCreatorId), 1);
  ImageView view(program.data(), static_cast<uint32_t>(program.size()));
  PdaJob job{0, &console, &port, &view, mode::kPdaDFormat, mode::kPda, nullptr};
  EXPECT_EQ(PdaWorker(job).result, 0);
  const auto stats = device->Stats();
  EXPECT_EQ(stats.dformatRuns, 1u);
  EXPECT_TRUE(stats.dformatPassed) << stats.dformatFailure;
  EXPECT_EQ(FileBytes(Dump(4)), program);
  EXPECT_EQ(FileBytes(hostDir.File(device->DFormatFileName())).size(), 70u);
  EXPECT_EQ(console.writer.Count("DFormat: formatting\r\n"), 1u);
  EXPECT_EQ(console.writer.Count("DFormat: done\r\n"), 1u);
  EXPECT_EQ(console.writer.Count("[PDA:0]Download Completed\r\n"), 0u);
  EXPECT_FALSE(port.IsOpen());  // mode 4 closes the port
  EXPECT_EQ(console.HostFiles().UsedCount(), 0u);
}

TEST_F(PalmSimTest, ChecksumErrorsAreResentAndTheDumpStaysExact) {
  options.faults.badChecksumEvery = 3;
  auto device = StartDevice();
  const Bytes part = Filled(40 * 4084 + 99, 8);
  EXPECT_EQ(Download(part, 6), 1);
  EXPECT_EQ(FileBytes(Dump(6)), part);
  EXPECT_GT(console.writer.Count("[PDA:0]Re Send Command2\r\n"), 10u);
  EXPECT_GT(device->Stats().chunkResends, 10u);
}

TEST_F(PalmSimTest, LostResponsesAreWaitedOutAndResent) {
  options.faults.loseResponseEvery = 4;
  auto device = StartDevice();
  const Bytes part = Filled(9 * 4084, 9);
  EXPECT_EQ(Download(part, 2, 100), 1);
  EXPECT_EQ(FileBytes(Dump(2)), part);
  EXPECT_EQ(console.writer.Count("[PDA:0]Re Send Command2\r\n"), device->Stats().chunkResends);
  EXPECT_GE(device->Stats().chunkResends, 2u);
}

TEST_F(PalmSimTest, ScaledBusCarriesNoMoreThanItsRate) {
  options.usbBytesPerSecond = 2000;  // times 1 / K730_TIME_SCALE
  auto device = StartDevice();
  const Bytes part = Filled(80 * 4084, 10);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Download(part, 2), 1);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(part.size() / seconds, options.usbBytesPerSecond / ProcessClock().Scale());
  EXPECT_EQ(FileBytes(Dump(2)), part);
}

TEST_F(PalmSimTest, CapacitySmallerThanThePart) {
  options.capacities.resource = 1000;
  auto device = StartDevice();
  EXPECT_EQ(Download(Filled(1001, 1), 2), 0);
  EXPECT_THAT(console.prompt.Messages(), ElementsAre(kCapacityMessage));
  EXPECT_EQ(Download(Filled(1000, 1), 2), 1);
}

TEST_F(PalmSimTest, FlashWriteFailure) {
  options.faults.flashWriteFails = true;
  auto device = StartDevice();
  EXPECT_EQ(Download(Filled(5000, 1), 0), 0);
  EXPECT_EQ(console.writer.Lines().back(), "[ERROE]FLASH Write Failed\r\n");
  EXPECT_FALSE(Exists(Dump(0)));
}

TEST_F(PalmSimTest, UnplugInTheMiddle) {
  options.faults.unplugAfterChunks = 5;
  auto device = StartDevice();
  EXPECT_EQ(Download(Filled(20 * 4084, 1), 6), 0);
  EXPECT_TRUE(device->WaitUnplugged(5000));
  EXPECT_FALSE(Exists(device->SocketPath()));
  EXPECT_FALSE(Exists(Dump(6)));
  EXPECT_EQ(console.writer.Count("[PDA:0]RAM Download OK\r\n"), 0u);
  // Plugged in again, it takes a part too short to meet the fault.
  ASSERT_TRUE(device->Plug());
  const Bytes part = Filled(3 * 4084, 1);
  EXPECT_EQ(Download(part, 6), 1);
  EXPECT_EQ(FileBytes(Dump(6)), part);
}

TEST_F(PalmSimTest, PortKeptOpenIsReopenedForTheNextRun) {
  // Device mode PDA leaves the port open after a Resource download; the next
  // run opens it again and must reach the device.
  auto device = StartDevice();
  SocketPalmTransport transport(palmDir.Path());
  PalmUsbPort port(&transport);
  const Bytes resource = Filled(9000, 3);
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(port.Open(SimulatedPalmDeviceName(9), kPalmCreatorId), 1);
    ImageView view(resource.data(), static_cast<uint32_t>(resource.size()));
    PdaJob job{0, &console, &port, &view, mode::kPdaResource, mode::kPda, nullptr};
    EXPECT_EQ(PdaWorker(job).result, 1);
    EXPECT_TRUE(port.IsOpen());
  }
  EXPECT_EQ(device->Stats().partitionsFlashed, 2u);
  port.Close();
}

TEST_F(PalmSimTest, AbsentDeviceDoesNotOpen) {
  SocketPalmTransport transport(palmDir.Path());
  PalmUsbPort port(&transport);
  EXPECT_EQ(port.Open(SimulatedPalmDeviceName(9), kPalmCreatorId), 0);
  EXPECT_EQ(port.Open("garbage", kPalmCreatorId), 0);
  auto device = StartDevice();
  EXPECT_EQ(port.Open("palm9", kPalmCreatorId), 1);
  port.Close();
}

TEST_F(PalmSimTest, CloseFromAnotherThreadEndsABlockedReceive) {
  auto device = StartDevice();
  SocketPalmTransport transport(palmDir.Path());
  PalmUsbPort port(&transport);
  ASSERT_EQ(port.Open(SimulatedPalmDeviceName(9), kPalmCreatorId), 1);
  uint32_t received = 99;
  std::thread reader([&] {
    uint8_t buffer[30];
    received = port.Receive(buffer, 30);  // the device says nothing unasked
  });
  // Wait until the device has the connection, then close under the reader.
  while (device->Stats().connections == 0) std::this_thread::yield();
  EXPECT_EQ(port.Close(), 1);
  reader.join();
  EXPECT_EQ(received, 0u);
}

class WatchRecorder {
 public:
  void operator()(uint32_t event, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({event, name});
    changed_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return events_.size() >= count; });
  }
  std::vector<std::pair<uint32_t, std::string>> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<uint32_t, std::string>> events_;
};

TEST_F(PalmSimTest, DirectoryWatcherReportsArrivalAndRemoval) {
  options.number = 3;
  PalmDeviceSim present(options);
  ASSERT_TRUE(present.Plug());
  WatchRecorder recorder;
  auto watcher = MakeDirectoryPalmWatcher(palmDir.Path());
  ASSERT_TRUE(watcher->Start([&](uint32_t e, const std::string& n) { recorder(e, n); }, true));
  ASSERT_TRUE(recorder.WaitFor(1));

  options.number = 12;
  PalmDeviceSim arriving(options);
  ASSERT_TRUE(arriving.Plug());
  ASSERT_TRUE(recorder.WaitFor(2));
  arriving.Unplug();
  ASSERT_TRUE(recorder.WaitFor(3));
  watcher->Stop();

  const auto events = recorder.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].first, msg::DBT_DEVICEARRIVAL);
  EXPECT_EQ(DeviceNumberFromName(events[0].second), 3u);
  EXPECT_EQ(events[1].first, msg::DBT_DEVICEARRIVAL);
  EXPECT_EQ(DeviceNumberFromName(events[1].second), 12u);
  EXPECT_EQ(events[2].first, msg::DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(events[2].second, events[1].second);

  // The name the watcher gives opens the device.
  SocketPalmTransport transport(palmDir.Path());
  PalmUsbPort port(&transport);
  EXPECT_EQ(port.Open(events[0].second, kPalmCreatorId), 1);
  port.Close();
}

TEST_F(PalmSimTest, EnvironmentChoosesTheSimulatedDevices) {
  ::setenv("K730_PALM_DIR", palmDir.Path().c_str(), 1);
  auto transport = MakePalmTransport();
  auto watcher = MakePalmDeviceWatcher();
  ::unsetenv("K730_PALM_DIR");
  WatchRecorder recorder;
  ASSERT_TRUE(watcher->Start([&](uint32_t e, const std::string& n) { recorder(e, n); }, false));
  auto device = StartDevice();
  ASSERT_TRUE(recorder.WaitFor(1));
  watcher->Stop();
  PalmUsbPort port(transport.get());
  ASSERT_EQ(port.Open(recorder.Events()[0].second, kPalmCreatorId), 1);
  const Bytes part = Filled(5000, 11);
  ImageView view(part.data(), 5000);
  PdaJob job{0, &console, &port, &view, kTargetResource, mode::kPda, nullptr};
  EXPECT_EQ(DownloadPartition(job), 1);
  EXPECT_EQ(FileBytes(Dump(2)), part);
  port.Close();
}

TEST_F(PalmSimTest, TcpHandheldsFollowTheListingAndTakeADownload) {
  std::vector<const PalmDeviceSim*> devices;
  std::mutex devicesMutex;
  sim::TcpListing listing([&] {
    std::map<uint32_t, uint16_t> present;
    std::lock_guard<std::mutex> lock(devicesMutex);
    for (const PalmDeviceSim* d : devices)
      if (d->TcpPort() != 0) present[d->Number()] = d->TcpPort();
    return present;
  });
  options.tcp = true;
  options.onPresenceChange = [&] { listing.Changed(); };
  PalmDeviceSim device(options);
  {
    std::lock_guard<std::mutex> lock(devicesMutex);
    devices.push_back(&device);
  }
  std::string error;
  ASSERT_TRUE(listing.Start(0, error)) << error;
  test::ScopedEnv tcp("K730_PALM_TCP", "127.0.0.1:" + std::to_string(listing.Port()));
  auto transport = MakePalmTransport();
  auto watcher = MakePalmDeviceWatcher();
  WatchRecorder recorder;
  ASSERT_TRUE(watcher->Start([&](uint32_t e, const std::string& n) { recorder(e, n); }, true));
  ASSERT_TRUE(device.Plug());
  ASSERT_TRUE(recorder.WaitFor(1));
  const std::string name = recorder.Events()[0].second;
  EXPECT_TRUE(IsTcpPalmDeviceName(name));
  EXPECT_EQ(DeviceNumberFromName(name), 9u);

  PalmUsbPort port(transport.get());
  ASSERT_EQ(port.Open(name, kPalmCreatorId), 1);
  const Bytes part = Filled(70000, 12);
  ImageView view(part.data(), static_cast<uint32_t>(part.size()));
  PdaJob job{0, &console, &port, &view, kTargetResource, mode::kPda, nullptr};
  EXPECT_EQ(DownloadPartition(job), 1);
  EXPECT_EQ(FileBytes(Dump(2)), part);
  port.Close();

  device.Unplug();
  ASSERT_TRUE(recorder.WaitFor(2));
  watcher->Stop();
  const auto events = recorder.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].first, msg::DBT_DEVICEARRIVAL);
  EXPECT_EQ(events[1], std::make_pair(msg::DBT_DEVICEREMOVECOMPLETE, name));
  // Gone from the listing, the handheld no longer opens.
  EXPECT_EQ(port.Open(name, kPalmCreatorId), 0);
}

TEST(TcpListing, LinesTheTransportReadsAndRefuses) {
  TcpHandhelds handhelds;
  const std::string line = sim::TcpListing::Line({{7, 41234}, {12, 80}});
  ASSERT_EQ(line.back(), '\n');
  ASSERT_TRUE(ParseTcpListingLine(line.substr(0, line.size() - 1), handhelds));
  EXPECT_EQ(handhelds, (TcpHandhelds{{7, 41234}, {12, 80}}));
  ASSERT_TRUE(ParseTcpListingLine("handhelds", handhelds));
  EXPECT_TRUE(handhelds.empty());
  for (const char* bad : {"", "handheld palm7:1", "handhelds palm7", "handhelds palm7:0",
                          "handhelds palm7:65536", "handhelds pal7:5", "handhelds palm7:5x"})
    EXPECT_FALSE(ParseTcpListingLine(bad, handhelds)) << bad;
}

TEST(PalmSimOptions, ByteSizes) {
  uint32_t bytes = 0;
  ASSERT_TRUE(sim::ParseByteSize("21M", bytes));
  EXPECT_EQ(bytes, 21u * 1024 * 1024);
  ASSERT_TRUE(sim::ParseByteSize("128k", bytes));
  EXPECT_EQ(bytes, 131072u);
  ASSERT_TRUE(sim::ParseByteSize("4096", bytes));
  EXPECT_EQ(bytes, 4096u);
  for (const char* bad : {"", "M", "12G", "5000M", "99999999999", "1.5M", "12MM"}) {
    EXPECT_FALSE(sim::ParseByteSize(bad, bytes)) << bad;
  }
}

}  // namespace
}  // namespace k730
