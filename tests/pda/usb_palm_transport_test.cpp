#include "pda/usb_palm_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "pda/palm_device_map.h"

namespace k730 {
namespace {

// A USB device played by the test, with an error to inject at every step.
struct FakeDevice {
  std::vector<uint8_t> connectionInfo;
  int controlResult = 0;  // used when connectionInfo is empty
  int interfaceOfEndpoint = 0;
  int bulkPairResult = kUsbSuccess;
  int driverActive = 0;
  int detachResult = kUsbSuccess;
  int claimResult = kUsbSuccess;
  std::deque<std::vector<uint8_t>> inPackets;  // what each IN transfer delivers
  int inError = kUsbErrorTimeout;              // when no packet is left
  size_t outLimit = SIZE_MAX;                  // bytes an OUT transfer takes
  int outError = kUsbSuccess;
  std::vector<uint8_t> out;
  std::vector<uint8_t> endpointsUsed;
  int detached = 0;
  int claimed = -1;
  int released = -1;
};

class FakeLink : public UsbDeviceLink {
 public:
  explicit FakeLink(FakeDevice& d) : d_(d) {}
  int ControlIn(uint8_t requestType, uint8_t request, uint16_t, uint16_t, uint8_t* data,
                uint16_t length, uint32_t) override {
    EXPECT_EQ(requestType, 0xC2);
    EXPECT_EQ(request, 0x04);
    if (d_.connectionInfo.empty()) return d_.controlResult;
    const size_t n = std::min<size_t>(length, d_.connectionInfo.size());
    std::memcpy(data, d_.connectionInfo.data(), n);
    return static_cast<int>(n);
  }
  int InterfaceOfEndpoint(uint8_t) override { return d_.interfaceOfEndpoint; }
  int FirstBulkPair(int& number, uint8_t& in, uint8_t& out) override {
    if (d_.bulkPairResult < 0) return d_.bulkPairResult;
    number = 1;
    in = 0x83;
    out = 0x04;
    return kUsbSuccess;
  }
  int KernelDriverActive(int) override { return d_.driverActive; }
  int DetachKernelDriver(int) override {
    ++d_.detached;
    return d_.detachResult;
  }
  int ClaimInterface(int number) override {
    if (d_.claimResult == kUsbSuccess) d_.claimed = number;
    return d_.claimResult;
  }
  int ReleaseInterface(int number) override {
    d_.released = number;
    return kUsbSuccess;
  }
  int BulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred,
                   uint32_t) override {
    d_.endpointsUsed.push_back(endpoint);
    *transferred = 0;
    if (endpoint & 0x80) {
      if (d_.inPackets.empty()) return d_.inError;
      auto packet = d_.inPackets.front();
      d_.inPackets.pop_front();
      if (static_cast<int>(packet.size()) > length) return kUsbErrorOverflow;
      std::memcpy(data, packet.data(), packet.size());
      *transferred = static_cast<int>(packet.size());
      return kUsbSuccess;
    }
    const size_t n = std::min<size_t>(static_cast<size_t>(length), d_.outLimit);
    d_.out.insert(d_.out.end(), data, data + n);
    *transferred = static_cast<int>(n);
    return n < static_cast<size_t>(length) ? d_.outError : kUsbSuccess;
  }

 private:
  FakeDevice& d_;
};

class FakeBus : public UsbBus {
 public:
  explicit FakeBus(FakeDevice& d) : d_(d) {}
  std::vector<UsbDeviceId> ListDevices() override { return devices; }
  std::unique_ptr<UsbDeviceLink> OpenDevice(const UsbDeviceId&, int* error) override {
    if (openError != kUsbSuccess) {
      *error = openError;
      return nullptr;
    }
    return std::make_unique<FakeLink>(d_);
  }
  std::vector<UsbDeviceId> devices{{1, 9, 0x0830, 0x0061}, {1, 10, 0x1234, 0x0001}};
  int openError = kUsbSuccess;

 private:
  FakeDevice& d_;
};

std::vector<uint8_t> ExtInfo(bool differ, std::vector<std::pair<uint32_t, uint8_t>> ports) {
  std::vector<uint8_t> info{static_cast<uint8_t>(ports.size()), differ ? uint8_t{1} : uint8_t{0}, 0,
                            0};
  for (const auto& [creator, value] : ports) {
    info.push_back(static_cast<uint8_t>(creator >> 24));
    info.push_back(static_cast<uint8_t>(creator >> 16));
    info.push_back(static_cast<uint8_t>(creator >> 8));
    info.push_back(static_cast<uint8_t>(creator));
    info.push_back(differ ? 0 : value);  // port
    info.push_back(differ ? value : 0);  // endpoints: IN high nibble, OUT low
    info.push_back(0);
    info.push_back(0);
  }
  return info;
}

constexpr uint32_t kSync = 0x73796E63;  // another port function

TEST(PalmConnectionInfo, FindsThePsysFunction) {
  PalmEndpoints e;
  ASSERT_TRUE(ParseExtConnectionInfo(ExtInfo(false, {{kSync, 1}, {kPalmCreatorId, 2}}).data(), 20,
                                     kPalmCreatorId, e));
  EXPECT_EQ(e.inEndpoint, 0x82);
  EXPECT_EQ(e.outEndpoint, 0x02);
  const auto differ = ExtInfo(true, {{kPalmCreatorId, 0x21}});
  ASSERT_TRUE(ParseExtConnectionInfo(differ.data(), differ.size(), kPalmCreatorId, e));
  EXPECT_EQ(e.inEndpoint, 0x82);
  EXPECT_EQ(e.outEndpoint, 0x01);
}

TEST(PalmConnectionInfo, MalformedRepliesAreRefused) {
  PalmEndpoints e;
  const auto info = ExtInfo(false, {{kSync, 1}, {kPalmCreatorId, 2}});
  EXPECT_FALSE(ParseExtConnectionInfo(info.data(), 19, kPalmCreatorId, e));  // cut short
  EXPECT_FALSE(ParseExtConnectionInfo(info.data(), 3, kPalmCreatorId, e));
  EXPECT_FALSE(ParseExtConnectionInfo(nullptr, 0, kPalmCreatorId, e));
  const auto onlySync = ExtInfo(false, {{kSync, 1}});
  EXPECT_FALSE(ParseExtConnectionInfo(onlySync.data(), onlySync.size(), kPalmCreatorId, e));
  const auto zero = ExtInfo(false, {{kPalmCreatorId, 0}});
  EXPECT_FALSE(ParseExtConnectionInfo(zero.data(), zero.size(), kPalmCreatorId, e));
  auto many = ExtInfo(false, {{kPalmCreatorId, 1}});
  many[0] = 200;  // claims more ports than it carries; psys is the first, found in range
  EXPECT_TRUE(ParseExtConnectionInfo(many.data(), many.size(), kPalmCreatorId, e));
  many[4] = 'x';
  EXPECT_FALSE(ParseExtConnectionInfo(many.data(), many.size(), kPalmCreatorId, e));
}

class PalmUsbTransportTest : public ::testing::Test {
 protected:
  PalmUsbTransportTest() {
    auto b = std::make_unique<FakeBus>(device);
    bus = b.get();
    transport = std::make_unique<UsbPalmTransport>(std::move(b), 50);
    device.connectionInfo = ExtInfo(false, {{kSync, 1}, {kPalmCreatorId, 2}});
  }
  int Open(uint8_t address = 9) {
    return transport->OpenPort(UsbPalmDeviceName(address, 1, address, 0x0830, 0x0061),
                               kPalmCreatorId);
  }

  FakeDevice device;
  FakeBus* bus;
  std::unique_ptr<UsbPalmTransport> transport;
};

TEST_F(PalmUsbTransportTest, OpenClaimsThePsysInterfaceAndMovesBytes) {
  device.driverActive = 1;
  const int handle = Open();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(device.detached, 1);
  EXPECT_EQ(device.claimed, 0);
  const uint8_t packet[5] = {1, 2, 3, 4, 5};
  uint32_t sent = 0;
  transport->SendBytes(handle, packet, 5, &sent);
  EXPECT_EQ(sent, 5u);
  EXPECT_EQ(device.endpointsUsed.back(), 0x02);

  // One 40-byte bulk packet serves a 30-byte receive and the next one's first 10 bytes.
  std::vector<uint8_t> incoming(40);
  for (int i = 0; i < 40; ++i) incoming[i] = static_cast<uint8_t>(i);
  device.inPackets = {incoming, std::vector<uint8_t>(20, 0xEE)};
  uint8_t buffer[30];
  uint32_t received = 0;
  transport->ReceiveBytes(handle, buffer, 30, &received);
  EXPECT_EQ(received, 30u);
  EXPECT_EQ(buffer[29], 29);
  transport->ReceiveBytes(handle, buffer, 30, &received);
  EXPECT_EQ(received, 30u);
  EXPECT_EQ(buffer[0], 30);
  EXPECT_EQ(buffer[10], 0xEE);
  EXPECT_EQ(device.endpointsUsed.back(), 0x82);

  EXPECT_EQ(transport->ClosePort(handle), 1);
  EXPECT_EQ(device.released, 0);
  EXPECT_EQ(transport->ClosePort(handle), 0);
  transport->SendBytes(handle, packet, 5, &sent);
  EXPECT_EQ(sent, 0u);
}

TEST_F(PalmUsbTransportTest, SilentDeviceGivesAShortReceive) {
  const int handle = Open();
  ASSERT_GE(handle, 0);
  device.inPackets = {std::vector<uint8_t>(12, 1)};
  uint8_t buffer[30];
  uint32_t received = 99;
  transport->ReceiveBytes(handle, buffer, 30, &received);
  EXPECT_EQ(received, 12u);
}

TEST_F(PalmUsbTransportTest, EmptySuccessfulTransfersEndLikeATimeOut) {
  const int handle = Open();
  ASSERT_GE(handle, 0);
  device.inPackets = {std::vector<uint8_t>(5, 1)};
  device.inError = kUsbSuccess;  // then zero-length packets, for ever
  device.outLimit = 0;
  device.outError = kUsbSuccess;
  uint8_t buffer[30] = {};
  uint32_t count = 99;
  transport->ReceiveBytes(handle, buffer, 30, &count);
  EXPECT_EQ(count, 5u);
  transport->SendBytes(handle, buffer, 30, &count);
  EXPECT_EQ(count, 0u);
}

TEST_F(PalmUsbTransportTest, UnpluggedDeviceGivesShortTransfers) {
  const int handle = Open();
  ASSERT_GE(handle, 0);
  device.inError = kUsbErrorNoDevice;
  device.outLimit = 3;
  device.outError = kUsbErrorNoDevice;
  uint8_t buffer[30] = {};
  uint32_t count = 99;
  transport->ReceiveBytes(handle, buffer, 30, &count);
  EXPECT_EQ(count, 0u);
  transport->SendBytes(handle, buffer, 30, &count);
  EXPECT_EQ(count, 3u);
}

TEST_F(PalmUsbTransportTest, EveryOpenFailureGivesMinusOne) {
  EXPECT_EQ(transport->OpenPort("not a usb name", kPalmCreatorId), -1);
  EXPECT_EQ(transport->LastOpenError(), kUsbErrorInvalidParam);
  EXPECT_EQ(Open(10), -1);  // not on the handset id list
  EXPECT_EQ(transport->LastOpenError(), kUsbErrorNoDevice);
  // The list decides, not the vendor.
  auto listed = std::make_unique<FakeBus>(device);
  UsbPalmTransport other(std::move(listed), 50, ParseHandsetIds("palm 1234 0001\n"));
  EXPECT_EQ(other.OpenPort(UsbPalmDeviceName(9, 1, 9, 0x0830, 0x0061), kPalmCreatorId), -1);
  EXPECT_GE(other.OpenPort(UsbPalmDeviceName(10, 1, 10, 0x1234, 0x0001), kPalmCreatorId), 0);
  EXPECT_EQ(Open(11), -1);  // not on the bus
  bus->openError = kUsbErrorAccess;
  EXPECT_EQ(Open(), -1);
  EXPECT_EQ(transport->LastOpenError(), kUsbErrorAccess);
  bus->openError = kUsbSuccess;

  device.interfaceOfEndpoint = kUsbErrorNotFound;
  EXPECT_EQ(Open(), -1);
  device.interfaceOfEndpoint = 0;

  device.driverActive = kUsbErrorIo;
  EXPECT_EQ(Open(), -1);
  EXPECT_EQ(transport->LastOpenError(), kUsbErrorIo);
  device.driverActive = kUsbErrorNotSupported;  // platforms without kernel drivers
  EXPECT_GE(Open(), 0);

  device.driverActive = 1;
  device.detachResult = kUsbErrorBusy;
  EXPECT_EQ(Open(), -1);
  EXPECT_EQ(transport->LastOpenError(), kUsbErrorBusy);
  device.driverActive = 0;

  device.claimResult = kUsbErrorBusy;
  EXPECT_EQ(Open(), -1);
  EXPECT_EQ(transport->LastOpenError(), kUsbErrorBusy);
}

TEST_F(PalmUsbTransportTest, WithoutConnectionInfoTheFirstBulkPairIsUsed) {
  device.connectionInfo.clear();
  device.controlResult = kUsbErrorPipe;
  const int handle = Open();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(device.claimed, 1);
  uint8_t byte = 7;
  uint32_t sent = 0;
  transport->SendBytes(handle, &byte, 1, &sent);
  EXPECT_EQ(device.endpointsUsed.back(), 0x04);

  device.bulkPairResult = kUsbErrorNotFound;
  EXPECT_EQ(Open(), -1);
  EXPECT_EQ(transport->LastOpenError(), kUsbErrorNotFound);
  // One that answers without 'psys' is not taken by its bulk pair.
  device.bulkPairResult = kUsbSuccess;
  device.connectionInfo = ExtInfo(false, {{kSync, 1}});
  EXPECT_EQ(Open(), -1);
  EXPECT_EQ(device.claimed, 1);
}

TEST(PalmUsbResultName, NamesEveryCode) {
  EXPECT_STREQ(UsbResultName(kUsbErrorNoDevice), "no such device");
  EXPECT_STREQ(UsbResultName(-1234), "other error");
}

}  // namespace
}  // namespace k730
