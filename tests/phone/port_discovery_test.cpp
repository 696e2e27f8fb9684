#include "phone/port_discovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "phone_test_support.h"

namespace k730 {
namespace {

class PortDiscoveryTest : public ::testing::Test {
 protected:
  void Port(const std::string& name, const char* target = "/dev/null") {
    ASSERT_EQ(symlink(target, dir_.File(name).c_str()), 0) << name;
  }
  void Scan() { DiscoverPhonePorts(dir_.Path(), ports_, slots_, comPort_); }

  test::TempDir dir_;
  int ports_[kMaxComPorts];
  int slots_ = -1;
  int comPort_ = -1;
};

TEST_F(PortDiscoveryTest, AscendingDistinctPortsAndTheLastNumberRead) {
  Port("COM9");
  Port("COM5");
  Port("COM05");  // the same port number again keeps its first place
  Port("COM12");
  std::fill(std::begin(ports_), std::end(ports_), 99);
  Scan();
  EXPECT_EQ(slots_, 3);
  EXPECT_EQ(ports_[0], 5);
  EXPECT_EQ(ports_[1], 9);
  EXPECT_EQ(ports_[2], 12);
  for (int i = 3; i < kMaxComPorts; ++i) EXPECT_EQ(ports_[i], 0) << i;
  EXPECT_EQ(comPort_, 12);
}

TEST_F(PortDiscoveryTest, EntriesThatAreNotModemPortsAreSkipped) {
  Port("COM3");
  Port("COM8", "/nonexistent/gone");  // a handset that has just dropped off
  Port("com4");
  Port("COMx");
  Port("COM");
  Port("COM1234567");
  Port("COM6.bak");
  test::WriteFile(dir_.File("COM7"), {0});  // a plain file, not a device
  ASSERT_EQ(mkdir(dir_.File("COM2").c_str(), 0755), 0);
  Scan();
  EXPECT_EQ(slots_, 1);
  EXPECT_EQ(ports_[0], 3);
  EXPECT_EQ(comPort_, 3);
}

TEST_F(PortDiscoveryTest, AtMostSixSlotsAndTenRememberedPorts) {
  for (int n = 1; n <= 12; ++n) Port("COM" + std::to_string(n * 10));
  Scan();
  EXPECT_EQ(slots_, 6);
  for (int i = 0; i < kMaxComPorts; ++i) EXPECT_EQ(ports_[i], (i + 1) * 10);
  EXPECT_EQ(comPort_, 120);
}

TEST_F(PortDiscoveryTest, SevenPortsGiveSixSlots) {
  for (int n = 1; n <= 7; ++n) Port("COM" + std::to_string(n));
  std::array<int, kMaxComPorts> ports{};
  DiscoverPhonePorts(dir_.Path(), ports, slots_, comPort_);
  EXPECT_EQ(slots_, 6);
  EXPECT_EQ(ports[6], 7);  // listed, but no slot drives it
}

TEST_F(PortDiscoveryTest, MissingOrEmptyDirectoryGivesNoSlotsAndKeepsThePortField) {
  comPort_ = 42;
  Scan();
  EXPECT_EQ(slots_, 0);
  EXPECT_EQ(comPort_, 42);
  DiscoverPhonePorts(dir_.File("absent"), ports_, slots_, comPort_);
  EXPECT_EQ(slots_, 0);
  EXPECT_EQ(comPort_, 42);
}

TEST_F(PortDiscoveryTest, EnvironmentNamesTheDirectory) {
  Port("COM4");
  test::ScopedPortDir env(dir_.Path());
  DiscoverPhonePorts(ports_, slots_, comPort_);
  EXPECT_EQ(slots_, 1);
  EXPECT_EQ(ports_[0], 4);
}

TEST(ComPortNumberFromName, AcceptsOnlyComAndDigits) {
  EXPECT_EQ(ComPortNumberFromName("COM7"), 7);
  EXPECT_EQ(ComPortNumberFromName("COM007"), 7);
  EXPECT_EQ(ComPortNumberFromName("COM999999"), 999999);
  EXPECT_EQ(ComPortNumberFromName("COM1000000"), -1);
  EXPECT_EQ(ComPortNumberFromName("COM"), -1);
  EXPECT_EQ(ComPortNumberFromName("COM-1"), -1);
  EXPECT_EQ(ComPortNumberFromName("xCOM1"), -1);
}

}  // namespace
}  // namespace k730
