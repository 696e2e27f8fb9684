// k730-sim: plays N handsets for the downloader. Handset i owns the modem port
// COM<P+i> in the port directory and, once its phone half restarts after a
// download, its Palm device in the Palm directory (or, with --palm-tcp, on a
// loopback TCP port named by the listing). Runs until SIGINT or SIGTERM, then
// removes what it created. With --control FIFO it takes commands on that FIFO
// ("replace I [MS]": handset index I is swapped for a new unit, away MS of
// protocol time).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/file_access.h"
#include "core/pid_lock.h"
#include "sim/palm_sim.h"
#include "sim/phone_sim.h"
#include "sim/tcp_listing.h"

namespace {

using k730::sim::PhoneFaults;
using k730::sim::PhoneSim;
using k730::sim::PhoneSimConfig;

// A NOR flash of the handsets' period erases a 64 KiB sector in about half a
// second; the 31 sectors from 0x10000 take some 15 s.
constexpr int kDefaultEraseMs = 15000;
// How long a replaced handset is away before the new unit's port appears
// (protocol ms): longer than a console waits before it takes it for new.
constexpr int kDefaultReplaceAwayMs = 6000;

struct SimOptions {
  int handsets = 1;
  int firstPort = 1;
  std::string portDir;
  std::string palmDir;
  std::string dumpDir;
  std::string control;  // FIFO of replace commands, "" = none
  bool emergency = false;
  int restartDelayMs = 2000;
  int baud = 115200;                // the modem port's line, 8N1
  int usbRate = 1200000;            // bytes per second of USB full speed, after overheads
  int eraseMs = kDefaultEraseMs;    // how long the phone takes to erase before it answers
  std::vector<std::string> faults;  // KIND or KIND@i (handset index i)
  bool palmAtStart = false;
  int palmTcpPort = -1;  // the listing's port; -1: Palm devices on socket files
  k730::sim::PalmCapacities capacities;
};

// One simulated handset: its phone half, and the Palm half that appears when
// the phone restarts after its download.
struct Handset {
  std::unique_ptr<PhoneSim> phone;
  std::unique_ptr<k730::sim::PalmDeviceSim> palm;
};

void Usage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: k730-sim --handsets N [--first-port P] --port-dir DIR\n"
      "                (--palm-dir DIR | --palm-tcp PORT)\n"
      "                [--dump DIR] [--fault KIND[@i] ...] [--emergency]\n"
      "                [--restart-delay MS] [--palm-at-start] [--control FIFO]\n"
      "                [--baud N] [--usb-rate BYTES_PER_S] [--erase-ms MS]\n"
      "                [--smallrom-size SIZE] [--bigrom-size SIZE] [--resource-size SIZE]\n"
      "phone faults: no-autotest, silent:<COMMAND>, refuse-once:<k>, refuse-always:<k>,\n"
      "              unplug:<k>, garbage[:<n>], truncated[:<n>], mute, slow:<ms>,\n"
      "              no-return, bare-ack\n"
      "palm faults:  palm-checksum:<n>, palm-lose:<n>, palm-flash-fail, palm-unplug:<k>,\n"
      "              palm-unplug-flash, palm-leave:<ms>\n"
      "SIZE: bytes, or with K or M (defaults 128K, 21M, 26M)\n"
      "rates (0: no limit; divided by K730_TIME_SCALE): --baud 115200 on each modem port,\n"
      "--usb-rate 1200000 for each Palm device; --erase-ms 15000 (scaled like every wait)\n"
      "--control FIFO (made by the simulator, removed at its end) takes lines\n"
      "  replace I [MS]   handset index I leaves and a new unit returns MS later (6000)\n"
      "--palm-tcp PORT: each Palm device on a loopback TCP port of its own, listed on\n"
      "127.0.0.1:PORT (0: a port of the system's choice, shown in the ready line)\n");
}

bool ParseNumber(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno || end == text || *end || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

// False with the offending option, its value and what it takes on stderr.
bool ParseOptions(int argc, char** argv, SimOptions& options) {
  auto bad = [](const std::string& option, const char* value, const char* takes) {
    std::fprintf(stderr, "k730-sim: %s '%s': %s\n", option.c_str(), value, takes);
    return false;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    static const char* const kValued[] = {
        "--handsets",      "--first-port",    "--port-dir",      "--palm-dir", "--dump",
        "--fault",         "--restart-delay", "--baud",          "--usb-rate", "--erase-ms",
        "--smallrom-size", "--bigrom-size",   "--resource-size", "--control",  "--palm-tcp"};
    const bool valued = std::find(std::begin(kValued), std::end(kValued), arg) != std::end(kValued);
    if (valued && i + 1 >= argc) {
      std::fprintf(stderr, "k730-sim: %s needs a value\n", arg.c_str());
      return false;
    }
    const char* value = valued ? argv[++i] : "";
    if (arg == "--handsets") {
      if (!ParseNumber(value, 1, 6, options.handsets)) return bad(arg, value, "takes 1 to 6");
    } else if (arg == "--first-port") {
      if (!ParseNumber(value, 0, 250, options.firstPort)) return bad(arg, value, "takes 0 to 250");
    } else if (arg == "--port-dir") {
      options.portDir = value;
    } else if (arg == "--palm-dir") {
      options.palmDir = value;
    } else if (arg == "--dump") {
      options.dumpDir = value;
    } else if (arg == "--control") {
      if (!*value) return bad(arg, value, "takes the path of a FIFO to make");
      options.control = value;
    } else if (arg == "--fault") {
      options.faults.push_back(value);
    } else if (arg == "--emergency") {
      options.emergency = true;
    } else if (arg == "--restart-delay") {
      if (!ParseNumber(value, 0, 600000, options.restartDelayMs))
        return bad(arg, value, "takes milliseconds, 0 to 600000");
    } else if (arg == "--baud") {
      if (!ParseNumber(value, 0, 4000000, options.baud))
        return bad(arg, value, "takes bits per second, 0 to 4000000");
    } else if (arg == "--usb-rate") {
      if (!ParseNumber(value, 0, 1000000000, options.usbRate))
        return bad(arg, value, "takes bytes per second, 0 to 1000000000");
    } else if (arg == "--erase-ms") {
      if (!ParseNumber(value, 0, 600000, options.eraseMs))
        return bad(arg, value, "takes milliseconds, 0 to 600000");
    } else if (arg == "--palm-tcp") {
      if (!ParseNumber(value, 0, 65535, options.palmTcpPort))
        return bad(arg, value, "takes a TCP port, 0 to 65535");
    } else if (arg == "--palm-at-start") {
      options.palmAtStart = true;
    } else if (arg == "--smallrom-size" || arg == "--bigrom-size" || arg == "--resource-size") {
      uint32_t& size = arg == "--smallrom-size" ? options.capacities.smallRom
                       : arg == "--bigrom-size" ? options.capacities.bigRom
                                                : options.capacities.resource;
      if (!k730::sim::ParseByteSize(value, size))
        return bad(arg, value, "takes a size in bytes, or with K or M");
    } else {
      std::fprintf(stderr, "k730-sim: unexpected argument '%s'\n", arg.c_str());
      return false;
    }
  }
  // Never a default: the simulator must not take a real bench's folders.
  if (options.portDir.empty()) {
    std::fprintf(stderr, "k730-sim: --port-dir DIR is required\n");
    return false;
  }
  if (options.palmDir.empty() && options.palmTcpPort < 0) {
    std::fprintf(stderr, "k730-sim: --palm-dir DIR or --palm-tcp PORT is required\n");
    return false;
  }
  return true;
}

// Applies the faults meant for handset index (those without @i apply to all).
bool PhoneFaultsFor(const SimOptions& options, int index, PhoneFaults& faults) {
  for (const std::string& fault : options.faults) {
    std::string kind = fault;
    const size_t at = fault.rfind('@');
    if (at != std::string::npos) {
      int target = 0;
      if (!ParseNumber(fault.c_str() + at + 1, 0, 5, target)) {
        std::fprintf(stderr, "k730-sim: bad handset index in fault '%s'\n", fault.c_str());
        return false;
      }
      if (target != index) continue;
      kind = fault.substr(0, at);
    }
    if (k730::sim::IsPalmFault(kind)) continue;
    std::string error;
    if (!k730::sim::ParsePhoneFault(kind, faults, error)) {
      std::fprintf(stderr, "k730-sim: %s\n", error.c_str());
      return false;
    }
  }
  return true;
}

// The Palm faults meant for handset index.
bool PalmFaultsFor(const SimOptions& options, int index, k730::sim::PalmFaults& faults) {
  for (const std::string& fault : options.faults) {
    std::string kind = fault;
    const size_t at = fault.rfind('@');
    if (at != std::string::npos) {
      int target = 0;
      if (!ParseNumber(fault.c_str() + at + 1, 0, 5, target)) return false;
      if (target != index) continue;
      kind = fault.substr(0, at);
    }
    if (!k730::sim::IsPalmFault(kind)) continue;
    std::string error;
    if (!k730::sim::ParsePalmFault(kind, faults, error)) {
      std::fprintf(stderr, "k730-sim: %s\n", error.c_str());
      return false;
    }
  }
  return true;
}

bool MakeDirectory(const std::string& dir) {
  if (dir.empty()) return true;
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return true;
  std::fprintf(stderr, "k730-sim: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
  return false;
}

// Claims a folder the simulator fills: its lock file names this process and
// the entries it may create. A folder another simulator holds is refused; the
// entries a dead simulator's lock names are cleared away; any other entry in
// the way is left alone and refused.
bool ClaimFolder(const std::string& dir, const std::vector<std::string>& entries,
                 k730::PidLockFile& lock) {
  std::string note;
  for (const std::string& entry : entries) note += entry + "\n";
  std::string previous, reason;
  long holder = 0;
  switch (lock.Take(dir + "/.k730-sim.lock", note, previous, holder, reason)) {
    case k730::PidLockFile::Result::HeldByOther:
      std::fprintf(stderr, "k730-sim: %s is in use by another k730-sim (pid %ld)\n", dir.c_str(),
                   holder);
      return false;
    case k730::PidLockFile::Result::Failed:
      std::fprintf(stderr, "k730-sim: cannot lock %s\n", reason.c_str());
      return false;
    case k730::PidLockFile::Result::Taken:
      break;
  }
  size_t at = 0;
  for (size_t end; (end = previous.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string name = previous.substr(at, end - at);
    if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..")
      unlink((dir + "/" + name).c_str());
  }
  for (const std::string& entry : entries) {
    struct stat st {};
    if (lstat((dir + "/" + entry).c_str(), &st) == 0) {
      std::fprintf(stderr, "k730-sim: %s/%s exists and is not this simulator's; not replaced\n",
                   dir.c_str(), entry.c_str());
      lock.Release();
      return false;
    }
  }
  return true;
}

// The control FIFO: made at start (never over an existing entry), read by a
// thread of its own, removed at the end.
class ControlFifo {
 public:
  using Command = std::function<void(const std::string& line)>;
  ~ControlFifo() { Stop(); }

  bool Start(const std::string& path, Command command) {
    if (mkfifo(path.c_str(), 0600) != 0) {
      std::fprintf(stderr, "k730-sim: --control %s: %s\n", path.c_str(), std::strerror(errno));
      return false;
    }
    path_ = path;
    // Opened for writing too, so that a writer closing it is no end of file.
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
      std::fprintf(stderr, "k730-sim: --control %s: %s\n", path.c_str(), std::strerror(errno));
      Stop();
      return false;
    }
    command_ = std::move(command);
    thread_ = std::thread([this] { Loop(); });
    return true;
  }
  void Stop() {
    if (thread_.joinable()) {
      const char wake = 1;
      [[maybe_unused]] const ssize_t n = write(wake_[1], &wake, 1);
      thread_.join();
    }
    for (int* fd : {&fd_, &wake_[0], &wake_[1]}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
  }

 private:
  void Loop() {
    std::string line;
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      char buffer[256];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') {
          if (line.size() < 256) line += buffer[i];
          continue;
        }
        command_(line);
        line.clear();
      }
    }
  }

  std::string path_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  Command command_;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage(stdout);
      return 0;
    }
  }
  SimOptions options;
  if (!ParseOptions(argc, argv, options)) {
    Usage(stderr);
    return 2;
  }
  if (const std::string problem = k730::TimeScaleEnvironmentProblem(); !problem.empty()) {
    std::fprintf(stderr, "k730-sim: %s\n", problem.c_str());
    return 2;
  }
  const bool palmTcp = options.palmTcpPort >= 0;
  if (!MakeDirectory(options.portDir) || (!palmTcp && !MakeDirectory(options.palmDir)) ||
      !MakeDirectory(options.dumpDir))
    return 1;
  std::vector<std::string> ports, palms;
  for (int i = 0; i < options.handsets; ++i) {
    ports.push_back("COM" + std::to_string(options.firstPort + i));
    palms.push_back("palm" + std::to_string(options.firstPort + i) + ".sock");
  }
  k730::PidLockFile portLock, palmLock;
  if (palmTcp) {
    if (!ClaimFolder(options.portDir, ports, portLock)) return 1;
  } else if (k730::RealPath(options.portDir) == k730::RealPath(options.palmDir)) {
    ports.insert(ports.end(), palms.begin(), palms.end());
    if (!ClaimFolder(options.portDir, ports, portLock)) return 1;
  } else if (!ClaimFolder(options.portDir, ports, portLock) ||
             !ClaimFolder(options.palmDir, palms, palmLock)) {
    return 1;
  }

  // Signals are taken by sigwait below; every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::vector<Handset> handsets(static_cast<size_t>(options.handsets));
  // Followers of the TCP listing hear of every Palm device that comes or goes.
  k730::sim::TcpListing listing([&handsets] {
    std::map<uint32_t, uint16_t> present;
    for (const Handset& handset : handsets)
      if (handset.palm && handset.palm->TcpPort() != 0)
        present[handset.palm->Number()] = handset.palm->TcpPort();
    return present;
  });
  for (int i = 0; i < options.handsets; ++i) {
    PhoneSimConfig config;
    config.portDir = options.portDir;
    config.portNumber = options.firstPort + i;
    config.emergency = options.emergency;
    config.dumpDir = options.dumpDir;
    config.restartDelayMs = static_cast<uint32_t>(options.restartDelayMs);
    config.baud = static_cast<uint32_t>(options.baud);
    config.eraseMs = static_cast<uint32_t>(options.eraseMs);
    if (!PhoneFaultsFor(options, i, config.faults)) return 2;
    Handset& handset = handsets[static_cast<size_t>(i)];
    handset.phone = std::make_unique<PhoneSim>(config);
    k730::sim::PalmSimOptions palmOptions;
    if (!PalmFaultsFor(options, i, palmOptions.faults)) return 2;
    palmOptions.directory = options.palmDir;
    palmOptions.number = static_cast<uint32_t>(config.portNumber);
    palmOptions.dumpDirectory = options.dumpDir;
    palmOptions.capacities = options.capacities;
    palmOptions.usbBytesPerSecond = static_cast<uint32_t>(options.usbRate);
    palmOptions.tcp = palmTcp;
    if (palmTcp) palmOptions.onPresenceChange = [&listing] { listing.Changed(); };
    handset.palm = std::make_unique<k730::sim::PalmDeviceSim>(palmOptions);
    k730::sim::PalmDeviceSim* palm = handset.palm.get();
    // The whole handset leaves the bus when its phone half restarts, so a
    // console that keeps running sees the Palm half arrive anew every run.
    handset.phone->SetOnDrop([palm] {
      if (palm) palm->Unplug();
    });
    handset.phone->SetOnRestartAfterDownload([palm] {
      // The handset's Palm half appears once the new phone firmware runs.
      if (palm && !palm->Plug()) std::fprintf(stderr, "k730-sim: Palm device did not appear\n");
    });
    handset.phone->SetOnReplaced([palm, atStart = options.palmAtStart, port = config.portNumber] {
      std::printf("k730-sim: COM%d is a new unit\n", port);
      std::fflush(stdout);
      if (atStart && palm && !palm->Plug())
        std::fprintf(stderr, "k730-sim: Palm device did not appear\n");
    });
  }
  if (palmTcp) {
    std::string error;
    if (!listing.Start(static_cast<uint16_t>(options.palmTcpPort), error)) {
      std::fprintf(stderr, "k730-sim: --palm-tcp %d: cannot listen: %s\n", options.palmTcpPort,
                   error.c_str());
      return 1;
    }
  }
  for (Handset& handset : handsets) {
    std::string error;
    if (!handset.phone->Start(error)) {
      std::fprintf(stderr, "k730-sim: COM%d: %s\n", handset.phone->Config().portNumber,
                   error.c_str());
      return 1;
    }
  }
  for (Handset& handset : handsets) {
    if (options.palmAtStart && handset.palm && !handset.palm->Plug()) {
      std::fprintf(stderr, "k730-sim: %s: cannot listen\n", handset.palm->SocketPath().c_str());
      return 1;
    }
  }
  ControlFifo control;
  if (!options.control.empty() &&
      !control.Start(options.control, [&handsets](const std::string& line) {
        int index = -1;
        int awayMs = kDefaultReplaceAwayMs;
        char extra = 0;
        const int n = std::sscanf(line.c_str(), "replace %d %d %c", &index, &awayMs, &extra);
        if (n < 1 || n > 2 || index < 0 || index >= static_cast<int>(handsets.size()) ||
            awayMs < 0 || awayMs > 600000) {
          std::fprintf(stderr, "k730-sim: control: '%s' is not 'replace I [MS]'\n", line.c_str());
          return;
        }
        handsets[static_cast<size_t>(index)].phone->Replace(static_cast<uint32_t>(awayMs));
      }))
    return 1;
  if (palmTcp)
    std::printf("k730-sim: ready %d handsets, Palm devices listed on 127.0.0.1:%u\n",
                options.handsets, static_cast<unsigned>(listing.Port()));
  else
    std::printf("k730-sim: ready %d handsets\n", options.handsets);
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  control.Stop();
  for (Handset& handset : handsets) {
    handset.phone->Stop();
    if (handset.palm) handset.palm->Unplug();
  }
  listing.Stop();
  return 0;
}
