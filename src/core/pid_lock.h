// A lock file that says who holds it: a lock on the open file held for as
// long as the object lives, and the holder's pid on the file's first line, so
// that whoever is refused can be told whom to look for. A lock file nobody
// holds any more (its holder died) is taken over; what that holder wrote is
// handed back so that its leftovers can be cleared away.
#pragma once

#include <string>

namespace k730 {

class PidLockFile {
 public:
  enum class Result { Taken, HeldByOther, Failed };

  PidLockFile() = default;
  ~PidLockFile();
  PidLockFile(const PidLockFile&) = delete;
  PidLockFile& operator=(const PidLockFile&) = delete;

  // Takes the lock at path (created 0644 when missing) and writes this
  // process's pid followed by the lines of note. HeldByOther sets holderPid
  // (0 when the holder wrote none yet); Failed sets reason. On Taken,
  // previous holds the lines a dead holder left after its pid ("" for a
  // fresh lock).
  Result Take(const std::string& path, const std::string& note, std::string& previous,
              long& holderPid, std::string& reason);
  // Removes the lock file and lets go of it (also done by the destructor).
  void Release();
  bool Held() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace k730
