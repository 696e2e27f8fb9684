#include <cstdio>

#include "cli/k730dl/bench_commands.h"

namespace k730 {

int ReportBenchProblems(const std::vector<std::string>& problems, int slots, int usable) {
  std::printf("Problems:\n");
  for (const std::string& problem : problems) std::printf("  %s\n", problem.c_str());
  if (problems.empty()) std::printf("  none\n");
  if (slots == 0) {
    std::printf("No modem port: no slot can work.\n");
    return 1;
  }
  std::printf("%d of %d slots have a usable modem port.\n", usable, slots);
  return usable == slots ? 0 : 1;
}

}  // namespace k730
