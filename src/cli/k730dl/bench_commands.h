// The modes of k730dl that run no job: the udev rule of the handset id list
// and the listing of the bench as the console sees it.
#pragma once

#include <string>
#include <vector>

namespace k730 {

// k730dl --udev-rules [IDS-FILE [OUTPUT]]: the rule for the list (default the
// installed one) on standard output or into OUTPUT. 0 written, 1 the list is
// unreadable or has malformed lines (each reported with its line number,
// nothing written), 2 bad usage.
int RunUdevRulesCommand(const std::vector<std::string>& args);

// k730dl --list: see kListUsage.
int RunListCommand(const std::vector<std::string>& args);

// The end of the listing on every platform: the problems found, then the
// verdict over the live slots. Returns --list's exit status.
int ReportBenchProblems(const std::vector<std::string>& problems, int slots, int usable);

}  // namespace k730
