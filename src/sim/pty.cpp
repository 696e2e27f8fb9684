#include "sim/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace k730::sim {

bool Pty::Open(std::string& error) {
  Close();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) {
    error = std::string("posix_openpt: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    error = std::string("pseudo-terminal set-up: ") + std::strerror(errno);
    Close();
    return false;
  }
  terminalPath_ = name;
  terminal_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal_ < 0) {
    error = "open " + terminalPath_ + ": " + std::strerror(errno);
    Close();
    return false;
  }
  // Raw on the terminal side too: no echo of the simulator's own replies, no
  // line editing, no translation of the binary frames.
  termios tio{};
  if (tcgetattr(terminal_, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(terminal_, TCSANOW, &tio);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

void Pty::Close() {
  if (terminal_ >= 0) close(terminal_);
  if (master_ >= 0) close(master_);
  terminal_ = -1;
  master_ = -1;
  terminalPath_.clear();
}

}  // namespace k730::sim
