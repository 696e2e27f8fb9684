#include "cli/k730dl/dl_options.h"

#include <cerrno>
#include <cstdlib>

namespace k730 {
namespace {

const std::vector<std::string> kDeviceNames = {"pda+phone", "phone", "pda"};
const std::vector<std::string> kPhoneNames = {"normal", "emergency", "ch-normal", "ch-emergency",
                                              "skip"};
const std::vector<std::string> kPdaNames = {"smallrom", "rom",     "resource", "all",
                                            "dformat",  "widebin", "bigrom",   "skip"};

bool ParseInt(const std::string& text, long low, long high, int& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno || *end || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

}  // namespace

int ModeByName(const std::string& text, const std::vector<std::string>& names) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (text == names[i]) return static_cast<int>(i);
  }
  int number = 0;
  if (ParseInt(text, 0, static_cast<long>(names.size()) - 1, number)) return number;
  return -1;
}

bool ParseDlOptions(const std::vector<std::string>& args, DlOptions& options, std::string& error) {
  bool waitGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--device") {
      if (!value(text)) return false;
      options.deviceMode = ModeByName(text, kDeviceNames);
      if (options.deviceMode < 0) return error = "unknown device '" + text + "'", false;
    } else if (arg == "--phone-mode") {
      if (!value(text)) return false;
      options.phoneMode = ModeByName(text, kPhoneNames);
      if (options.phoneMode < 0) return error = "unknown phone mode '" + text + "'", false;
    } else if (arg == "--pda-mode") {
      if (!value(text)) return false;
      options.pdaMode = ModeByName(text, kPdaNames);
      if (options.pdaMode < 0) return error = "unknown PDA mode '" + text + "'", false;
    } else if (arg == "--com-base") {
      if (!value(text)) return false;
      int base = 0;
      if (!ParseInt(text, 0, 100, base)) return error = "--com-base takes 0 to 100", false;
      options.comBase = base;
    } else if (arg == "--expect") {
      if (!value(text)) return false;
      if (!ParseInt(text, 1, 6, options.expect)) return error = "--expect takes 1 to 6", false;
    } else if (arg == "--wait") {
      if (!value(text)) return false;
      char* end = nullptr;
      const double seconds = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end || !(seconds >= 0) || seconds > 86400)
        return error = "--wait takes seconds (0 to 86400)", false;
      options.waitSeconds = seconds;
      waitGiven = true;
    } else if (arg == "--yes") {
      options.yes = true;
    } else if (arg == "--parallel-restarts") {
      options.parallelRestarts = true;
    } else if (arg == "--continuous") {
      options.continuous = true;
    } else if (arg == "--log-dir") {
      if (!value(options.logDir)) return false;
      if (options.logDir.empty()) return error = "--log-dir needs a directory", false;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return error = "unknown option '" + arg + "'", false;
    } else if (options.image.empty()) {
      options.image = arg;
    } else {
      return error = "more than one IMAGE", false;
    }
  }
  if (options.image.empty()) return error = "no IMAGE given", false;
  if (waitGiven && options.expect == 0) return error = "--wait needs --expect", false;
  return true;
}

}  // namespace k730
