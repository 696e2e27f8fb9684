#include "sim/phone_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>

#include "core/byte_order.h"
#include "core/clock.h"
#include "sim/line_rate.h"

namespace k730::sim {
namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kLead = 0x7F;
constexpr uint8_t kEscape = 0x7D;
constexpr size_t kMaxPending = 16384;  // received bytes kept while no frame closes
constexpr size_t kMaxAtLine = 64;
// What the port's line holds at most before the host's writes wait.
constexpr size_t kLineBuffer = 4096;

// Bit by bit, on purpose: the host's table-driven CRC is checked against an
// independent implementation.
uint16_t FrameCrc(const uint8_t* data, size_t length) {
  uint16_t r = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    r ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0x8408) : r >> 1;
  }
  return static_cast<uint16_t>(~r);
}

void PutStuffed(std::vector<uint8_t>& out, uint8_t b) {
  if (b >= kEscape && b <= kLead) {
    out.push_back(kEscape);
    out.push_back(static_cast<uint8_t>(b ^ 0x20));
  } else {
    out.push_back(b);
  }
}

void PutFrame(std::vector<uint8_t>& out, const uint8_t* payload, size_t length, bool leadingFlag) {
  if (leadingFlag) out.push_back(kFlag);
  for (size_t i = 0; i < length; ++i) PutStuffed(out, payload[i]);
  const uint16_t crc = FrameCrc(payload, length);
  PutStuffed(out, static_cast<uint8_t>(crc));
  PutStuffed(out, static_cast<uint8_t>(crc >> 8));
  out.push_back(kFlag);
}

bool Unstuff(const std::vector<uint8_t>& frame, size_t from, std::vector<uint8_t>& out) {
  out.clear();
  for (size_t i = from; i < frame.size(); ++i) {
    uint8_t b = frame[i];
    if (b == kEscape) {
      if (++i >= frame.size()) return false;
      b = static_cast<uint8_t>(frame[i] ^ 0x20);
    }
    out.push_back(b);
  }
  return true;
}

bool ParseInt(const std::string& text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

const char* const kStepNames[] = {"AUTOTEST", "SUSPEND", "SIO2DM", "RESTART",   "VERSION",
                                  "OFFLINE",  "DLOAD",   "COPY",   "DPRAM_WRT", "JUMP1",
                                  "START2",   "ERASE",   "WRITE",  "JUMP2"};

using Steady = std::chrono::steady_clock;

Steady::time_point After(uint32_t protocolMs) {
  return Steady::now() + std::chrono::microseconds(ProcessClock().RealMicros(protocolMs));
}

}  // namespace

bool ParsePhoneFault(const std::string& text, PhoneFaults& faults, std::string& error) {
  const size_t colon = text.find(':');
  const std::string kind = text.substr(0, colon);
  const std::string arg = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  int value = 0;
  if (kind == "no-autotest" && arg.empty()) {
    faults.silent.insert("AUTOTEST");
  } else if (kind == "silent") {
    if (std::find_if(std::begin(kStepNames), std::end(kStepNames),
                     [&](const char* name) { return arg == name; }) == std::end(kStepNames)) {
      error = "unknown command in fault '" + text + "'";
      return false;
    }
    faults.silent.insert(arg);
  } else if (kind == "refuse-once" && ParseInt(arg, value)) {
    faults.refuseOnceAt = value;
  } else if (kind == "refuse-always" && ParseInt(arg, value)) {
    faults.refuseAlwaysAt = value;
  } else if (kind == "unplug" && ParseInt(arg, value)) {
    faults.unplugAt = value;
  } else if (kind == "garbage" && (colon == std::string::npos || ParseInt(arg, value))) {
    faults.garbageReplies = colon == std::string::npos ? -1 : value;
  } else if (kind == "truncated" && (colon == std::string::npos || ParseInt(arg, value))) {
    faults.truncatedReplies = colon == std::string::npos ? -1 : value;
  } else if (kind == "mute" && arg.empty()) {
    faults.mute = true;
  } else if (kind == "slow" && ParseInt(arg, value)) {
    faults.slowReplyMs = static_cast<uint32_t>(value);
  } else if (kind == "no-return" && arg.empty()) {
    faults.noReturn = true;
  } else if (kind == "bare-ack" && arg.empty()) {
    faults.bareAck = true;
  } else {
    error = "unknown phone fault '" + text + "'";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// PhoneProtocol

PhoneProtocol::PhoneProtocol(const PhoneFaults& faults, bool emergency)
    : faults_(faults),
      state_(State::Normal),
      flash_(kSimFlashSize, kSimFlashFill),
      erased_(kSimFlashSize, 0),
      garbageLeft_(faults.garbageReplies),
      truncatedLeft_(faults.truncatedReplies) {
  if (emergency) EnterDownload();
}

void PhoneProtocol::EnterDownload() {
  state_ = State::Download;
  copyDone_ = false;
  jump1Done_ = false;
}

void PhoneProtocol::ComeBack(State state) {
  rx_.clear();
  if (state == State::Download) {
    EnterDownload();
  } else {
    state_ = State::Normal;
  }
}

void PhoneProtocol::Ack(std::vector<uint8_t>& replies) const {
  const uint8_t ack = 0x02;
  PutFrame(replies, &ack, 1, !faults_.bareAck);
}

void PhoneProtocol::Refuse(uint8_t code, std::vector<uint8_t>& replies) const {
  PutFrame(replies, &code, 1, true);
}

bool PhoneProtocol::TakeGarbage() {
  if (garbageLeft_ == 0) return false;
  if (garbageLeft_ > 0) --garbageLeft_;
  return true;
}

bool PhoneProtocol::TakeTruncated() {
  if (truncatedLeft_ == 0) return false;
  if (truncatedLeft_ > 0) --truncatedLeft_;
  return true;
}

void PhoneProtocol::Garbage(std::vector<uint8_t>& replies) {
  // Led by a flag and never carrying the acknowledge code, so the host must
  // treat it as a refusal.
  replies.push_back(kFlag);
  for (int i = 0; i < 5; ++i) {
    junkSeed_ = junkSeed_ * 1103515245u + 12345u;
    uint8_t b = static_cast<uint8_t>(junkSeed_ >> 16);
    if (i == 0 && (b == 0x02 || b == kFlag)) b = 0x55;
    replies.push_back(b);
  }
}

PhoneProtocol::Action PhoneProtocol::Feed(const uint8_t* data, size_t length,
                                          std::vector<uint8_t>& replies) {
  if (faults_.mute) return Action::None;
  rx_.insert(rx_.end(), data, data + length);
  if (rx_.size() > kMaxPending) rx_.clear();  // noise with no frame in it
  for (;;) {
    if (rx_.size() >= 2 && rx_[0] == 'A' && rx_[1] == 'T') {
      const auto newline = std::find(rx_.begin(), rx_.end(), '\n');
      if (newline == rx_.end()) {
        if (rx_.size() > kMaxAtLine) rx_.clear();
        return Action::None;
      }
      std::string line(rx_.begin(), newline);
      rx_.erase(rx_.begin(), newline + 1);
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      const Action action = HandleAt(line, replies);
      if (action != Action::None) {
        rx_.clear();
        return action;
      }
      continue;
    }
    const auto flag = std::find(rx_.begin(), rx_.end(), kFlag);
    if (flag == rx_.end()) return Action::None;
    std::vector<uint8_t> frame(rx_.begin(), flag);
    rx_.erase(rx_.begin(), flag + 1);
    // An empty frame is a leading flag; zeros are the mode switch's padding.
    if (std::all_of(frame.begin(), frame.end(), [](uint8_t b) { return b == 0; })) continue;
    const Action action = HandleFrame(frame, replies);
    if (action != Action::None) {
      rx_.clear();
      return action;
    }
  }
}

PhoneProtocol::Action PhoneProtocol::HandleAt(const std::string& line,
                                              std::vector<uint8_t>& replies) {
  if (state_ != State::Normal) return Action::None;
  static const char kOk[] = "OK\r\n";
  if (line == "AT$USBCHK" || line == "AT$PSTVAL" || line == "AT$USBDN") {
    replies.insert(replies.end(), kOk, kOk + 4);
    return line == "AT$USBDN" ? Action::SwitchToDownload : Action::None;
  }
  static const char kError[] = "ERROR\r\n";
  replies.insert(replies.end(), kError, kError + 7);
  return Action::None;
}

PhoneProtocol::Action PhoneProtocol::HandleRaw(const std::vector<uint8_t>& frame,
                                               std::vector<uint8_t>& replies, bool& raw) {
  static const struct {
    const char* step;
    std::vector<uint8_t> bytes;
  } kRaw[] = {{"AUTOTEST", {0x7F, 0xAA, 0xDD}},
              {"SUSPEND", {0x7F, 0xAA, 0x1F, 0x00}},
              {"SIO2DM", {0x7F, 0xAA, 0x24}},
              {"RESTART", {0x7F, 0xAA, 0x3F, 0x00}}};
  raw = false;
  for (const auto& entry : kRaw) {
    if (frame != entry.bytes) continue;
    raw = true;
    if (state_ != State::Normal || Silent(entry.step)) return Action::None;
    if (std::strcmp(entry.step, "RESTART") == 0) return Action::Restart;
    // Any bytes answer a probe; the phone echoes it.
    replies.insert(replies.end(), frame.begin(), frame.end());
    replies.push_back(kFlag);
    return Action::None;
  }
  return Action::None;
}

PhoneProtocol::Action PhoneProtocol::HandleFrame(const std::vector<uint8_t>& frame,
                                                 std::vector<uint8_t>& replies) {
  bool raw = false;
  const Action action = HandleRaw(frame, replies, raw);
  if (raw) return action;

  std::vector<uint8_t> bytes;
  const size_t from = frame[0] == kLead ? 1 : 0;  // Command frames with the lead byte
  if (!Unstuff(frame, from, bytes) || bytes.size() < 3 ||
      FrameCrc(bytes.data(), bytes.size() - 2) != ReadU16LE(bytes.data() + bytes.size() - 2)) {
    ++badFrames_;
    Refuse(kRefuseBadFrame, replies);
    return Action::None;
  }
  return HandleCommand(bytes.data(), bytes.size() - 2, replies);
}

PhoneProtocol::Action PhoneProtocol::HandleCommand(const uint8_t* p, size_t n,
                                                   std::vector<uint8_t>& replies) {
  const uint8_t op = p[0];
  if (state_ == State::Normal) {
    const char* step = nullptr;
    if (op == 0x00 && n == 1) step = "VERSION";
    if (op == 0x29 && n == 3) step = "OFFLINE";
    if (op == 0x3A && n == 1) step = "DLOAD";
    if (!step || Silent(step)) return Action::None;
    if (TakeGarbage()) {
      Garbage(replies);
      return Action::None;
    }
    if (TakeTruncated()) {
      replies.push_back(kFlag);  // the line went quiet after the reply's first byte
      return Action::None;
    }
    Ack(replies);
    if (op == 0x3A) EnterDownload();
    return Action::None;
  }

  // Download state.
  const char* step = nullptr;
  if (op == 0xBB && n == 5) step = "COPY";
  if (op == 0xCC && n == 5) step = copyDone_ && jump1Done_ ? "JUMP2" : "JUMP1";
  if (op == 0xAA && n == 1) step = "START2";
  if (op == 0xDA && n == 3) step = "DPRAM_WRT";
  if (op == 0xEE && n == 9) step = "ERASE";
  if (op == 0xDD && n >= 7) step = "WRITE";
  if (!step || Silent(step)) return Action::None;
  if (std::strcmp(step, "JUMP2") == 0) return Action::RestartAfterDownload;

  if (std::strcmp(step, "WRITE") == 0 && faults_.unplugAt == acceptedWrites_) return Action::Unplug;
  if (TakeGarbage()) {
    Garbage(replies);
    return Action::None;
  }
  if (TakeTruncated()) {
    replies.push_back(kFlag);
    return Action::None;
  }
  if (std::strcmp(step, "COPY") == 0) {
    copyDone_ = true;
  } else if (std::strcmp(step, "JUMP1") == 0) {
    if (copyDone_) jump1Done_ = true;
  } else if (std::strcmp(step, "DPRAM_WRT") == 0) {
    dpramPort_ = p[2];
  } else if (std::strcmp(step, "ERASE") == 0) {
    const uint32_t start = ReadU32LE(p + 1);
    const uint32_t count = ReadU32LE(p + 5);
    if (start > kSimFlashSize || count > kSimFlashSize - start) {
      Refuse(kRefuseOutOfFlash, replies);
      return Action::None;
    }
    std::fill_n(flash_.begin() + start, count, 0xFF);
    std::fill_n(erased_.begin() + start, count, 1);
    ++erases_;
    acceptedWrites_ = 0;
    refusedOnce_ = false;
  } else if (std::strcmp(step, "WRITE") == 0) {
    const uint32_t address = ReadU32LE(p + 1);
    const uint16_t length = ReadU16LE(p + 5);
    if (n != 7u + length || length == 0 || length > 1024) {
      Refuse(kRefuseBadFrame, replies);
      return Action::None;
    }
    if (faults_.refuseAlwaysAt == acceptedWrites_ ||
        (faults_.refuseOnceAt == acceptedWrites_ && !refusedOnce_)) {
      refusedOnce_ = refusedOnce_ || faults_.refuseOnceAt == acceptedWrites_;
      Refuse(kRefuseInjected, replies);
      return Action::None;
    }
    if (address > kSimFlashSize || length > kSimFlashSize - address) {
      Refuse(kRefuseOutOfFlash, replies);
      return Action::None;
    }
    if (!std::all_of(erased_.begin() + address, erased_.begin() + address + length,
                     [](uint8_t e) { return e != 0; })) {
      Refuse(kRefuseNotErased, replies);
      return Action::None;
    }
    std::memcpy(flash_.data() + address, p + 7, length);
    std::fill_n(erased_.begin() + address, length, 0);
    ++acceptedWrites_;
  }
  Ack(replies);
  return Action::None;
}

// ---------------------------------------------------------------------------
// PhoneSim

PhoneSim::PhoneSim(PhoneSimConfig config)
    : config_(std::move(config)), protocol_(config_.faults, config_.emergency) {}

PhoneSim::~PhoneSim() {
  Stop();
}

std::string PhoneSim::LinkPath() const {
  return config_.portDir + "/COM" + std::to_string(config_.portNumber);
}

bool PhoneSim::BringUp(std::string& error) {
  if (!pty_.Open(error)) return false;
  // Never over an entry already there: it is not this handset's to replace.
  const std::string link = LinkPath();
  if (symlink(pty_.TerminalPath().c_str(), link.c_str()) != 0) {
    error = "symlink " + link + ": " + std::strerror(errno);
    pty_.Close();
    return false;
  }
  portPresent_.store(true, std::memory_order_release);
  return true;
}

void PhoneSim::Drop() {
  if (!pty_.IsOpen()) return;
  portPresent_.store(false, std::memory_order_release);
  // Only the link this handset made; whatever replaced it stays.
  const std::string link = LinkPath();
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n > 0 &&
      pty_.TerminalPath().compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0)
    unlink(link.c_str());
  pty_.Close();
}

bool PhoneSim::Start(std::string& error) {
  if (thread_.joinable()) return true;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  if (!BringUp(error)) {
    close(wakeRead_);
    close(wakeWrite_);
    wakeRead_ = wakeWrite_ = -1;
    return false;
  }
  stopping_.store(false);
  thread_ = std::thread(&PhoneSim::Run, this);
  return true;
}

void PhoneSim::Stop() {
  if (thread_.joinable()) {
    stopping_.store(true, std::memory_order_release);
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = write(wakeWrite_, &wake, 1);
    thread_.join();
  }
  Drop();
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
  wakeRead_ = wakeWrite_ = -1;
}

void PhoneSim::Replace(uint32_t awayMs) {
  replaceAwayMs_.store(awayMs);
  const char wake = 1;
  [[maybe_unused]] const ssize_t n = write(wakeWrite_, &wake, 1);
}

void PhoneSim::WriteReply(const std::vector<uint8_t>& bytes) {
  if (!pty_.IsOpen() || bytes.empty()) return;
  size_t done = 0;
  // Bounded: a host that does not read loses what does not fit, as on a wire.
  for (int tries = 0; done < bytes.size() && tries < 100; ++tries) {
    const ssize_t n = write(pty_.Master(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd entry{pty_.Master(), POLLOUT, 0};
      poll(&entry, 1, 10);
    }
  }
}

void PhoneSim::Dump() {
  if (config_.dumpDir.empty()) return;
  const std::string path = config_.dumpDir + "/phone" + std::to_string(config_.portNumber) + ".bin";
  const std::string temporary = path + ".part";
  std::vector<uint8_t> flash = Flash();
  if (std::FILE* file = std::fopen(temporary.c_str(), "wb")) {
    const bool written = std::fwrite(flash.data(), 1, flash.size(), file) == flash.size();
    if (std::fclose(file) == 0 && written) {
      std::rename(temporary.c_str(), path.c_str());
      return;
    }
  }
  std::fprintf(stderr, "k730-sim: cannot write %s\n", path.c_str());
  unlink(temporary.c_str());
}

void PhoneSim::Run() {
  struct Pending {
    Steady::time_point due;
    std::vector<uint8_t> bytes;
  };
  std::deque<Pending> pending;       // replies on their way to the host
  std::vector<uint8_t> inbound;      // bytes on their way to the phone
  Steady::time_point inboundDone{};  // when the last of them has crossed the line
  LinePace toPhone = LinePace::Baud(config_.baud);
  LinePace toHost = LinePace::Baud(config_.baud);
  bool comingBack = false;
  bool afterDownload = false;
  bool replaced = false;
  PhoneProtocol::State backState = PhoneProtocol::State::Normal;
  Steady::time_point backAt{};
  std::vector<uint8_t> received(kLineBuffer);

  while (!stopping_.load(std::memory_order_acquire)) {
    if (const int64_t awayMs = replaceAwayMs_.exchange(-1); awayMs >= 0) {
      // Unplugged, and a unit fresh from the factory plugged in its place.
      pending.clear();
      inbound.clear();
      toPhone.Reset();
      toHost.Reset();
      Drop();
      if (onDrop_) onDrop_();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        protocol_ = PhoneProtocol(config_.faults, config_.emergency);
      }
      comingBack = true;
      afterDownload = false;
      replaced = true;
      backState = config_.emergency ? PhoneProtocol::State::Download : PhoneProtocol::State::Normal;
      backAt = After(static_cast<uint32_t>(awayMs));
    }
    // Sleep until input, a stop, bytes across the line, a reply due or the
    // port's return.
    Steady::time_point wake = Steady::time_point::max();
    if (!pending.empty()) wake = pending.front().due;
    if (!inbound.empty()) wake = std::min(wake, inboundDone);
    if (comingBack) wake = std::min(wake, backAt);
    timespec timeout{};
    const timespec* limit = nullptr;
    if (wake != Steady::time_point::max()) {
      const auto left = std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::nanoseconds>(wake - Steady::now()).count());
      timeout.tv_sec = static_cast<time_t>(left / 1000000000);
      timeout.tv_nsec = static_cast<long>(left % 1000000000);
      limit = &timeout;
    }
    // While the line still carries a full buffer the rest waits in the
    // terminal, and the host's writes wait as they would on a real port.
    const bool room = pty_.IsOpen() && inbound.size() < kLineBuffer;
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {room ? pty_.Master() : -1, POLLIN, 0}};
    const int rc = ppoll(fds, 2, limit, nullptr);
    if (rc < 0 && errno != EINTR) break;
    if (rc > 0 && fds[0].revents) {
      char drain[16];
      while (read(wakeRead_, drain, sizeof drain) > 0) {
      }
      continue;
    }

    if (room && rc > 0 && (fds[1].revents & POLLIN)) {
      const ssize_t n = read(pty_.Master(), received.data(), kLineBuffer - inbound.size());
      if (n > 0) {
        inbound.insert(inbound.end(), received.begin(), received.begin() + n);
        inboundDone = toPhone.Book(static_cast<size_t>(n), Steady::now());
      }
    }

    // A burst is handed to the phone once its last byte has crossed the line:
    // the host sends one frame and waits for its reply.
    if (!inbound.empty() && Steady::now() >= inboundDone) {
      std::vector<uint8_t> replies;
      PhoneProtocol::Action action;
      int erases = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        action = protocol_.Feed(inbound.data(), inbound.size(), replies);
        erases = protocol_.TakeErases();
      }
      inbound.clear();
      if (!replies.empty()) {
        const uint32_t busyMs = config_.faults.slowReplyMs + (erases ? config_.eraseMs : 0);
        const auto now = Steady::now();
        Steady::time_point due = toHost.Book(replies.size(), busyMs ? After(busyMs) : now);
        if (!pending.empty()) due = std::max(due, pending.back().due);  // replies keep their order
        if (due <= now && pending.empty()) {
          WriteReply(replies);
        } else {
          pending.push_back({due, std::move(replies)});
        }
      }
      if (action != PhoneProtocol::Action::None) {
        pending.clear();
        toPhone.Reset();
        toHost.Reset();
        Drop();
        if (onDrop_) onDrop_();
        if (action != PhoneProtocol::Action::Unplug && !config_.faults.noReturn) {
          comingBack = true;
          afterDownload = action == PhoneProtocol::Action::RestartAfterDownload;
          backState = action == PhoneProtocol::Action::SwitchToDownload
                          ? PhoneProtocol::State::Download
                          : PhoneProtocol::State::Normal;
          backAt = After(config_.restartDelayMs);
        }
      }
    }

    const auto now = Steady::now();
    while (!pending.empty() && pending.front().due <= now) {
      WriteReply(pending.front().bytes);
      pending.pop_front();
    }
    if (comingBack && now >= backAt) {
      comingBack = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        protocol_.ComeBack(backState);
      }
      std::string error;
      if (!BringUp(error)) {
        std::fprintf(stderr, "k730-sim: COM%d cannot come back: %s\n", config_.portNumber,
                     error.c_str());
        Dump();
        continue;
      }
      if (replaced) {
        replaced = false;
        if (onReplaced_) onReplaced_();
        continue;  // nothing of the new unit's flash is worth a dump yet
      }
      restarts_.fetch_add(1);
      if (afterDownload) {
        downloadRestarts_.fetch_add(1);
        if (onRestartAfterDownload_) onRestartAfterDownload_();
      }
      // Written once the handset is back: the host's scaled waits for the
      // port and the Palm half do not pay for two megabytes of disk writes.
      Dump();
    }
  }
}

std::vector<uint8_t> PhoneSim::Flash() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return protocol_.Flash();
}

PhoneProtocol::State PhoneSim::CurrentState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return protocol_.CurrentState();
}

int PhoneSim::AcceptedWrites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return protocol_.AcceptedWrites();
}

int PhoneSim::BadFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return protocol_.BadFrames();
}

int PhoneSim::DpramPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return protocol_.DpramPort();
}

}  // namespace k730::sim
