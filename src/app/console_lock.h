// One console per bench. Two consoles on the same modem ports would take each
// other's handsets away mid-flash, so the second one is refused at start: a
// lock file in the user's runtime folder, named after the real path of the
// modem-port folder (the bench's name, whatever lists its ports), holds the
// console's pid for as long as it runs.
#pragma once

#include <string>

#include "core/pid_lock.h"

namespace k730 {

class ConsoleLock {
 public:
  // Takes the bench of portDirectory for this process; false with a sentence
  // saying why not (another console's pid, or what failed).
  bool Acquire(const std::string& portDirectory, std::string& reason);
  void Release() { lock_.Release(); }

 private:
  PidLockFile lock_;
};

}  // namespace k730
