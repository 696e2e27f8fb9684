#include "cli/k730dl/bench_commands.h"
namespace k730 {
int RunListCommand(const std::vector<std::string>&) {
  return 2;
}
}  // namespace k730
