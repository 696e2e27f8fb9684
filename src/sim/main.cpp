// k730-sim: plays N handsets for the downloader. Handset i owns the modem port
// COM<P+i> in the port directory and, once its phone half restarts after a
// download, its Palm device in the Palm directory. Runs until SIGINT or
// SIGTERM, then removes what it created.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/palm_sim.h"
#include "sim/phone_sim.h"

namespace {

using k730::sim::PhoneFaults;
using k730::sim::PhoneSim;
using k730::sim::PhoneSimConfig;

// A NOR flash of the handsets' period erases a 64 KiB sector in about half a
// second; the 31 sectors from 0x10000 take some 15 s.
constexpr int kDefaultEraseMs = 15000;

struct SimOptions {
  int handsets = 1;
  int firstPort = 1;
  std::string portDir;
  std::string palmDir;
  std::string dumpDir;
  bool emergency = false;
  int restartDelayMs = 2000;
  int baud = 115200;                // the modem port's line, 8N1
  int usbRate = 1200000;            // bytes per second of USB full speed, after overheads
  int eraseMs = kDefaultEraseMs;    // how long the phone takes to erase before it answers
  std::vector<std::string> faults;  // KIND or KIND@i (handset index i)
  bool palmAtStart = false;
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
      "usage: k730-sim --handsets N [--first-port P] --port-dir DIR --palm-dir DIR\n"
      "                [--dump DIR] [--fault KIND[@i] ...] [--emergency]\n"
      "                [--restart-delay MS] [--palm-at-start]\n"
      "                [--baud N] [--usb-rate BYTES_PER_S] [--erase-ms MS]\n"
      "                [--smallrom-size SIZE] [--bigrom-size SIZE] [--resource-size SIZE]\n"
      "phone faults: no-autotest, silent:<COMMAND>, refuse-once:<k>, refuse-always:<k>,\n"
      "              unplug:<k>, garbage[:<n>], truncated[:<n>], mute, slow:<ms>,\n"
      "              no-return, bare-ack\n"
      "palm faults:  palm-checksum:<n>, palm-lose:<n>, palm-flash-fail, palm-unplug:<k>,\n"
      "              palm-unplug-flash, palm-leave:<ms>\n"
      "SIZE: bytes, or with K or M (defaults 128K, 21M, 26M)\n"
      "rates (0: no limit; divided by K730_TIME_SCALE): --baud 115200 on each modem port,\n"
      "--usb-rate 1200000 for each Palm device; --erase-ms 15000 (scaled like every wait)\n");
}

bool ParseNumber(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno || end == text || *end || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool ParseOptions(int argc, char** argv, SimOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--handsets" && hasValue) {
      if (!ParseNumber(argv[++i], 1, 6, options.handsets)) return false;
    } else if (arg == "--first-port" && hasValue) {
      if (!ParseNumber(argv[++i], 0, 250, options.firstPort)) return false;
    } else if (arg == "--port-dir" && hasValue) {
      options.portDir = argv[++i];
    } else if (arg == "--palm-dir" && hasValue) {
      options.palmDir = argv[++i];
    } else if (arg == "--dump" && hasValue) {
      options.dumpDir = argv[++i];
    } else if (arg == "--fault" && hasValue) {
      options.faults.push_back(argv[++i]);
    } else if (arg == "--emergency") {
      options.emergency = true;
    } else if (arg == "--restart-delay" && hasValue) {
      if (!ParseNumber(argv[++i], 0, 600000, options.restartDelayMs)) return false;
    } else if (arg == "--baud" && hasValue) {
      if (!ParseNumber(argv[++i], 0, 4000000, options.baud)) return false;
    } else if (arg == "--usb-rate" && hasValue) {
      if (!ParseNumber(argv[++i], 0, 1000000000, options.usbRate)) return false;
    } else if (arg == "--erase-ms" && hasValue) {
      if (!ParseNumber(argv[++i], 0, 600000, options.eraseMs)) return false;
    } else if (arg == "--palm-at-start") {
      options.palmAtStart = true;
    } else if (arg == "--smallrom-size" && hasValue) {
      if (!k730::sim::ParseByteSize(argv[++i], options.capacities.smallRom)) return false;
    } else if (arg == "--bigrom-size" && hasValue) {
      if (!k730::sim::ParseByteSize(argv[++i], options.capacities.bigRom)) return false;
    } else if (arg == "--resource-size" && hasValue) {
      if (!k730::sim::ParseByteSize(argv[++i], options.capacities.resource)) return false;
    } else {
      std::fprintf(stderr, "k730-sim: unexpected argument '%s'\n", arg.c_str());
      return false;
    }
  }
  if (options.portDir.empty()) {
    const char* env = std::getenv("K730_PORT_DIR");
    options.portDir = env && *env ? env : "/dev/k730";
  }
  if (options.palmDir.empty()) {
    const char* env = std::getenv("K730_PALM_DIR");
    if (env) options.palmDir = env;
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
  if (!MakeDirectory(options.portDir) || !MakeDirectory(options.palmDir) ||
      !MakeDirectory(options.dumpDir))
    return 1;

  // Signals are taken by sigwait below; every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::vector<Handset> handsets(static_cast<size_t>(options.handsets));
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
    if (!options.palmDir.empty()) {
      palmOptions.directory = options.palmDir;
      palmOptions.number = static_cast<uint32_t>(config.portNumber);
      palmOptions.dumpDirectory = options.dumpDir;
      palmOptions.capacities = options.capacities;
      palmOptions.usbBytesPerSecond = static_cast<uint32_t>(options.usbRate);
      handset.palm = std::make_unique<k730::sim::PalmDeviceSim>(palmOptions);
    }
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
  std::printf("k730-sim: ready %d handsets\n", options.handsets);
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  for (Handset& handset : handsets) {
    handset.phone->Stop();
    if (handset.palm) handset.palm->Unplug();
  }
  return 0;
}
