// The listings behind the "Modem Ports" and "Device Manager" windows and the
// ModemManager warning, on a sysfs, /proc and udev tree built by the test;
// the handset id list and the udev rule generated from it.
#include "console/device_listing.h"

#include "console/usb_sysfs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace k730;

namespace {

class Tree {
 public:
  Tree() {
    char name[] = "/tmp/k730-listing-XXXXXX";
    root_ = mkdtemp(name);
  }
  ~Tree() { fs::remove_all(root_); }
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  void Write(const std::string& relative, const std::string& text) const {
    fs::create_directories(fs::path(Path(relative)).parent_path());
    std::ofstream(Path(relative)) << text;
  }
  void Link(const std::string& relative, const std::string& target) const {
    fs::create_directories(fs::path(Path(relative)).parent_path());
    fs::create_symlink(target, Path(relative));
  }
  void Dir(const std::string& relative) const { fs::create_directories(Path(relative)); }

 private:
  std::string root_;
};

std::string CharNumbers(const std::string& node) {
  struct stat st {};
  stat(node.c_str(), &st);
  return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

// A USB device in the tree's sysfs with one interface whose tty is the
// character device `node` stands for (by its major:minor).
void AddUsbModem(const Tree& t, const std::string& sysName, const std::string& vendor,
                 const std::string& product, const std::string& node, const std::string& tty) {
  const std::string device = "sys/devices/pci0000:00/usb1/1-1/" + sysName;
  t.Write(device + "/idVendor", vendor + "\n");
  t.Write(device + "/idProduct", product + "\n");
  t.Write(device + "/busnum", "1\n");
  t.Write(device + "/devnum", "7\n");
  t.Write(device + "/manufacturer", "Maker\n");
  t.Write(device + "/product", "Handset\n");
  t.Write(device + "/serial", "SN0042\n");
  const std::string interface = device + "/" + sysName + ":1.1";
  t.Write(interface + "/bInterfaceNumber", "01\n");
  t.Dir(interface + "/tty/" + tty);
  t.Link("sys/bus/usb/devices/" + sysName, t.Path(device));
  if (!node.empty()) t.Link("sys/dev/char/" + CharNumbers(node), t.Path(interface + "/tty/" + tty));
}

}  // namespace

TEST(ModemPorts, AHandheldIsPairedWithTheModemBehindTheSameHub) {
  Tree t;
  AddUsbModem(t, "1-1.4.1", "1234", "5678", "/dev/null", "ttyACM0");
  t.Link("ports/COM3", "/dev/null");
  AddUsbModem(t, "1-1.5.1", "1234", "5678", "/dev/zero", "ttyACM1");
  t.Link("ports/COM4", "/dev/zero");
  // A hub with two modems cannot tell which is the handheld's.
  AddUsbModem(t, "1-1.7.1", "1234", "5678", "/dev/full", "ttyACM2");
  t.Link("ports/COM5", "/dev/full");
  AddUsbModem(t, "1-1.7.3", "1234", "5678", "/dev/random", "ttyACM3");
  t.Link("ports/COM6", "/dev/random");
  // One modem with two port links: its lowest number.
  AddUsbModem(t, "1-1.8.1", "1234", "5678", "/dev/urandom", "ttyACM4");
  t.Link("ports/COM9", "/dev/urandom");
  t.Link("ports/COM7", "/dev/urandom");

  const std::string ports = t.Path("ports");
  const std::string sys = t.Path("sys");
  EXPECT_EQ(k730::ModemPortBesideUsbDevice("1-1.4.2", ports, sys), 3u);
  EXPECT_EQ(k730::ModemPortBesideUsbDevice("1-1.5.3", ports, sys), 4u);
  EXPECT_EQ(k730::ModemPortBesideUsbDevice("1-1.8.2", ports, sys), 7u);
  EXPECT_FALSE(k730::ModemPortBesideUsbDevice("1-1.7.2", ports, sys));
  EXPECT_FALSE(k730::ModemPortBesideUsbDevice("1-1.6.2", ports, sys));  // no modem there
  EXPECT_FALSE(k730::ModemPortBesideUsbDevice("1-1", ports, sys));      // not below a hub
  EXPECT_FALSE(k730::ModemPortBesideUsbDevice("1-1.4.1", ports, sys));  // the modem itself
  EXPECT_FALSE(k730::ModemPortBesideUsbDevice("1-1.4.2", t.Path("none"), sys));
}

TEST(HandsetIds, ParsesKindsWildcardsAndReportsBadLines) {
  std::vector<std::string> errors;
  const HandsetIds ids = ParseHandsetIds(
      "# comment\n"
      "phone 1234 5678 01 bench phone   # trailing\n"
      "palm  0830 *\n"
      "phone abcd * -\n"
      "modem 1234 5678\n"
      "phone 12345 0001\n"
      "palm 0001 zz\n"
      "slot COM3 1-2.1\n"
      "slot COM4 1-2\n"
      "slot COM3 1-3.1\n"
      "slot COM0 1-4.1\n"
      "slot COM5 1-2.1\n"
      "slot COM6 2-0\n"
      "slot COM7 1-5.1 x\n",
      &errors);
  ASSERT_EQ(ids.ids.size(), 3u);
  EXPECT_EQ(ids.ids[0].vendor, 0x1234);
  EXPECT_EQ(ids.ids[0].product, 0x5678);
  EXPECT_EQ(ids.ids[0].interface, 1);
  EXPECT_EQ(ids.ids[0].description, "bench phone");
  EXPECT_EQ(ids.ids[1].product, -1);
  EXPECT_EQ(ids.ids[2].interface, -1);
  // The bench map keeps one name per port and one port per name.
  ASSERT_EQ(ids.slots.size(), 2u);
  EXPECT_EQ(ids.slots[0].comNumber, 3);
  EXPECT_EQ(ids.slots[0].portPath, "1-2.1");
  EXPECT_EQ(ids.slots[1].portPath, "1-2");
  ASSERT_EQ(errors.size(), 8u);
  EXPECT_EQ(errors[0].rfind("line 5:", 0), 0u);
  EXPECT_EQ(errors[3], "line 10: COM3 is mapped twice");
  EXPECT_EQ(errors[5], "line 12: USB port 1-2.1 is mapped twice");
  EXPECT_EQ(errors[7].rfind("line 14:", 0), 0u);

  EXPECT_TRUE(ids.IsPhone(0x1234, 0x5678));
  EXPECT_FALSE(ids.IsPhone(0x1234, 0x5679));
  EXPECT_TRUE(ids.IsPhone(0xabcd, 0x0001));
  EXPECT_TRUE(ids.IsPalm(0x0830, 0x0060));
  // Only the list decides; an unreadable one falls back to what the shipped file enables.
  EXPECT_FALSE(HandsetIds{}.IsPalm(0x082d, 0x0100));
  EXPECT_FALSE(ids.IsPalm(0x1234, 0x5678));
  const LoadedHandsetIds missing = LoadHandsetIds("/nonexistent/handset-ids.conf");
  EXPECT_FALSE(missing.readable);
  EXPECT_TRUE(missing.ids.IsPalm(0x082d, 0x0100));
  EXPECT_FALSE(missing.ids.IsPalm(0x054c, 0x0100));
  ASSERT_EQ(HandsetIdsWarnings(missing).size(), 1u);
  EXPECT_NE(HandsetIdsWarnings(missing)[0].find("/nonexistent/handset-ids.conf"),
            std::string::npos);
}

TEST(ModemPorts, ListsComEntriesInPortOrderWithTheirUsbDevice) {
  Tree t;
  AddUsbModem(t, "1-1.4", "1234", "5678", "/dev/null", "ttyACM3");
  t.Link("ports/COM3", "/dev/null");
  t.Link("ports/COM10", "/dev/zero");
  t.Link("ports/COM1", t.Path("nowhere"));
  t.Write("ports/COMx", "");
  t.Write("ports/readme", "");

  const std::vector<ModemPortEntry> ports = ListModemPorts(t.Path("ports"), t.Path("sys"));
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].number, 1);
  EXPECT_FALSE(ports[0].present);
  EXPECT_EQ(ports[0].target, t.Path("nowhere"));
  EXPECT_EQ(ports[1].number, 3);
  EXPECT_TRUE(ports[1].present);
  EXPECT_EQ(ports[1].target, "/dev/null");
  EXPECT_EQ(ports[1].node, "/dev/null");
  ASSERT_TRUE(ports[1].usb.has_value());
  EXPECT_EQ(ports[1].usb->sysName, "1-1.4");
  EXPECT_EQ(ports[1].usb->vendorId, "1234");
  EXPECT_EQ(ports[1].usb->productId, "5678");
  EXPECT_EQ(ports[1].usb->serial, "SN0042");
  EXPECT_EQ(ports[1].usb->bus, 1);
  EXPECT_EQ(ports[1].usb->address, 7);
  EXPECT_EQ(ports[1].usb->interfaceNumber, 1);
  EXPECT_EQ(ports[2].number, 10);
  EXPECT_TRUE(ports[2].present);
  EXPECT_FALSE(ports[2].usb.has_value());  // not on USB in this tree

  EXPECT_TRUE(ListModemPorts(t.Path("missing"), t.Path("sys")).empty());
}

TEST(HandsetDevices, ListsListedPhonesAndPalmOsDevicesOnly) {
  Tree t;
  AddUsbModem(t, "1-1.4", "1234", "5678", "", "ttyACM0");
  AddUsbModem(t, "1-1.5", "0830", "0061", "", "ttyUSB9");
  AddUsbModem(t, "1-2", "046d", "c077", "", "ttyACM5");  // someone's mouse
  t.Dir("sys/bus/usb/devices/1-1.4:1.1");                // an interface entry
  const HandsetIds ids = ParseHandsetIds("phone 1234 5678 01\npalm 0830 *\n");

  const std::vector<HandsetDevice> devices = ListHandsetDevices(ids, t.Path("sys"));
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].kind, HandsetDevice::Kind::PhoneModem);
  EXPECT_EQ(devices[0].usb.sysName, "1-1.4");
  EXPECT_EQ(devices[0].usb.product, "Handset");
  EXPECT_EQ(devices[0].ports, std::vector<std::string>{"ttyACM0"});
  EXPECT_EQ(devices[1].kind, HandsetDevice::Kind::PalmOs);
  EXPECT_EQ(devices[1].usb.vendorId, "0830");

  t.Write("palm/palm3.sock", "");
  t.Write("palm/notes.txt", "");
  const std::vector<HandsetDevice> simulated = ListSimulatedPalmDevices(t.Path("palm"));
  ASSERT_EQ(simulated.size(), 1u);
  EXPECT_EQ(simulated[0].path, t.Path("palm/palm3.sock"));
  EXPECT_TRUE(ListSimulatedPalmDevices("").empty());
}

TEST(ModemManager, WarnsOnlyWhenItRunsAndAUsbPortIsNotMarked) {
  Tree t;
  AddUsbModem(t, "1-1.4", "1234", "5678", "/dev/null", "ttyACM3");
  t.Link("ports/COM3", "/dev/null");
  t.Link("ports/COM4", "/dev/zero");  // not on USB: ModemManager leaves it alone
  t.Write("proc/1/comm", "systemd\n");
  t.Write("proc/self/comm", "ModemManager\n");  // not a process directory
  t.Dir("udev");
  const std::string ports = t.Path("ports"), proc = t.Path("proc"), sys = t.Path("sys"),
                    udev = t.Path("udev");

  EXPECT_FALSE(ModemManagerRunning(proc));
  EXPECT_EQ(ModemManagerWarning(ports, proc, sys, udev), "");

  t.Write("proc/812/comm", "ModemManager\n");
  EXPECT_TRUE(ModemManagerRunning(proc));
  EXPECT_EQ(ModemManagerWarning(ports, proc, sys, udev),
            "[WARNING]ModemManager is running and may take COM3: install the udev rule "
            "70-k730-handsets.rules\r\n");

  t.Write("udev/c" + CharNumbers("/dev/null"), "S:k730/COM3\nE:ID_MM_DEVICE_IGNORE=0\n");
  EXPECT_FALSE(MarkedForModemManagerToIgnore("/dev/null", udev));
  t.Write("udev/c" + CharNumbers("/dev/null"), "S:k730/COM3\nE:ID_MM_DEVICE_IGNORE=1\n");
  EXPECT_TRUE(MarkedForModemManagerToIgnore("/dev/null", udev));
  EXPECT_EQ(ModemManagerWarning(ports, proc, sys, udev), "");
}

TEST(ParallelRestarts, AllowedOnlyForSimulatedPortsAndPortsNamedByUsbPort) {
  Tree t;
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  ASSERT_EQ(grantpt(pty), 0);
  ASSERT_EQ(unlockpt(pty), 0);
  t.Link("ports/COM3", "/dev/null");   // a real character device
  t.Link("ports/COM5", ptsname(pty));  // a simulated handset
  t.Dir("udev");
  const std::string ports = t.Path("ports"), udev = t.Path("udev");
  const std::string numbers = "udev/c" + CharNumbers("/dev/null");

  EXPECT_EQ(k730::ParallelRestartObstacle({5}, ports, udev), "");
  EXPECT_EQ(k730::ParallelRestartObstacle({5, 3}, ports, udev),
            "COM3 is not named by its USB port (udev has no K730_BENCH_MAPPED=1 for it)");
  t.Write(numbers, "S:k730/COM3\nE:K730_BENCH_MAPPED=0\n");
  EXPECT_NE(k730::ParallelRestartObstacle({3}, ports, udev), "");
  t.Write(numbers, "S:k730/COM3\nE:ID_MM_DEVICE_IGNORE=1\nE:K730_BENCH_MAPPED=1\n");
  EXPECT_EQ(k730::ParallelRestartObstacle({3, 5}, ports, udev), "");
  EXPECT_EQ(k730::UdevProperty(t.Path("ports/COM3"), "ID_MM_DEVICE_IGNORE", udev), "1");
  EXPECT_EQ(k730::ParallelRestartObstacle({3, 6}, ports, udev), "COM6 is not present");
  close(pty);
}

TEST(UdevRule, GeneratedFromTheIdList) {
  const std::string rules = UdevRulesFor(
      ParseHandsetIds("phone 1234 5678 1 a\nphone abcd * -\npalm 830 *\npalm 0e67 0002\n"), "ids");
  EXPECT_NE(rules.find("SUBSYSTEM==\"tty\", ENV{ID_VENDOR_ID}==\"1234\", "
                       "ENV{ID_MODEL_ID}==\"5678\", ENV{ID_USB_INTERFACE_NUM}==\"01\", "
                       "SYMLINK+=\"k730/COM%n\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", "
                       "TAG+=\"uaccess\""),
            std::string::npos)
      << rules;
  EXPECT_NE(rules.find("SUBSYSTEM==\"tty\", ENV{ID_VENDOR_ID}==\"abcd\", SYMLINK+="),
            std::string::npos);
  EXPECT_NE(rules.find("ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"0830\", "
                       "TAG+=\"uaccess\""),
            std::string::npos);
  EXPECT_NE(rules.find("ATTR{idVendor}==\"0e67\", ATTR{idProduct}==\"0002\""), std::string::npos);
  // Removal events skip the rules; the label closes the file.
  EXPECT_NE(rules.find("ACTION==\"remove\", GOTO=\"k730_end\""), std::string::npos);
  EXPECT_NE(rules.find("LABEL=\"k730_end\""), std::string::npos);
  EXPECT_EQ(rules.find("K730_BENCH_MAPPED"), std::string::npos);
}

// A mapped modem is named by its USB port, marked for the parallel restarts,
// and leaves the rules before the numbered link could name it too.
TEST(UdevRule, BenchMapNamesTheModemBelowEachPort) {
  const std::string mapped =
      "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", ENV{K730_BENCH_MAPPED}=\"1\", TAG+=\"uaccess\", "
      "GOTO=\"k730_end\"\n";
  struct Case {
    const char* list;
    std::vector<std::string> lines;
  } cases[] = {
      {"slot COM3 1-2.1\n",
       {"SUBSYSTEM==\"tty\", KERNELS==\"1-2.1\", SYMLINK+=\"k730/COM3" + mapped}},
      {"phone 1234 5678 01\nslot COM12 3-1.4.2\n",
       {"SUBSYSTEM==\"tty\", KERNELS==\"3-1.4.2\", ENV{ID_VENDOR_ID}==\"1234\", "
        "ENV{ID_MODEL_ID}==\"5678\", ENV{ID_USB_INTERFACE_NUM}==\"01\", SYMLINK+=\"k730/COM12" +
        mapped}},
      {"phone 1234 * -\nphone 4321 0001\nslot COM4 1-3\nslot COM5 1-4\n",
       {"KERNELS==\"1-3\", ENV{ID_VENDOR_ID}==\"1234\", SYMLINK+=\"k730/COM4" + mapped,
        "KERNELS==\"1-3\", ENV{ID_VENDOR_ID}==\"4321\", ENV{ID_MODEL_ID}==\"0001\", "
        "SYMLINK+=\"k730/COM4" +
            mapped,
        "KERNELS==\"1-4\", ENV{ID_VENDOR_ID}==\"1234\", SYMLINK+=\"k730/COM5" + mapped}},
  };
  for (const Case& c : cases) {
    const std::string rules = UdevRulesFor(ParseHandsetIds(c.list), "ids");
    for (const std::string& line : c.lines) EXPECT_NE(rules.find(line), std::string::npos) << rules;
    // Every mapped rule comes before the numbered links.
    const size_t numbered = rules.find("k730/COM%n");
    if (numbered != std::string::npos) {
      EXPECT_LT(rules.rfind(mapped), numbered) << rules;
    }
  }
}
