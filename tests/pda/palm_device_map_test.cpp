#include "pda/palm_device_map.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "pda/palm_device_watcher.h"
#include "pda_fakes.h"

namespace k730 {
namespace {

using test::RecordingPrompt;

TEST(PalmDeviceName, NumberStartsAtCharacter37) {
  for (uint32_t n : {0u, 7u, 12u, 450u, 123456u}) {
    const std::string sim = SimulatedPalmDeviceName(n);
    EXPECT_EQ(sim.substr(37, std::to_string(n).size()), std::to_string(n));
    EXPECT_EQ(DeviceNumberFromName(sim), n);
    EXPECT_TRUE(IsSimulatedPalmDeviceName(sim));
    EXPECT_FALSE(IsUsbPalmDeviceName(sim));
  }
  const std::string usb = UsbPalmDeviceName(17, 3, 17, 0x0830, 0x0061);
  EXPECT_EQ(DeviceNumberFromName(usb), 17u);
  EXPECT_TRUE(IsUsbPalmDeviceName(usb));
  uint8_t bus = 0;
  uint8_t address = 0;
  ASSERT_TRUE(ParseUsbPalmDeviceName(usb, bus, address));
  EXPECT_EQ(bus, 3);
  EXPECT_EQ(address, 17);
  EXPECT_FALSE(ParseUsbPalmDeviceName(SimulatedPalmDeviceName(3), bus, address));
  EXPECT_FALSE(ParseUsbPalmDeviceName(usb.substr(0, 39), bus, address));
  // A unit's serial number rides in real names only, without separators.
  for (const auto& [name, serial] : std::vector<std::pair<std::string, std::string>>{
           {UsbPalmDeviceName(3, 1, 9, 0x0830, 0x0061, "P7#b&c d"), "P7bcd"},
           {usb, ""},
           {R"(\\?\USB#VID_0830&PID_0061#PX7-0042#{a5dcbf10})", "PX7-0042"},
           {R"(\\?\usb#vid_0830&pid_0061#5&2a3b&0&1#{a5dcbf10})", ""},
           {SimulatedPalmDeviceName(3), ""}})
    EXPECT_EQ(UsbSerialOfPalmDeviceName(name), serial) << name;
}

TEST(PalmDeviceName, RealDevicesAreNumberedByTheirHandsetsModemPort) {
  EXPECT_EQ(UsbSysName(1, nullptr, 0), "1");
  const uint8_t ports[] = {2, 4, 1};
  EXPECT_EQ(UsbSysName(3, ports, 3), "3-2.4.1");

  UsbPalmDeviceNames names;
  const std::string paired = names.Arrived(1, 9, 12, 0x0830, 0x0061);
  EXPECT_EQ(DeviceNumberFromName(paired), 12u);
  uint8_t bus = 0;
  uint8_t address = 0;
  ASSERT_TRUE(ParseUsbPalmDeviceName(paired, bus, address));
  EXPECT_EQ(bus, 1);
  EXPECT_EQ(address, 9);
  // Unpaired: 0, never the address (33 could be a slot's port). The removal
  // keeps the arrival's name.
  const std::string alone = names.Arrived(1, 33, std::nullopt, 0x0830, 0x0061);
  EXPECT_EQ(DeviceNumberFromName(alone), 0u);
  EXPECT_EQ(names.Left(1, 9), paired);
  EXPECT_EQ(names.Left(1, 33), alone);
  // Gone once: a second removal, or one never seen arriving, has no name.
  EXPECT_FALSE(names.Left(1, 9));
}

TEST(PalmDeviceName, DeviceNumberEdgeCases) {
  const std::string prefix(37, 'x');
  EXPECT_EQ(DeviceNumberFromName(prefix + "9abc"), 9u);
  EXPECT_EQ(DeviceNumberFromName(prefix + "a9"), 0u);
  EXPECT_EQ(DeviceNumberFromName(prefix), 0u);
  EXPECT_EQ(DeviceNumberFromName("short"), 0u);
  EXPECT_EQ(DeviceNumberFromName(prefix + "12345", 3), 123u);
  EXPECT_EQ(DeviceNumberFromName(prefix + std::string(30, '9')), 999999999u);
}

TEST(ArrivalSlot, LooksTheNumberUpAmongTheLivePorts) {
  const int ports[10] = {5, 7, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ArrivalSlot(mode::kPdaPhone, ports, 2, 7), 1);
  EXPECT_EQ(ArrivalSlot(mode::kPdaPhone, ports, 2, 5), 0);
  EXPECT_EQ(ArrivalSlot(mode::kPdaPhone, ports, 2, 9), 0);
  // Entries beyond the live slots do not count.
  EXPECT_EQ(ArrivalSlot(mode::kPdaPhone, ports, 1, 7), 0);
  EXPECT_EQ(ArrivalSlot(mode::kPda, ports, 2, 7), 0);
  const int six[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(ArrivalSlot(mode::kPdaPhone, six, 6, 6), 5);
  EXPECT_EQ(ArrivalSlot(mode::kPdaPhone, six, 9, 8), 0);  // never beyond six slots
}

TEST(RemovalSlot, ComputesFromTheNumberAndTheBase) {
  RecordingPrompt prompt;
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 4, 2, 5, prompt), 1);
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 4, 2, 4, prompt), 0);
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 4, 2, 2, prompt), 0);
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 4, 2, 6, prompt), 2);  // k equal to the count passes
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 4, 2, 450, prompt), 0);
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 0, 6, 520, prompt), 5);
  EXPECT_EQ(RemovalSlot(mode::kPda, 4, 2, 99, prompt), 0);
  EXPECT_TRUE(prompt.Messages().empty());
}

TEST(RemovalSlot, OverMaxPortIsRefusedWithTheMessageBox) {
  RecordingPrompt prompt;
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 4, 2, 7, prompt), kNoSlot);
  EXPECT_THAT(
      prompt.Messages(),
      ::testing::ElementsAre("[ERROR] PDA devID over MAXPORT.\n Check & Change Packet Ver 10"));
}

TEST(RemovalSlot, NeverASlotOutsideTheSix) {
  RecordingPrompt prompt;
  // All six live and k == 6: refused like any other slot beyond MAXPORT.
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 0, 6, 6, prompt), kNoSlot);
  EXPECT_EQ(prompt.Messages().size(), 1u);
  // Numbers of 100 and more: silently dropped.
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 0, 6, 700, prompt), kNoSlot);
  EXPECT_EQ(RemovalSlot(mode::kPdaPhone, 0, 6, 999999999, prompt), kNoSlot);
  EXPECT_EQ(prompt.Messages().size(), 1u);
}

TEST(PalmSocketName, OnlyPalmNumberSock) {
  uint32_t n = 0;
  EXPECT_TRUE(ParsePalmSocketName("palm7.sock", n));
  EXPECT_EQ(n, 7u);
  EXPECT_TRUE(ParsePalmSocketName("palm123.sock", n));
  EXPECT_EQ(n, 123u);
  for (const char* bad : {"palm.sock", "palmx.sock", "palm7.sockx", ".palm7.sock", "palm7.tmp",
                          "palm1234567890.sock", "Palm7.sock"}) {
    EXPECT_FALSE(ParsePalmSocketName(bad, n)) << bad;
  }
}

}  // namespace
}  // namespace k730
