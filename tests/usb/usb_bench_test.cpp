// k730dl on an emulated USB bench: it runs behind umockdev's preload library,
// so its real libusb transport and watcher and its sysfs readers see the
// bench's hubs, modems and handhelds; k730-sim plays the phone halves on the
// modems' pseudo-terminals and the bench's handhelds play the Palm halves.
// The test itself runs behind the preload too (umockdev builds its testbed
// through it).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/usb_bench.h"
#include "sim_harness.h"

namespace k730 {
namespace {

using e2e::BinDir;
using e2e::Count;
using e2e::FileText;
using e2e::SlotLines;
using sim::BenchHandset;
using sim::UsbDeviceKind;

constexpr const char* kIds = "phone 1234 5678 01\npalm 0830 0061\n";
constexpr const char* kNotPalm = "Not a Palm OS Device Interface Notification...\r\n";
constexpr const char* kArrival = "GOT DBT_DEVICEARRIVAL EVENT...\r\n";
// The console's 8 s wait, and with it the hold of a handheld whose modem link
// is late, is 160 ms or more at this scale: room for a link that comes 40 ms
// late. Sanitized builds need longer protocol waits with three handsets and
// the bench's thread on two cores.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kScale = 0.05;
#else
constexpr double kScale = 0.02;
#endif
constexpr uint32_t kLateLinkMs = 40;

BenchHandset Handset(int number, uint32_t linkDelayMs = 0, sim::PalmFaults faults = {}) {
  BenchHandset handset;
  handset.number = number;
  handset.linkDelayMs = linkDelayMs;
  handset.faults = faults;
  return handset;
}

class UsbBenchRun : public ::testing::Test {
 protected:
  void SetUp() override {
    files_.SetTimeScale(kScale);
    std::filesystem::create_directories(files_.Path("kports"));
    std::ofstream(files_.Path("handset-ids.conf")) << kIds;
  }
  void TearDown() override {
    if (mirror_) mirror_->Stop();
    files_.StopSim();
  }

  bool Plug(const std::string& port, UsbDeviceKind kind, uint16_t vendor, uint16_t product) {
    sim::UsbDeviceSpec spec;
    spec.portPath = port;
    spec.kind = kind;
    spec.vendorId = vendor;
    spec.productId = product;
    spec.palm.dumpDirectory = files_.Path("dump");
    std::string error;
    const bool plugged = usb_.Plug(spec, &error);
    EXPECT_TRUE(plugged) << error;
    return plugged;
  }

  // k730-sim's handsets on the bench, the handhelds there from the start.
  void Follow(const std::vector<BenchHandset>& handsets) {
    ASSERT_TRUE(files_.StartSim(static_cast<int>(handsets.size()), handsets.front().number,
                                {"--palm-at-start"}))
        << FileText(files_.Path("sim.err"));
    sim::SimulatorBenchOptions options;
    options.simPortDir = files_.Path("ports");
    options.simPalmDir = files_.Path("palm");
    options.consolePortDir = files_.Path("kports");
    options.dumpDir = files_.Path("dump");
    options.modemVendor = 0x1234;
    options.modemProduct = 0x5678;
    options.palmVendor = 0x0830;
    options.palmProduct = 0x0061;
    options.handsets = handsets;
    mirror_ = std::make_unique<sim::SimulatorOnBench>(usb_, options);
    std::string error;
    ASSERT_TRUE(mirror_->Start(error)) << error;
  }

  // k730dl args, on the bench or on the simulator's own handhelds, as root or as nobody.
  e2e::Bench::DlResult Dl(const std::vector<std::string>& args, bool onBench = true,
                          bool asNobody = false) {
    e2e::ProcessOptions options = files_.DlOptions();
    options.env["K730_PORT_DIR"] = files_.Path("kports");
    options.env["K730_HANDSET_IDS"] = files_.Path("handset-ids.conf");
    if (onBench) {
      options.env.erase("K730_PALM_DIR");
      for (const auto& [name, value] : sim::UmockdevPreloadEnvironment()) options.env[name] = value;
    } else {
      options.env["LD_PRELOAD"] = "";  // off the bench: the real /sys and /dev
    }
#if defined(__SANITIZE_THREAD__)
    // The test's own leave for umockdev's threads is not k730dl's.
    options.env["TSAN_OPTIONS"] = "halt_on_error=1:second_deadlock_stack=1";
#endif
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), BinDir() + "/k730dl");
    if (asNobody)
      argv.insert(argv.begin(),
                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    e2e::Process dl(argv, options);
    e2e::Bench::DlResult result;
    result.status = dl.Wait(e2e::kRunPatience);
    result.out = FileText(options.outPath);
    result.err = FileText(options.errPath);
    return result;
  }

  e2e::Bench files_;
  sim::UsbBench usb_;
  std::unique_ptr<sim::SimulatorOnBench> mirror_;
};

TEST_F(UsbBenchRun, ThreeHandsetsFlashInTheirOwnSlotsBesideDevicesThatAreNotHandhelds) {
  const std::string image = files_.MakeImg();
  // Not handhelds: a listed vendor's other product, an unlisted look-alike, a
  // listed handheld without the system port function, a mouse.
  ASSERT_TRUE(Plug("1-9", UsbDeviceKind::Hub, 0x05e3, 0x0608));
  ASSERT_TRUE(Plug("1-9.1", UsbDeviceKind::BulkDevice, 0x0830, 0x9999));
  ASSERT_TRUE(Plug("1-9.2", UsbDeviceKind::BulkDevice, 0x4321, 0x0001));
  ASSERT_TRUE(Plug("1-9.3", UsbDeviceKind::HandheldNoPsys, 0x0830, 0x0061));
  ASSERT_TRUE(Plug("1-9.4", UsbDeviceKind::Mouse, 0x046d, 0xc077));
  // A handheld on its own: numbered by its address (7) it would land in the
  // slot of COM7.
  ASSERT_TRUE(Plug("1-8", UsbDeviceKind::Handheld, 0x0830, 0x0061));
  ASSERT_EQ(usb_.Address("1-8"), 7);
  // Handset COM6's modem link comes late after every enumeration.
  Follow({Handset(5), Handset(6, kLateLinkMs), Handset(7)});

  const e2e::Bench::DlResult r =
      Dl({"--phone-mode", "normal", "--pda-mode", "all", "--expect", "3", "--yes", image});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  for (int slot = 0; slot < 3; ++slot) {
    SCOPED_TRACE(slot);
    const std::string log = SlotLines(r.out, slot);
    EXPECT_NE(log.find("[PDA:" + std::to_string(slot) + "]Download Completed\r\n"),
              std::string::npos)
        << log;
    // Its handheld at the start, and again after the phone's restart; slot 0
    // also has the lone one.
    EXPECT_EQ(Count(log, kArrival), slot == 0 ? 3u : 2u) << log;
    EXPECT_TRUE(files_.PhoneDumpMatches(5 + slot));
    EXPECT_TRUE(files_.PdaDumpsMatch(5 + slot));
  }
  // Each record names its handheld with the USB serial number sysfs gives.
  const std::string runs = FileText(files_.Path("records/runs.csv"));
  EXPECT_EQ(Count(runs, "&ser_K730-1-"), 3u) << runs;
  const std::string first = SlotLines(r.out, 0);
  EXPECT_EQ(Count(first, kNotPalm), 3u) << first;
  EXPECT_NE(first.find("[PDA]USB device 1-9.3 (0830:0061) offers no Palm OS system port ('psys'): "
                       "left alone\r\n"),
            std::string::npos)
      << first;
  for (const char* port : {"1-9", "1-9.1", "1-9.2", "1-9.4"}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(usb_.Activity(port).opens, 0);
  }
  // Asked for its port functions, then left alone.
  const sim::UsbDeviceActivity noPsys = usb_.Activity("1-9.3");
  EXPECT_EQ(noPsys.controlRequests, 1);
  EXPECT_EQ(noPsys.claims + noPsys.detaches + noPsys.outTransfers, 0);
  EXPECT_EQ(usb_.Activity("1-8").claims, 0);
}

TEST_F(UsbBenchRun, PdaJobsOverUsbfsEndAsOnTheSocketTransport) {
  const std::string dformat = files_.Path("dformat_rq27.bin");
  std::filesystem::copy_file(files_.MakeComponents().ipl, dformat);
  const std::string pda = files_.Path("TOVA.pda");
  const e2e::Bench::Components& c = files_.MakeComponents();
  ASSERT_EQ(files_.RunTool({BinDir() + "/k730-image", "make-pda", "--ipl", c.ipl, "--widebin",
                            c.widebin, "--resource", c.resource, "-o", pda}),
            0);
  sim::PalmFaults unplug;
  unplug.unplugAfterChunks = 5;
  struct Case {
    const char* mode;
    std::string image;
    sim::PalmFaults faults;
    int status;
    std::vector<std::string> lines;
  } cases[] = {
      {"dformat", dformat, {}, 0, {"[PDA:0]USB Port Open\r\n", "[PDA:0]DFormat Start\r\n"}},
      // The handheld leaves with the sixth chunk: the chunk cannot be sent again.
      {"all",
       pda,
       unplug,
       1,
       {"[PDA:0]USB Port Open\r\n", "[PDA:0]RAM Download Start\r\n", "[PDA:0]Re Send Command2\r\n",
        "[PDA:0]Re Send Command3\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    if (mirror_) mirror_->Stop();
    Follow({Handset(3, 0, c.faults)});
    const e2e::Bench::DlResult r =
        Dl({"--device", "pda", "--pda-mode", c.mode, "--expect", "1", c.image});
    EXPECT_EQ(r.status, c.status) << r.err << r.out;
    const std::string log = SlotLines(r.out, 0);
    EXPECT_EQ(e2e::MissingInOrder(log, c.lines), "") << log;
    if (c.status == 0) {
      EXPECT_NE(log.find("DFormat: done"), std::string::npos) << log;
      EXPECT_TRUE(usb_.HandheldStats(mirror_->HandheldPort(0)).dformatPassed);
    } else {
      EXPECT_EQ(Count(log, "[PDA:0]Re Send Command3\r\n"), 11u) << log;
      EXPECT_EQ(log.find("RAM Download OK"), std::string::npos);
    }
    mirror_->Stop();
    files_.StopSim();
    usb_.Unplug(mirror_->HubPort(0));
    std::filesystem::remove(files_.Path("kports/COM3"));
  }
}

TEST_F(UsbBenchRun, ListShowsTheBenchAndWhatStopsASlot) {
  ASSERT_TRUE(Plug("1-9", UsbDeviceKind::Hub, 0x05e3, 0x0608));
  ASSERT_TRUE(Plug("1-9.2", UsbDeviceKind::BulkDevice, 0x4321, 0x0001));
  ASSERT_TRUE(Plug("1-8", UsbDeviceKind::Handheld, 0x0830, 0x0061));
  Follow({Handset(5), Handset(6)});
  ASSERT_TRUE(e2e::WaitFor(
      [&] { return e2e::FileExists(files_.Path("kports/COM6")) && usb_.Plugged("1-3.2"); },
      e2e::kRunPatience));

  e2e::Bench::DlResult r = Dl({"--list"});
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  for (const char* line :
       {"slot 0 COM5", "USB 1-2.1 (1234:5678), handheld: USB 1-2.2", "slot 1 COM6",
        "USB 1-3.2 (0830:0061, address", "USB 1-8 (0830:0061, address",
        "no modem port beside it: arrives in slot 0",
        "USB 1-9.2 (4321:0001): looks like a handheld, not on the handset id list",
        "2 of 2 slots have a usable modem port."})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

  // The simulator's own handhelds, and a user who may not open the ports.
  r = Dl({"--list"}, false);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("handheld: simulated " + files_.Path("palm/palm5.sock")), std::string::npos)
      << r.out;
  ::chmod(files_.Dir().c_str(), 0755);
  r = Dl({"--list"}, false, true);
  EXPECT_EQ(r.status, 1) << r.err << r.out;
  EXPECT_NE(r.out.find("no read/write access to " + files_.Path("kports/COM5")), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("0 of 2 slots have a usable modem port."), std::string::npos) << r.out;

  EXPECT_EQ(Dl({"--list", "extra"}).status, 2);
  mirror_->Stop();
  files_.StopSim();
  std::filesystem::remove_all(files_.Path("kports"));
  r = Dl({"--list"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("No modem port"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace k730
