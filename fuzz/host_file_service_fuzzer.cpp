// The host file service of DFormat programs fed a stream of handheld requests
// (the input, 30 bytes each) against a scratch directory. Nothing outside the
// service's directory may be created, changed or opened: the directory's
// parent holds a file and a folder that symbolic links inside point to, and
// both must be exactly as they were after every input; every descriptor the
// service leaves open must name a file inside the directory.
//
// Layout, rebuilt before each input:
//   <scratch>/outside.txt             "secret"
//   <scratch>/outside-dir/c.txt       "c"
//   <scratch>/root/                   the service's directory
//   <scratch>/root/a.txt              "alpha\n"
//   <scratch>/root/sub/b.bin          20 bytes
//   <scratch>/root/up -> ..           and out, outdir, abs: links leading outside
//   <scratch>/root/fifo               a named pipe (an open must not block on it)

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "palm_fuzz_transport.h"
#include "pda/host_file_service.h"

namespace {

using namespace k730;

const std::string kSecret = "secret";
const std::string kInnerSecret = "c";

std::set<std::string> Names(const std::string& directory) {
  std::set<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
  }
  return names;
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  for (const std::string& name : Names("/proc/self/fd")) fds.insert(std::atoi(name.c_str()));
  return fds;
}

void WriteText(const std::string& path, const std::string& text) {
  fuzz::WriteBytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool HoldsText(const std::string& path, const std::string& text) {
  std::vector<uint8_t> content;
  return fuzz::ReadBytes(path, content) && std::string(content.begin(), content.end()) == text;
}

class Layout {
 public:
  Layout() : scratch_("hostfiles"), root_(scratch_.File("root")) {
    WriteText(scratch_.File("outside.txt"), kSecret);
    K730_FUZZ_CHECK(mkdir(scratch_.File("outside-dir").c_str(), 0700) == 0);
    WriteText(scratch_.File("outside-dir/c.txt"), kInnerSecret);
  }
  const std::string& Root() const { return root_; }

  void Rebuild() {
    fuzz::RemoveTree(root_);
    K730_FUZZ_CHECK(mkdir(root_.c_str(), 0700) == 0);
    WriteText(root_ + "/a.txt", "alpha\n");
    K730_FUZZ_CHECK(mkdir((root_ + "/sub").c_str(), 0700) == 0);
    WriteText(root_ + "/sub/b.bin", "0123456789abcdefghij");
    K730_FUZZ_CHECK(symlink("..", (root_ + "/up").c_str()) == 0);
    K730_FUZZ_CHECK(symlink("../outside.txt", (root_ + "/out").c_str()) == 0);
    K730_FUZZ_CHECK(symlink("../outside-dir", (root_ + "/outdir").c_str()) == 0);
    K730_FUZZ_CHECK(symlink(scratch_.File("outside.txt").c_str(), (root_ + "/abs").c_str()) == 0);
    K730_FUZZ_CHECK(mkfifo((root_ + "/fifo").c_str(), 0600) == 0);
  }

  // The parent of the service's directory is exactly as it was built.
  void CheckOutsideUntouched() const {
    K730_FUZZ_CHECK(
        (Names(scratch_.Path()) == std::set<std::string>{"outside.txt", "outside-dir", "root"}));
    K730_FUZZ_CHECK(HoldsText(scratch_.File("outside.txt"), kSecret));
    K730_FUZZ_CHECK((Names(scratch_.File("outside-dir")) == std::set<std::string>{"c.txt"}));
    K730_FUZZ_CHECK(HoldsText(scratch_.File("outside-dir/c.txt"), kInnerSecret));
  }

  // Every descriptor opened since before names something below the directory.
  void CheckDescriptorsInside(const std::set<int>& before) const {
    const std::string prefix = root_ + "/";
    for (int fd : OpenDescriptors()) {
      if (before.count(fd)) continue;
      char target[4096];
      const std::string link = "/proc/self/fd/" + std::to_string(fd);
      const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n < 0) continue;  // the descriptor of the listing itself, closed by now
      const std::string path(target, static_cast<size_t>(n));
      if (path.compare(0, prefix.size(), prefix) != 0) {
        std::fprintf(stderr, "descriptor %d names %s\n", fd, path.c_str());
        K730_FUZZ_CHECK(!"descriptor outside the service's directory");
      }
    }
  }

 private:
  fuzz::ScratchDir scratch_;
  std::string root_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Layout layout;
  layout.Rebuild();
  const std::set<int> before = OpenDescriptors();
  {
    fuzz::InputTransport transport(data, size);
    PalmUsbPort port(&transport);
    K730_FUZZ_CHECK(port.Open("fuzz", kPalmCreatorId) == 1);
    fuzz::NullWriter writer;
    HostFileTable table(layout.Root());
    K730_FUZZ_CHECK(HostFileService(port, writer, table) == 0);
    K730_FUZZ_CHECK(table.UsedCount() <= kHostFileEntries);
    layout.CheckDescriptorsInside(before);
  }
  // The table closed everything it held.
  K730_FUZZ_CHECK(OpenDescriptors() == before);
  layout.CheckOutsideUntouched();
  return 0;
}
