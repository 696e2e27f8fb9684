// The handset side of a phone port for the phone fuzz targets: a
// pseudo-terminal linked as <dir>/COM<n>, so the code under test reads the
// fuzz input through the real serial port. The bytes of one input are all
// delivered before the code reads, which keeps a run deterministic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "phone/serial_port.h"
#include "sim/pty.h"

namespace k730::fuzz {

class SerialLink {
 public:
  // The terminal's input queue holds 4,095 bytes; a reply is cut to this.
  static constexpr size_t kMaxReply = 4000;
  static constexpr int kComNumber = 7;

  // Creates the pseudo-terminal and points K730_PORT_DIR at its directory.
  SerialLink();
  const std::string& PortDirectory() const { return dir_.Path(); }

  // Discards what either side still holds, so every input starts clean. port
  // is the host's open port on this link.
  void Reset(SerialPort& port);
  // Sends bytes as the handset and waits until the host's port has them all.
  void Feed(SerialPort& port, const uint8_t* data, size_t size);
  // What the host wrote, waiting for at least atLeast bytes (a bounded wait).
  std::vector<uint8_t> HostBytes(size_t atLeast);

 private:
  ScratchDir dir_;
  sim::Pty pty_;
};

}  // namespace k730::fuzz
