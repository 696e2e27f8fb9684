#include "phone/serial_port.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "phone_test_support.h"

namespace k730 {
namespace {

using test::ScopedPortDir;
using test::ScriptedPeer;
using test::TempDir;

TEST(DeviceString, IsUpperCasedAndReadAtFixedPositions) {
  PortSettings s;
  ASSERT_TRUE(ParseDeviceString("\\\\.\\com7:115200,n,8,0", s));
  EXPECT_EQ(s.portName, "\\\\.\\COM7");
  EXPECT_EQ(s.baudRate, 115200u);
  EXPECT_EQ(s.parity, kParityNone);
  EXPECT_EQ(s.dataBits, 8);

  const struct {
    char letter;
    uint8_t code;
  } parities[] = {{'N', kParityNone}, {'o', kParityOdd},   {'E', kParityEven},
                  {'m', kParityMark}, {'S', kParitySpace}, {'X', kParitySpace}};
  for (const auto& p : parities) {
    ASSERT_TRUE(ParseDeviceString(std::string("\\\\.\\COM12:9600,") + p.letter + ",7,0", s));
    EXPECT_EQ(s.parity, p.code) << p.letter;
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(s.portName, "\\\\.\\COM12");
  }
  EXPECT_FALSE(ParseDeviceString("\\\\.\\COM7", s));
  EXPECT_FALSE(ParseDeviceString("\\\\.\\COM7:115200", s));
  EXPECT_FALSE(ParseDeviceString("\\\\.\\COM7:115200,N", s));
  EXPECT_EQ(PhoneSettingsString(7), "\\\\.\\COM7:115200,N,8,0");
}

TEST(DeviceString, PortNamesMapIntoThePortDirectory) {
  ScopedPortDir dir("/tmp/ports");
  EXPECT_EQ(PortDevicePath("\\\\.\\COM7"), "/tmp/ports/COM7");
  EXPECT_EQ(PortDevicePath("\\\\.\\com12"), "/tmp/ports/COM12");
  EXPECT_EQ(PortDevicePath("COM3"), "/tmp/ports/COM3");
  EXPECT_EQ(PortDevicePath("\\\\.\\COM"), "");
  EXPECT_EQ(PortDevicePath("\\\\.\\COM1/../x"), "");
  EXPECT_EQ(PortDevicePath("/dev/ttyS0"), "");
}

class SerialPortTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedPortDir portDir_{dir_.Path()};
};

TEST_F(SerialPortTest, LowerCaseTwoDigitPortOpensRawAndClosesCleanly) {
  ScriptedPeer peer(dir_.Path(), 12);
  SerialPort port;
  port.Setup(2048, 2048);
  ASSERT_EQ(port.Open("\\\\.\\com12:115200,n,8,0"), 1);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.Settings().portName, "\\\\.\\COM12");

  termios tio{};
  ASSERT_EQ(tcgetattr(port.Handle(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B115200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(tio.c_cflag & PARENB);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
  EXPECT_FALSE(tio.c_iflag & (IXON | ICRNL));

  // Control characters cross unchanged in both directions.
  const uint8_t binary[] = {0x11, 0x13, 0x0D, 0x0A, 0x00, 0x7E, 0x03, 0xFF};
  ASSERT_EQ(port.Write(binary, sizeof binary), 1);
  EXPECT_EQ(peer.ReadAvailable(sizeof binary),
            std::vector<uint8_t>(binary, binary + sizeof binary));
  peer.Send(std::vector<uint8_t>(binary, binary + sizeof binary));
  ASSERT_TRUE(test::WaitUntil([&] { return port.BytesWaiting() == sizeof binary; }));
  uint8_t got[16] = {};
  ASSERT_EQ(port.Read(got, 0), sizeof binary);
  EXPECT_EQ(0, memcmp(got, binary, sizeof binary));

  EXPECT_EQ(port.Close(), 1);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Close(), 0);  // nothing left to close
}

TEST_F(SerialPortTest, SecondOpenOfTheSamePortFails) {
  ScriptedPeer peer(dir_.Path(), 3);
  SerialPort first, second;
  first.Setup(1024, 1024);
  second.Setup(1024, 1024);
  ASSERT_EQ(first.Open(PhoneSettingsString(3)), 1);
  EXPECT_EQ(second.Open(PhoneSettingsString(3)), 0);
  EXPECT_FALSE(second.IsOpen());
  ASSERT_EQ(first.Close(), 1);
  EXPECT_EQ(second.Open(PhoneSettingsString(3)), 1);
}

TEST_F(SerialPortTest, OpenRefusesMissingPortsAndNonTerminals) {
  SerialPort port;
  port.Setup(1024, 1024);
  EXPECT_EQ(port.Open(PhoneSettingsString(4)), 0);
  EXPECT_FALSE(port.IsOpen());
  test::WriteFile(dir_.File("COM5"), {1, 2, 3});
  EXPECT_EQ(port.Open(PhoneSettingsString(5)), 0);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Open("COM5"), 0);  // no settings
}

TEST_F(SerialPortTest, ReadTakesWhatIsWaitingAtMost1024AtATime) {
  ScriptedPeer peer(dir_.Path(), 7);
  SerialPort port;
  port.Setup(4096, 4096);
  ASSERT_EQ(port.Open(PhoneSettingsString(7)), 1);
  uint8_t buffer[2048];
  EXPECT_EQ(port.Read(buffer, 0), 0u);  // nothing waiting: no wait for the time-out

  std::vector<uint8_t> burst(1500);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7);
  peer.Send(burst);
  ASSERT_TRUE(test::WaitUntil([&] { return port.BytesWaiting() == burst.size(); }));
  ASSERT_EQ(port.Read(buffer, 0), 1024u);
  ASSERT_EQ(port.Read(buffer + 1024, 0), 476u);
  EXPECT_EQ(0, memcmp(buffer, burst.data(), burst.size()));
  EXPECT_EQ(port.Read(buffer, 0), 0u);

  // The caller's buffer bounds the request too; the rest stays queued.
  peer.Send({1, 2, 3, 4, 5});
  ASSERT_TRUE(test::WaitUntil([&] { return port.BytesWaiting() == 5; }));
  EXPECT_EQ(port.Read(buffer, 0, 2), 2u);
  EXPECT_EQ(port.Read(buffer, 0), 3u);
  EXPECT_EQ(buffer[0], 3);
}

TEST_F(SerialPortTest, SmallInputQueueBoundsTheRequest) {
  ScriptedPeer peer(dir_.Path(), 8);
  SerialPort port;
  port.Setup(100, 100);
  ASSERT_EQ(port.Open(PhoneSettingsString(8)), 1);
  peer.Send(std::vector<uint8_t>(300, 0x55));
  ASSERT_TRUE(test::WaitUntil([&] { return port.BytesWaiting() == 300; }));
  uint8_t buffer[1024];
  EXPECT_EQ(port.Read(buffer, 0), 100u);
}

TEST_F(SerialPortTest, BytesWrittenJustBeforeCloseStillArrive) {
  ScriptedPeer peer(dir_.Path(), 10);
  SerialPort port;
  port.Setup(2048, 2048);
  ASSERT_EQ(port.Open(PhoneSettingsString(10)), 1);
  const std::string text = "AT$USBDN\r\n";
  ASSERT_EQ(
      port.Write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())),
      1);
  ASSERT_EQ(port.Close(), 1);  // the peer has not read anything yet
  EXPECT_EQ(peer.ReadAvailable(text.size()), std::vector<uint8_t>(text.begin(), text.end()));
}

TEST_F(SerialPortTest, OpenFlushesStaleInput) {
  ScriptedPeer peer(dir_.Path(), 9);
  SerialPort port;
  port.Setup(1024, 1024);
  ASSERT_EQ(port.Open(PhoneSettingsString(9)), 1);
  ASSERT_EQ(port.Close(), 1);
  peer.Send({9, 9, 9});  // arrives while nobody holds the port
  ASSERT_EQ(port.Open(PhoneSettingsString(9)), 1);
  uint8_t buffer[16];
  EXPECT_EQ(port.Read(buffer, 0), 0u);
}

TEST_F(SerialPortTest, CloseAfterTheDeviceHasGoneFailsAndKeepsThePortUntilReopened) {
  auto peer = std::make_unique<ScriptedPeer>(dir_.Path(), 6);
  SerialPort port;
  port.Setup(1024, 1024);
  ASSERT_EQ(port.Open(PhoneSettingsString(6)), 1);
  peer->Unplug();
  uint8_t buffer[16];
  EXPECT_EQ(port.Read(buffer, 0), 0u);
  EXPECT_EQ(port.Close(), 0);
  EXPECT_TRUE(port.IsOpen());

  // The handset comes back on a fresh terminal; the same object reopens it.
  peer.reset();
  peer = std::make_unique<ScriptedPeer>(dir_.Path(), 6);
  ASSERT_EQ(port.Open(PhoneSettingsString(6)), 1);
  peer->Send({0x42});
  ASSERT_TRUE(port.WaitRxChar(SerialPort::kReadTimeoutMs));
  EXPECT_EQ(port.Read(buffer, 0), 1u);
  EXPECT_EQ(port.Close(), 1);
}

TEST_F(SerialPortTest, OpeningAgainWithoutCloseReleasesTheEarlierDescriptor) {
  ScriptedPeer peer(dir_.Path(), 2);
  SerialPort port;
  port.Setup(1024, 1024);
  ASSERT_EQ(port.Open(PhoneSettingsString(2)), 1);
  ASSERT_EQ(port.Open(PhoneSettingsString(2)), 1);  // would fail if the old lock were kept
  ASSERT_EQ(port.Close(), 1);
  SerialPort other;
  other.Setup(1024, 1024);
  EXPECT_EQ(other.Open(PhoneSettingsString(2)), 1);
}

TEST_F(SerialPortTest, ReadWithACountWaitsForTheFirstByte) {
  ScriptedPeer peer(dir_.Path(), 11);
  SerialPort port;
  port.Setup(1024, 1024);
  ASSERT_EQ(port.Open(PhoneSettingsString(11)), 1);
  std::thread sender([&] { peer.Send({1, 2, 3}); });
  uint8_t buffer[8];
  uint32_t n = 0;
  for (int tries = 0; n < 3 && tries < 100; ++tries) n += port.Read(buffer + n, 8 - n);
  sender.join();
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_FALSE(port.WaitRxChar(1));  // nothing more
}

}  // namespace
}  // namespace k730
