// Test doubles of the PDA side: a console that records what the worker
// writes, and a transport whose device is played by the test.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/operator_prompt.h"
#include "core/slot_writer.h"
#include "pda/host_file_service.h"
#include "pda/palm_usb_port.h"
#include "pda/pda_job.h"
#include "pda/pda_packets.h"

namespace k730::test {

class RecordingWriter : public SlotWriter {
 public:
  struct Progress {
    int slot;
    uint32_t percent;
  };

  void AppendSlotLog(int slot, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({slot, text});
  }
  void ClearSlotLog(int) override {}
  void SetSlotProgress(int slot, uint32_t, uint32_t percent) override {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back({slot, percent});
  }
  void SetSlotStatus(int, int) override {}
  void EnableGo(bool) override {}

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& line : lines_) texts.push_back(line.second);
    return texts;
  }
  std::vector<int> LineSlots() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int> slots;
    for (const auto& line : lines_) slots.push_back(line.first);
    return slots;
  }
  std::vector<uint32_t> Percents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> p;
    for (const auto& entry : progress_) p.push_back(entry.percent);
    return p;
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (const auto& line : Lines()) n += line == text;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
  std::vector<Progress> progress_;
};

class RecordingPrompt : public OperatorPrompt {
 public:
  MessageAnswer ShowMessage(const std::string& text, MessageIcon, MessageButtons) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(text);
    return MessageAnswer::Ok;
  }
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

class FakeConsole : public PdaConsole {
 public:
  explicit FakeConsole(std::string hostDirectory = ".") : files_(std::move(hostDirectory)) {}
  SlotWriter& Writer() override { return writer; }
  OperatorPrompt& Prompt() override { return prompt; }
  HostFileTable& HostFiles() override { return files_; }
  void PdaDownloadEnded(int slot, int deviceMode, bool stillAttached) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ended.push_back({slot, deviceMode, stillAttached});
  }
  struct Ended {
    int slot;
    int deviceMode;
    bool stillAttached;
  };
  std::vector<Ended> Endings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended;
  }

  RecordingWriter writer;
  RecordingPrompt prompt;

 private:
  HostFileTable files_;
  mutable std::mutex mutex_;
  std::vector<Ended> ended;
};

// A transport whose device is scripted: inbound holds the bytes the device
// has sent; every send is recorded and handed to onSend.
class FakeTransport : public PalmUsbTransport {
 public:
  int OpenPort(const std::string& name, uint32_t creator) override {
    openedName = name;
    openedCreator = creator;
    return openResult;
  }
  void SetTimeouts(int handle, const uint32_t timeouts[2]) override {
    timeoutHandle = handle;
    timeoutValues[0] = timeouts[0];
    timeoutValues[1] = timeouts[1];
    ++setTimeoutCalls;
  }
  void SendBytes(int, const uint8_t* data, uint32_t length, uint32_t* sent) override {
    const int call = sendCalls++;
    if (failAllSends || failSendAt.count(call)) {
      *sent = length > 0 ? length - 1 : 0;
      return;
    }
    if (record) {
      sends.emplace_back(data, data + length);
      stream.insert(stream.end(), data, data + length);
    }
    *sent = length;
    if (onSend) onSend(data, length);
  }
  void ReceiveBytes(int, uint8_t* buffer, uint32_t length, uint32_t* received) override {
    const int call = receiveCalls++;
    if (failReceiveAt.count(call)) {
      // The device's answer is lost on the way.
      for (uint32_t i = 0; i < length && !inbound.empty(); ++i) inbound.pop_front();
      *received = 0;
      return;
    }
    uint32_t n = 0;
    while (n < length && !inbound.empty()) {
      buffer[n++] = inbound.front();
      inbound.pop_front();
    }
    *received = n;
  }
  int ClosePort(int handle) override {
    closedHandles.push_back(handle);
    return closeResult;
  }

  void Push(const std::vector<uint8_t>& bytes) {
    inbound.insert(inbound.end(), bytes.begin(), bytes.end());
  }

  int openResult = 5;
  int closeResult = 1;
  std::string openedName;
  uint32_t openedCreator = 0;
  int timeoutHandle = -2;
  uint32_t timeoutValues[2] = {99, 99};
  int setTimeoutCalls = 0;
  int sendCalls = 0;
  int receiveCalls = 0;
  bool failAllSends = false;
  bool record = true;  // keep every send (off for very large parts)
  std::set<int> failSendAt;
  std::set<int> failReceiveAt;
  std::vector<std::vector<uint8_t>> sends;
  std::vector<uint8_t> stream;  // every byte sent, in order
  std::deque<uint8_t> inbound;
  std::vector<int> closedHandles;
  std::function<void(const uint8_t*, uint32_t)> onSend;
};

// A 30-byte response.
inline std::vector<uint8_t> Response(uint32_t status, const std::vector<uint8_t>& data,
                                     int checksumDelta = 0) {
  std::vector<uint8_t> r(kResponseSize, 0);
  WriteU32LE(&r[0], status);
  WriteU32LE(&r[4], static_cast<uint32_t>(data.size()));
  WriteU32LE(&r[8],
             PacketChecksum(0, data.data(), data.size()) + static_cast<uint32_t>(checksumDelta));
  if (!data.empty()) std::memcpy(&r[12], data.data(), std::min<size_t>(data.size(), 18));
  return r;
}

inline std::vector<uint8_t> Value(uint32_t v) {
  std::vector<uint8_t> d(4);
  WriteU32LE(d.data(), v);
  return d;
}

// A handheld played on a FakeTransport: answers DL_MODE with a capacity,
// acknowledges chunks, and after RAM_END sends the flash reports.
struct FakeHandheld {
  struct Packet {
    uint32_t command;
    std::vector<uint8_t> payload;
  };

  explicit FakeHandheld(FakeTransport& t) : transport(t) {
    transport.onSend = [this](const uint8_t* data, uint32_t length) { OnPacket(data, length); };
  }

  void OnPacket(const uint8_t* data, uint32_t length) {
    if (length < kPacketHeadSize) return;
    Packet p{ReadU32LE(data), std::vector<uint8_t>(data + kPacketHeadSize, data + length)};
    if (!keepRam) p.payload.clear();
    packets.push_back(p);
    switch (p.command) {
      case DL_MODE:
        partTargets.push_back(p.payload.size() == 4 ? ReadU32LE(p.payload.data()) : 0xFFFFFFFF);
        partData.emplace_back();
        transport.Push(Response(1, Value(capacity)));
        break;
      case RAM_DATA:
      case RAM_DATA_AGAIN:
        if (keepRam) {
          if (p.command == RAM_DATA_AGAIN && lastAccepted) ram.resize(ram.size() - lastSize);
          ram.insert(ram.end(), p.payload.begin(), p.payload.end());
          if (!partData.empty()) {
            auto& part = partData.back();
            if (p.command == RAM_DATA_AGAIN && lastAccepted) part.resize(part.size() - lastSize);
            part.insert(part.end(), p.payload.begin(), p.payload.end());
          }
          lastAccepted = true;
          lastSize = p.payload.size();
        }
        transport.Push(Response(1, {}));
        break;
      case RAM_END:
        transport.Push(Response(1, {}));
        for (const auto& bytes : afterRamEnd) transport.Push(bytes);
        break;
      default:
        break;
    }
  }

  std::vector<uint32_t> Commands() const {
    std::vector<uint32_t> c;
    for (const auto& p : packets) c.push_back(p.command);
    return c;
  }

  FakeTransport& transport;
  uint32_t capacity = 64 * 1024 * 1024;
  std::vector<std::vector<uint8_t>> afterRamEnd{Response(1, Value(kFlashWriteDone))};
  std::vector<Packet> packets;
  std::vector<uint8_t> ram;
  std::vector<uint32_t> partTargets;           // target of each DL_MODE
  std::vector<std::vector<uint8_t>> partData;  // RAM bytes after each DL_MODE
  bool keepRam = true;
  bool lastAccepted = false;
  size_t lastSize = 0;
};

}  // namespace k730::test
