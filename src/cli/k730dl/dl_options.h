// The command line of k730dl, the headless runner.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace k730 {

struct DlOptions {
  int deviceMode = 0;          // PDA+PHONE, as the console opens
  int phoneMode = 4;           // [PH]Skip
  int pdaMode = 7;             // [PDA]Skip
  std::optional<int> comBase;  // unset: the console's own (the UPLOAD_PORT setting)
  int expect = 0;              // modem ports to wait for, 0: do not wait
  double waitSeconds = 30;
  bool yes = false;
  bool parallelRestarts = false;
  bool continuous = false;
  std::string logDir;
  std::string image;
};

constexpr const char* kDlUsage =
    "usage: k730dl [--device pda+phone|phone|pda]\n"
    "              [--phone-mode normal|emergency|ch-normal|ch-emergency|skip]\n"
    "              [--pda-mode smallrom|rom|resource|all|dformat|widebin|bigrom|skip]\n"
    "              [--com-base N] [--expect N [--wait SECONDS]] [--yes] [--log-dir DIR]\n"
    "              [--parallel-restarts] [--continuous] IMAGE\n"
    "       k730dl --list\n"
    "       k730dl --udev-rules [IDS-FILE [OUTPUT]]\n"
    "Runs the download console without a window: every live slot flashes IMAGE.\n"
    "--parallel-restarts lets the handsets restart at the same time, each on its own\n"
    "port, where udev names every modem port by its USB port (or the ports are\n"
    "simulated); otherwise a slot-0 line says why they restart one at a time.\n"
    "--continuous flashes unit after unit: a slot whose unit ended starts again with\n"
    "the same job and image when a new unit is plugged in at its port (a new USB\n"
    "serial number, or a port away at least 5 s after its slot ended); SIGINT, SIGTERM\n"
    "or SIGHUP end it after the running units (a second one at once) with a summary\n"
    "per slot; exit 0 when every unit completed, 1 when one failed or none ran.\n"
    "--list shows the bench as the console sees it and what stops a slot (exit 0 every\n"
    "live slot has a usable modem port, 1 none or one unusable); --udev-rules writes\n"
    "the udev rule of the handset id list.\n"
    "Mode names follow the console's radios in order; their numbers are accepted too.\n"
    "Exit status: 0 every live slot completed, 1 a slot failed or none could start,\n"
    "2 bad usage or refused before Go, 3 (with K730_REPLAY=DIR) the run did not\n"
    "follow the recording in DIR, 4 every slot completed but standard output, the\n"
    "slot logs or the run record could not be fully written (1 wins over 4).\n"
    "K730_RECORD=DIR records every serial and Palm link into DIR; K730_REPLAY=DIR\n"
    "plays such a recording back in place of the handsets (docs/recording-format.md).\n";

// Parses argv; false with a reason on bad usage.
bool ParseDlOptions(const std::vector<std::string>& args, DlOptions& options, std::string& error);

// A mode by name or number within 0..names-1; -1 when neither.
int ModeByName(const std::string& text, const std::vector<std::string>& names);

}  // namespace k730
