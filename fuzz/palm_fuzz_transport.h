// A Palm USB transport whose handheld is the fuzz input: every receive takes
// the next bytes of the input (fewer, or none, once it runs out), sends are
// taken whole unless the input's send-failure pattern refuses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "pda/palm_usb_port.h"

namespace k730::fuzz {

class InputTransport : public PalmUsbTransport {
 public:
  static constexpr int kHandle = 3;

  InputTransport(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // Send call n fails (one byte short) when bit n % 8 of mask is set.
  void SetSendFailures(uint8_t mask) { sendFailures_ = mask; }

  int OpenPort(const std::string&, uint32_t) override { return kHandle; }
  void SetTimeouts(int handle, const uint32_t*) override { K730_FUZZ_CHECK(handle == kHandle); }
  void SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) override {
    K730_FUZZ_CHECK(handle == kHandle);
    K730_FUZZ_CHECK(length == 0 || data != nullptr);
    const bool fail = (sendFailures_ >> (sendCalls_++ % 8)) & 1;
    *sent = fail && length > 0 ? length - 1 : length;
    bytesSent_ += *sent;
  }
  void ReceiveBytes(int handle, uint8_t* buffer, uint32_t length, uint32_t* received) override {
    K730_FUZZ_CHECK(handle == kHandle);
    const size_t left = size_ - pos_;
    const uint32_t n = left < length ? static_cast<uint32_t>(left) : length;
    for (uint32_t i = 0; i < n; ++i) buffer[i] = data_[pos_ + i];
    pos_ += n;
    *received = n;
  }
  int ClosePort(int) override { return 1; }

  bool Exhausted() const { return pos_ == size_; }
  uint64_t BytesSent() const { return bytesSent_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  uint8_t sendFailures_ = 0;
  uint32_t sendCalls_ = 0;
  uint64_t bytesSent_ = 0;
};

}  // namespace k730::fuzz
