#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/clock.h"

namespace k730::fuzz {

void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}

void UseTinyTimeScale() {
  SetProcessTimeScale(1e-6);
}

ScratchDir::ScratchDir(const char* tag) {
  // K730_FUZZ_TMPDIR (the fuzz script's, removed after each target even when
  // a crash skipped this destructor), else TMPDIR, else memory-backed when the
  // system has it: the targets write files on every input, and a disk's
  // flushes would set the pace of a fuzz run.
  std::string root = "/tmp";
  const char* fuzzBase = std::getenv("K730_FUZZ_TMPDIR");
  const char* base = std::getenv("TMPDIR");
  if (fuzzBase && *fuzzBase) {
    root = fuzzBase;
  } else if (base && *base) {
    root = base;
  } else if (access("/dev/shm", W_OK | X_OK) == 0) {
    root = "/dev/shm";
  }
  std::string pattern = root + "/k730-fuzz-" + tag + "-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  RemoveTree(path_);
}

void RemoveTree(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    // Entries the walk cannot read (mode 000) get their permissions back first.
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(dir);
      for (const std::string& name : names) RemoveTree(path + "/" + name);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror(path.c_str());
    std::abort();
  }
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::perror(path.c_str());
      std::abort();
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
}

bool ReadBytes(const std::string& path, std::vector<uint8_t>& content) {
  content.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    content.insert(content.end(), chunk, chunk + n);
  }
  close(fd);
  return true;
}

void NullWriter::AppendSlotLog(int slot, const std::string& text) {
  K730_FUZZ_CHECK(slot >= 0 && slot < kSlotCount);
  K730_FUZZ_CHECK(text.size() <= 255);
}

void NullWriter::SetSlotProgress(int slot, uint32_t, uint32_t) {
  K730_FUZZ_CHECK(slot >= 0 && slot < kSlotCount);
}

MessageAnswer FixedPrompt::ShowMessage(const std::string& text, MessageIcon,
                                       MessageButtons buttons) {
  K730_FUZZ_CHECK(!text.empty());
  ++shown_;
  if (buttons != MessageButtons::YesNo) return MessageAnswer::Ok;
  return answer_;
}

}  // namespace k730::fuzz
