#include "cli/k730dl/bench_commands.h"

#include <cstdio>
#include <fstream>

#include "core/file_access.h"
#include "pda/handset_ids.h"

namespace k730 {

int RunUdevRulesCommand(const std::vector<std::string>& args) {
  if (args.size() > 2) {
    std::fputs("usage: k730dl --udev-rules [IDS-FILE [OUTPUT]]\n", stderr);
    return 2;
  }
  const std::string path = args.empty() ? HandsetIdsPath() : args[0];
  const LoadedHandsetIds loaded = LoadHandsetIds(path);
  if (!loaded.readable) {
    std::fprintf(stderr, "k730dl: cannot read %s: %s\n", path.c_str(), loaded.readError.c_str());
    return 1;
  }
  // A rule without a handset the bench listed would go unnoticed: none is written.
  if (!loaded.errors.empty()) {
    for (const std::string& error : loaded.errors)
      std::fprintf(stderr, "k730dl: %s %s\n", path.c_str(), error.c_str());
    return 1;
  }
  const std::string rules = UdevRulesFor(loaded.ids, path);
  if (args.size() < 2) {
    std::fwrite(rules.data(), 1, rules.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const std::string temporary = args[1] + ".tmp";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  out << rules;
  out.close();
  int error = 0;
  if (!out || !RenameFile(temporary, args[1], error)) {
    RemoveFile(temporary);
    std::fprintf(stderr, "k730dl: cannot write %s\n", args[1].c_str());
    return 1;
  }
  return 0;
}

}  // namespace k730
