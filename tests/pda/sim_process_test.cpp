// The k730-sim program's Palm devices, driven through the environment's
// transport as the downloader drives them.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "../support/temp_dir.h"
#include "core/image_view.h"
#include "pda/palm_device_map.h"
#include "pda/partition_download.h"
#include "pda/pda_packets.h"
#include "pda/socket_palm_transport.h"
#include "pda_fakes.h"

extern char** environ;

namespace k730 {
namespace {

bool WaitForFile(const std::string& path) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  struct stat info {};
  while (::stat(path.c_str(), &info) != 0) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(PalmSimProcess, PalmDevicesAtStartTakePartitions) {
  test::TempDir dir;
  const std::string ports = dir.File("ports");
  const std::string palm = dir.File("palm");
  const std::string dump = dir.File("dump");
  std::vector<std::string> args = {K730_SIM_PATH,
                                   "--handsets",
                                   "2",
                                   "--first-port",
                                   "5",
                                   "--port-dir",
                                   ports,
                                   "--palm-dir",
                                   palm,
                                   "--dump",
                                   dump,
                                   "--palm-at-start",
                                   "--bigrom-size",
                                   "300K",
                                   "--baud",
                                   "0",
                                   "--usb-rate",
                                   "0"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, K730_SIM_PATH, nullptr, nullptr, argv.data(), environ), 0);

  const bool appeared = WaitForFile(palm + "/palm5.sock") && WaitForFile(palm + "/palm6.sock");
  if (appeared) {
    SocketPalmTransport transport(palm);
    test::FakeConsole console(dir.Path());
    PalmUsbPort port(&transport);
    EXPECT_EQ(port.Open(SimulatedPalmDeviceName(6), kPalmCreatorId), 1);
    std::vector<uint8_t> part(300 * 1024);
    for (size_t i = 0; i < part.size(); ++i) part[i] = static_cast<uint8_t>(i * 7 / 3);
    ImageView view(part.data(), static_cast<uint32_t>(part.size()));
    PdaJob job{1, &console, &port, &view, kTargetWidebinBigRom, mode::kPda, nullptr};
    EXPECT_EQ(DownloadPartition(job), 1);
    std::ifstream in(dump + "/pda6-6.bin", std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), part);

    // One byte more than the capacity the option set.
    part.push_back(0);
    view.Attach(part.data(), static_cast<uint32_t>(part.size()));
    EXPECT_EQ(DownloadPartition(job), 0);
    EXPECT_EQ(console.prompt.Messages().size(), 1u);
    port.Close();
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(appeared);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat info {};
  EXPECT_NE(::stat((palm + "/palm5.sock").c_str(), &info), 0);  // removed on the way out
}

}  // namespace
}  // namespace k730
