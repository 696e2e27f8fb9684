// The phone half of a simulated handset: a modem port on a pseudo-terminal
// that speaks the phone download protocol.
//
// States: normal (raw probes, VERSION, OFFLINE, DLOAD and the AT commands of
// the mode switch) and download (COPY, JUMP1, START2, DPRAM_WRT, ERASE, WRITE
// and the JUMP2 restart). A command the phone does not understand in its
// state gets no answer. Every CRC frame is unstuffed and checked; a bad one is
// refused. Acknowledgements are the frame of payload 02 (7E 02 6A D3 7E, or
// 02 6A D3 7E with the bare-ack option); refusals are 7E <code> <crc> 7E.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/pty.h"

namespace k730::sim {

// Refusal codes of the simulated phone.
constexpr uint8_t kRefuseBadFrame = 0x03;    // bad CRC, bad stuffing, malformed payload
constexpr uint8_t kRefuseOutOfFlash = 0x04;  // range beyond the flash
constexpr uint8_t kRefuseNotErased = 0x05;   // WRITE into a range not erased
constexpr uint8_t kRefuseInjected = 0x06;    // refused by a fault option

constexpr uint32_t kSimFlashSize = 0x200000;
// What unwritten, unerased flash holds, so a test can tell it from image data.
constexpr uint8_t kSimFlashFill = 0x5A;

// Faults, one option each; block indexes count the blocks accepted since the
// last ERASE (0 is the first block written).
struct PhoneFaults {
  std::set<std::string> silent;  // commands that get no answer, by step name
  int refuseOnceAt = -1;         // refuse block k the first time it comes
  int refuseAlwaysAt = -1;       // refuse block k every time
  int unplugAt = -1;             // drop the port for good when block k comes
  int garbageReplies = 0;        // replace this many framed replies by junk (-1: all)
  int truncatedReplies = 0;      // cut this many framed replies after their flag (-1: all)
  bool mute = false;             // the handset answers nothing at all
  uint32_t slowReplyMs = 0;      // delay every reply (protocol ms)
  bool noReturn = false;         // after a restart the port never comes back
  bool bareAck = false;          // acknowledge without the leading flag
};

// Parses one --fault value: no-autotest, silent:<STEP>, refuse-once:<k>,
// refuse-always:<k>, unplug:<k>, garbage[:<n>], truncated[:<n>], mute,
// slow:<ms>, no-return, bare-ack. False (error filled) for anything else.
// A command whose reply is junk or cut short is not carried out, so the host
// may send it again.
bool ParsePhoneFault(const std::string& text, PhoneFaults& faults, std::string& error);

// The protocol logic without the port, so it can be driven directly.
class PhoneProtocol {
 public:
  enum class State { Normal, Download };
  enum class Action {
    None,
    Restart,               // RESTART: re-enumerate, back in normal state
    SwitchToDownload,      // AT$USBDN: re-enumerate into download state
    RestartAfterDownload,  // JUMP2: re-enumerate into the new firmware (normal)
    Unplug,                // the handset is pulled: the port goes for good
  };

  PhoneProtocol(const PhoneFaults& faults, bool emergency);

  // Takes received bytes, appends the replies to send to replies and returns
  // the first action that drops the port (the bytes after it are lost).
  Action Feed(const uint8_t* data, size_t length, std::vector<uint8_t>& replies);
  // The port came back after a restart in the given state.
  void ComeBack(State state);

  State CurrentState() const { return state_; }
  const std::vector<uint8_t>& Flash() const { return flash_; }
  int AcceptedWrites() const { return acceptedWrites_; }
  int BadFrames() const { return badFrames_; }
  int DpramPort() const { return dpramPort_; }
  // ERASE commands carried out since the last call (their replies wait for
  // the erase to end).
  int TakeErases() {
    const int n = erases_;
    erases_ = 0;
    return n;
  }

 private:
  Action HandleFrame(const std::vector<uint8_t>& frame, std::vector<uint8_t>& replies);
  Action HandleRaw(const std::vector<uint8_t>& frame, std::vector<uint8_t>& replies, bool& raw);
  Action HandleAt(const std::string& line, std::vector<uint8_t>& replies);
  Action HandleCommand(const uint8_t* payload, size_t length, std::vector<uint8_t>& replies);
  bool Silent(const char* step) const { return faults_.silent.count(step) != 0; }
  bool TakeGarbage();
  bool TakeTruncated();
  void Ack(std::vector<uint8_t>& replies) const;
  void Refuse(uint8_t code, std::vector<uint8_t>& replies) const;
  void Garbage(std::vector<uint8_t>& replies);
  void EnterDownload();

  PhoneFaults faults_;
  State state_;
  std::vector<uint8_t> rx_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> erased_;
  bool copyDone_ = false;
  bool jump1Done_ = false;
  bool refusedOnce_ = false;
  int acceptedWrites_ = 0;
  int badFrames_ = 0;
  int garbageLeft_ = 0;
  int truncatedLeft_ = 0;
  int dpramPort_ = -1;
  int erases_ = 0;
  uint32_t junkSeed_ = 0x2545F491u;
};

struct PhoneSimConfig {
  std::string portDir;             // where the COM<n> link lives
  int portNumber = 1;              // n of COM<n>; the dump is phone<n>.bin
  bool emergency = false;          // start in download state
  std::string dumpDir;             // when set, the flash is written here after each restart
  uint32_t restartDelayMs = 2000;  // how long the port stays away (protocol ms)
  uint32_t baud = 0;               // line rate of the port, 8N1, both ways; 0: no limit
  uint32_t eraseMs = 0;            // how long an ERASE takes before its reply (protocol ms)
  PhoneFaults faults;
};

class PhoneSim {
 public:
  explicit PhoneSim(PhoneSimConfig config);
  ~PhoneSim();
  PhoneSim(const PhoneSim&) = delete;
  PhoneSim& operator=(const PhoneSim&) = delete;

  // Called on the simulator's thread each time the port is back after the
  // JUMP2 restart that ends a download (the moment the handset's Palm half
  // appears). Set it before Start.
  void SetOnRestartAfterDownload(std::function<void()> callback) {
    onRestartAfterDownload_ = std::move(callback);
  }
  // Called on the simulator's thread each time the handset drops off the bus
  // (a restart or an unplug): its Palm half goes with it. Set it before Start.
  void SetOnDrop(std::function<void()> callback) { onDrop_ = std::move(callback); }
  // Called on the simulator's thread when a new unit has taken the handset's
  // place (Replace). Set it before Start.
  void SetOnReplaced(std::function<void()> callback) { onReplaced_ = std::move(callback); }

  // Creates the port and its link and starts serving it.
  bool Start(std::string& error);
  // Stops serving, closes the port and removes the link. Safe to repeat.
  void Stop();
  // Takes the handset off the bus and puts a new unit in its place: the port
  // goes (and the Palm half with it) and comes back awayMs of protocol time
  // later on a handset with fresh flash that has never been downloaded.
  void Replace(uint32_t awayMs);

  const PhoneSimConfig& Config() const { return config_; }
  std::string LinkPath() const;
  bool PortPresent() const { return portPresent_.load(std::memory_order_acquire); }
  // Copies of the simulated state (taken under the simulator's lock).
  std::vector<uint8_t> Flash() const;
  PhoneProtocol::State CurrentState() const;
  int AcceptedWrites() const;
  int BadFrames() const;
  int DpramPort() const;
  int Restarts() const { return restarts_.load(); }
  int DownloadRestarts() const { return downloadRestarts_.load(); }

 private:
  void Run();
  bool BringUp(std::string& error);
  void Drop();
  void WriteReply(const std::vector<uint8_t>& bytes);
  void Dump();

  PhoneSimConfig config_;
  std::function<void()> onRestartAfterDownload_;
  std::function<void()> onDrop_;
  std::function<void()> onReplaced_;
  std::atomic<int64_t> replaceAwayMs_{-1};  // a replacement asked for, -1: none
  mutable std::mutex mutex_;                // guards protocol_
  PhoneProtocol protocol_;
  Pty pty_;
  std::thread thread_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> portPresent_{false};
  std::atomic<int> restarts_{0};
  std::atomic<int> downloadRestarts_{0};
};

}  // namespace k730::sim
