// The Palm half of a simulated handset: a Palm OS device that appears as the
// listening socket palm<N>.sock (or a loopback TCP port), takes a partition into its RAM over the
// PDA packet protocol, "flashes" it (writing it to a dump file) and, for a DFormat program, plays
// the program's part of the host file service.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/line_rate.h"

namespace k730::sim {

// Capacities the handheld reports for its partitions.
struct PalmCapacities {
  uint32_t smallRom = 128 * 1024;        // target 0
  uint32_t bigRom = 21 * 1024 * 1024;    // targets 1 and 6
  uint32_t resource = 26 * 1024 * 1024;  // target 2
  uint32_t dformat = 4 * 1024 * 1024;    // target 4: room for the program in RAM
};

struct PalmFaults {
  uint32_t badChecksumEvery = 0;   // every Nth chunk acknowledgement carries a wrong checksum
  uint32_t loseResponseEvery = 0;  // every Nth chunk acknowledgement is never sent
  bool flashWriteFails = false;    // the flash phase ends with a write failure
  int64_t unplugAfterChunks = -1;  // the device goes away on receiving this chunk (0 = first)
  bool unplugInFlash = false;      // the device goes away halfway through a flash phase
  uint32_t leaveAfterMs = 0;       // gone this long (protocol ms) after appearing, unless a
                                   // host has connected by then; 0: stays
};

struct PalmSimOptions {
  std::string directory;      // where palm<N>.sock appears
  uint32_t number = 0;        // N, the handset's phone port number
  std::string dumpDirectory;  // pda<N>-<target>.bin written there; empty: no dumps
  PalmCapacities capacities;
  PalmFaults faults;
  uint32_t flashSteps = 10;  // progress reports of the flash phase before 100
  // The host's packets cross the USB bus no faster than this (bytes per
  // second, divided by K730_TIME_SCALE); 0: no limit.
  uint32_t usbBytesPerSecond = 0;
  // Served on a loopback TCP port of the system's choosing instead of the
  // socket file (for hosts that cannot reach Unix sockets).
  bool tcp = false;
  // Called after the device appeared or went, on whichever thread made it so
  // and without the simulator's locks held; it must not plug or unplug.
  std::function<void()> onPresenceChange;
};

struct PalmSimStats {
  uint32_t connections = 0;
  uint32_t dlModes = 0;
  uint32_t chunks = 0;        // RAM_DATA and RAM_DATA_AGAIN packets received
  uint32_t chunkResends = 0;  // RAM_DATA_AGAIN among them
  uint32_t packetVersion = 0;
  uint32_t partitionsFlashed = 0;
  int lastTarget = -1;
  uint32_t dformatRuns = 0;
  bool dformatPassed = false;  // every reply of the last DFormat run was as expected
  std::string dformatFailure;  // what the last DFormat run found wrong
  std::string lastDump;        // path of the last dump written
};

class PalmDeviceSim {
 public:
  explicit PalmDeviceSim(PalmSimOptions options);
  ~PalmDeviceSim();
  PalmDeviceSim(const PalmDeviceSim&) = delete;
  PalmDeviceSim& operator=(const PalmDeviceSim&) = delete;

  // Makes the device appear (the socket is listening before its name shows
  // up). True when it is plugged afterwards. Plug and Unplug may be called
  // from any thread.
  bool Plug();
  // Makes the device appear on a stream that is already connected to its
  // host (the USB bench's bridge) instead of a socket file; it is unplugged
  // when the host closes the stream. False when it is plugged already.
  bool PlugStream(int fd);
  // Makes it disappear: the socket file goes, a connection is cut.
  void Unplug();
  bool Plugged() const { return plugged_.load(std::memory_order_acquire); }

  std::string SocketPath() const;
  // The TCP port a host connects to; 0 while unplugged or not on TCP.
  uint16_t TcpPort() const { return tcpPort_.load(std::memory_order_acquire); }
  uint32_t Number() const { return options_.number; }
  // The name of the file the DFormat program writes on the host.
  std::string DFormatFileName() const;
  PalmSimStats Stats() const;
  // Waits (real time) until the device has been unplugged by a fault or Unplug.
  bool WaitUnplugged(uint32_t timeoutMs) const;

 private:
  void Serve(int listener, int wake);
  void Session(int fd, int wake);
  // Waits (for the wake-up at most) until bytes booked on the bus are across.
  bool PaceBus(size_t bytes, int wake);
  bool DFormatProgram(int fd, int wake);
  void DropSocketFile();
  bool ListenOnFile(int& listener);
  bool ListenOnTcp(int& listener);
  void PresenceChanged() const;
  void WriteDump(int target, const std::vector<uint8_t>& data);

  const PalmSimOptions options_;
  std::mutex controlMutex_;  // serialises Plug and Unplug
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  PalmSimStats stats_;
  std::atomic<bool> plugged_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<uint16_t> tcpPort_{0};
  bool onStream_ = false;  // plugged by PlugStream: there is no socket file
  int wake_[2] = {-1, -1};
  std::thread thread_;
  LinePace bus_;  // the serving thread's only
};

// Size parsing for options: "21M", "128K", "4096" -> bytes; false on bad text.
bool ParseByteSize(const std::string& text, uint32_t& bytes);

// Palm faults by name: "palm-checksum:<n>", "palm-lose:<n>", "palm-flash-fail",
// "palm-unplug:<k>", "palm-unplug-flash", "palm-leave:<ms>". False with error
// set for a malformed or unknown one.
bool IsPalmFault(const std::string& kind);
bool ParsePalmFault(const std::string& kind, PalmFaults& faults, std::string& error);

}  // namespace k730::sim
