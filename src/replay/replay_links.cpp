#include "replay/replay_links.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "pda/palm_device_map.h"
#include "replay/recording_session.h"

namespace k730::rec {
namespace {

// "SEND (12 bytes)" for messages.
std::string Describe(const Record& record) {
  std::string text = RecordTypeName(record.type);
  switch (record.type) {
    case RecordType::Send:
    case RecordType::Receive:
      text += " (" + std::to_string(record.payload.size() - 4) + " bytes)";
      break;
    default:
      break;
  }
  return text;
}

size_t DataLength(const Record& record) {
  return record.payload.size() > 4 ? record.payload.size() - 4 : 0;
}

const uint8_t* Data(const Record& record) {
  return record.payload.data() + 4;
}

// The end of a recording reached by a host operation: a damaged or truncated
// end was reported already; a clean one means the host went on where the
// recorded run did not.
void PastTheEnd(ReplayLink& link, const std::string& what) {
  if (!link.ReportBadEnd()) link.Diverge(what + " after the end of the recording");
}

}  // namespace

std::string CompareHostBytes(const uint8_t* expected, size_t expectedLength, const uint8_t* got,
                             size_t gotLength, uint64_t streamOffset) {
  const size_t common = std::min(expectedLength, gotLength);
  for (size_t i = 0; i < common; ++i) {
    if (expected[i] == got[i]) continue;
    char text[200];
    std::snprintf(text, sizeof text,
                  "host-to-device byte %" PRIu64
                  " (byte %zu of this %zu-byte send): expected 0x%02X, got 0x%02X",
                  streamOffset + i, i, gotLength, expected[i], got[i]);
    return text;
  }
  if (expectedLength == gotLength) return "";
  char text[200];
  std::snprintf(text, sizeof text,
                "the host sent %zu bytes where the recording has %zu (host-to-device byte %" PRIu64
                ")",
                gotLength, expectedLength, streamOffset + common);
  return text;
}

// ---------------------------------------------------------------------------
// Serial

int ReplaySerialPort::OpenPort(const std::string& portName, uint32_t baudRate, uint8_t parity,
                               uint8_t dataBits) {
  RememberSettings(portName, baudRate, parity, dataBits);
  uint32_t number = 0;
  const std::string token = SerialToken(portName, number);
  if (token_.empty() || token != token_) {
    token_ = token;
    open_.store(false, std::memory_order_release);
    link_ = session_->Claim(LinkKind::Serial, number);
  }
  if (!link_) return 0;
  std::lock_guard<std::mutex> lock(link_->Mutex());
  link_->SkipPolls();
  const Record* r = link_->Peek();
  if (!r) {
    PastTheEnd(*link_, "the host opened the port");
    return 0;
  }
  if (r->type != RecordType::Open) {
    link_->Diverge("the host opened the port where the recording has " + Describe(*r));
    return 0;
  }
  const int result = PayloadI32(*r, 0);
  open_.store(PayloadU32(*r, 4) != 0, std::memory_order_release);
  link_->Consume();
  return result;
}

int ReplaySerialPort::Close() {
  if (!link_) return 0;
  std::lock_guard<std::mutex> lock(link_->Mutex());
  link_->SkipPolls();
  const Record* r = link_->Peek();
  if (r && r->type == RecordType::Close) {
    const int result = PayloadI32(*r, 0);
    open_.store(PayloadU32(*r, 4) != 0, std::memory_order_release);
    link_->Consume();
    return result;
  }
  // Closing a closed port does nothing, recorded or not.
  if (!IsOpen()) return 0;
  if (!r) {
    PastTheEnd(*link_, "the host closed the port");
  } else {
    link_->Diverge("the host closed the port where the recording has " + Describe(*r));
  }
  open_.store(false, std::memory_order_release);
  return 1;
}

int ReplaySerialPort::Write(const uint8_t* data, uint32_t length) {
  if (!link_) return 0;
  std::lock_guard<std::mutex> lock(link_->Mutex());
  link_->SkipPolls();
  const Record* r = link_->Peek();
  if (!r) {
    PastTheEnd(*link_, "the host sent " + std::to_string(length) + " bytes");
    return 0;
  }
  if (r->type != RecordType::Send) {
    link_->Diverge("the host sent " + std::to_string(length) + " bytes where the recording has " +
                   Describe(*r));
    return 0;
  }
  const std::string difference =
      CompareHostBytes(Data(*r), DataLength(*r), data, length, link_->HostOffset());
  if (!difference.empty()) {
    link_->Diverge(difference);
    return 0;
  }
  const int result = PayloadI32(*r, 0);
  link_->AdvanceHostOffset(length);
  link_->Consume();
  return result;
}

uint32_t ReplaySerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t bufferSize) {
  if (!link_) return 0;
  std::lock_guard<std::mutex> lock(link_->Mutex());
  const Record* r = link_->Peek();
  // A read the recorded run did not make finds nothing waiting.
  if (!r || r->type != RecordType::Receive) return 0;
  size_t& offset = link_->DataOffset();
  const size_t remaining = DataLength(*r) - std::min(offset, DataLength(*r));
  const uint32_t queue = InQueueSize() ? InQueueSize() : kStagingSize;
  const uint32_t limit = IsOpen() ? std::min({count ? count : queue, kStagingSize, bufferSize}) : 0;
  const size_t give = std::min<size_t>(remaining, limit);
  if (give) std::memcpy(buffer, Data(*r) + offset, give);
  if (give == remaining) {
    link_->Consume();
  } else {
    link_->Pace();
    offset += give;
  }
  return static_cast<uint32_t>(give);
}

bool ReplaySerialPort::WaitRxCharUntil(std::chrono::steady_clock::time_point) {
  if (!link_ || !IsOpen()) return false;
  std::lock_guard<std::mutex> lock(link_->Mutex());
  const Record* r = link_->Peek();
  if (!r) return false;
  if (r->type == RecordType::Receive) return DataLength(*r) > link_->DataOffset();
  if (r->type == RecordType::Wait) link_->Consume();
  return false;
}

uint32_t ReplaySerialPort::BytesWaiting() const {
  if (!link_ || !IsOpen()) return 0;
  std::lock_guard<std::mutex> lock(link_->Mutex());
  const Record* r = link_->Peek();
  if (!r || r->type != RecordType::Receive) return 0;
  const size_t length = DataLength(*r);
  return static_cast<uint32_t>(length - std::min(length, link_->DataOffset()));
}

// ---------------------------------------------------------------------------
// Palm

int ReplayPalmTransport::OpenPort(const std::string& deviceName, uint32_t) {
  std::shared_ptr<ReplayLink> link =
      session_->Claim(LinkKind::Palm, DeviceNumberFromName(deviceName));
  if (!link) return -1;
  std::lock_guard<std::mutex> lock(link->Mutex());
  const Record* r = link->Peek();
  if (!r) {
    PastTheEnd(*link, "the host opened the device");
    return -1;
  }
  if (r->type != RecordType::Open) {
    link->Diverge("the host opened the device where the recording has " + Describe(*r));
    return -1;
  }
  const std::string recorded = PayloadText(*r, 8);
  if (recorded != deviceName) {
    link->Diverge("the host opened \"" + deviceName + "\" where the recording opened \"" +
                  recorded + "\"");
    return -1;
  }
  const int result = PayloadI32(*r, 0);
  link->Consume();
  if (result < 0) return -1;
  return links_.Add(std::move(link));
}

void ReplayPalmTransport::SetTimeouts(int handle, const uint32_t timeouts[2]) {
  std::shared_ptr<ReplayLink> link = links_.Find(handle);
  if (!link) return;
  std::lock_guard<std::mutex> lock(link->Mutex());
  const Record* r = link->Peek();
  if (!r) {
    PastTheEnd(*link, "the host set the time-outs");
    return;
  }
  if (r->type != RecordType::Timeouts) {
    link->Diverge("the host set the time-outs where the recording has " + Describe(*r));
    return;
  }
  const uint32_t readMs = PayloadU32(*r, 0);
  const uint32_t writeMs = PayloadU32(*r, 4);
  if (readMs != timeouts[0] || writeMs != timeouts[1]) {
    link->Diverge("the host set time-outs " + std::to_string(timeouts[0]) + "/" +
                  std::to_string(timeouts[1]) + " ms where the recording has " +
                  std::to_string(readMs) + "/" + std::to_string(writeMs) + " ms");
    return;
  }
  link->Consume();
}

void ReplayPalmTransport::SendBytes(int handle, const uint8_t* data, uint32_t length,
                                    uint32_t* sent) {
  *sent = 0;
  std::shared_ptr<ReplayLink> link = links_.Find(handle);
  if (!link) return;
  std::lock_guard<std::mutex> lock(link->Mutex());
  const Record* r = link->Peek();
  if (!r) {
    PastTheEnd(*link, "the host sent " + std::to_string(length) + " bytes");
    return;
  }
  if (r->type != RecordType::Send) {
    link->Diverge("the host sent " + std::to_string(length) + " bytes where the recording has " +
                  Describe(*r));
    return;
  }
  const std::string difference =
      CompareHostBytes(Data(*r), DataLength(*r), data, length, link->HostOffset());
  if (!difference.empty()) {
    link->Diverge(difference);
    return;
  }
  *sent = std::min(PayloadU32(*r, 0), length);
  link->AdvanceHostOffset(length);
  link->Consume();
}

void ReplayPalmTransport::ReceiveBytes(int handle, uint8_t* buffer, uint32_t length,
                                       uint32_t* received) {
  *received = 0;
  std::shared_ptr<ReplayLink> link = links_.Find(handle);
  if (!link) return;
  std::lock_guard<std::mutex> lock(link->Mutex());
  const Record* r = link->Peek();
  if (!r) {
    PastTheEnd(*link, "the host waited for " + std::to_string(length) + " bytes");
    return;
  }
  if (r->type != RecordType::Receive) {
    link->Diverge("the host waited for " + std::to_string(length) +
                  " bytes where the recording has " + Describe(*r));
    return;
  }
  const uint32_t asked = PayloadU32(*r, 0);
  if (asked != length) {
    link->Diverge("the host asked for " + std::to_string(length) +
                  " bytes where the recording asked for " + std::to_string(asked));
    return;
  }
  const size_t give = std::min<size_t>(DataLength(*r), length);
  if (give) std::memcpy(buffer, Data(*r), give);
  *received = static_cast<uint32_t>(give);
  link->Consume();
}

int ReplayPalmTransport::ClosePort(int handle) {
  std::shared_ptr<ReplayLink> link = links_.Find(handle);
  if (!link) return 0;
  int result = 1;
  {
    std::lock_guard<std::mutex> lock(link->Mutex());
    const Record* r = link->Peek();
    if (r && r->type == RecordType::Close) {
      result = PayloadI32(*r, 0);
      link->Consume();
    } else if (!r) {
      PastTheEnd(*link, "the host closed the device");
    } else {
      link->Diverge("the host closed the device where the recording has " + Describe(*r));
    }
  }
  if (result != 0) links_.Take(handle);
  return result;
}

// ---------------------------------------------------------------------------
// Watcher

bool ReplayPalmWatcher::Start(PalmDeviceCallback callback, bool) {
  if (thread_.joinable()) return false;
  stop_.store(false, std::memory_order_release);
  session_->WatchStarted();
  std::promise<void> started;
  std::future<void> ready = started.get_future();
  thread_ = std::thread(&ReplayPalmWatcher::Run, this, std::move(callback), &started);
  ready.wait();
  return true;
}

void ReplayPalmWatcher::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true, std::memory_order_release);
  session_->Wake();
  thread_.join();
}

void ReplayPalmWatcher::Run(PalmDeviceCallback callback, std::promise<void>* started) {
  const std::vector<DeviceEvent>& events = session_->DeviceEvents();
  const size_t early = std::min(session_->EventsBeforeRun(), events.size());
  for (size_t k = 0; k < early; ++k) callback(events[k].event, events[k].name);
  started->set_value();
  for (size_t k = early; k < events.size(); ++k) {
    const std::optional<uint64_t> due = session_->WaitForEvent(k, stop_);
    if (!due || !session_->SleepUntilTick(*due, stop_)) return;
    callback(events[k].event, events[k].name);
  }
}

}  // namespace k730::rec
