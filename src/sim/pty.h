// A pseudo-terminal standing in for a handset's modem port. The simulator
// keeps a descriptor of the terminal side open itself, so the host may open
// and close its side any number of times without the controlling side
// seeing a hang-up.
#pragma once

#include <string>

namespace k730::sim {

class Pty {
 public:
  Pty() = default;
  ~Pty() { Close(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // Creates the pair, both sides raw and non-blocking on the controlling
  // side. False with error filled when the system refuses.
  bool Open(std::string& error);
  // Closes both sides: a host still holding the terminal sees a hang-up.
  void Close();
  bool IsOpen() const { return master_ >= 0; }
  int Master() const { return master_; }
  const std::string& TerminalPath() const { return terminalPath_; }

 private:
  int master_ = -1;
  int terminal_ = -1;
  std::string terminalPath_;
};

}  // namespace k730::sim
