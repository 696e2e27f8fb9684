// k730-image: the Image Maker operations on the command line. Every operation
// runs through ImageMaker, exactly as the window runs it.
//
// Exit status: 0 success, 1 the operation failed (reason on stderr, one line),
// 2 bad usage (usage text on stderr).

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/file_access.h"
#include "core/stop_requests.h"
#include "image/container_info.h"
#include "image/demo_components.h"
#include "image/file_io.h"
#include "image/image_maker.h"

namespace {

// Set by the first request to stop (a signal, Ctrl+C).
std::atomic<bool> g_stopRequested{false};

}  // namespace

namespace k730 {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kMainUsage =
    "Usage: k730-image COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  make-img   make a United Binary from a phone binary, IPL, widebin and resource data\n"
    "  make-pda   make a PDA image from an IPL, widebin and resource data\n"
    "  combine    make a United Binary from a phone binary and a PDA image\n"
    "  split      write the components of a United Binary or PDA image to files\n"
    "  info       show (and verify) the header of a United Binary or PDA image\n"
    "  demo-components  write generated component files for demos and tests\n"
    "\n"
    "Run 'k730-image COMMAND --help' for the options of a command.\n"
    "Exit status: 0 success, 1 the operation failed, 2 bad usage.\n";

constexpr const char* kStampOptions =
    "  --version TEXT     version text, at most 31 characters (default \"10\")\n"
    "  --date YY/MM/DD    build date (default: today); a four-digit year is accepted\n"
    "  --time HH:MM:SS    build time (default: now)\n"
    "  -o OUT             the output file, written under this name; a symbolic link,\n"
    "                     a device, a FIFO or one of the inputs is refused\n";

struct Command {
  const char* name;
  const char* synopsis;
  const char* details;
  std::set<std::string> valueOptions;
  std::set<std::string> flagOptions;
  size_t positionals;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"make-img",
       "k730-image make-img --phone F --ipl F --widebin F --resource F [--version TEXT] "
       "[--date YY/MM/DD] [--time HH:MM:SS] -o OUT",
       "Makes a United Binary: a 256-byte header, then the phone binary, IPL, widebin and\n"
       "resource data. Each entry records its source's modification time, length and CRC-32.\n",
       {"--phone", "--ipl", "--widebin", "--resource", "--version", "--date", "--time", "-o"},
       {},
       0},
      {"make-pda",
       "k730-image make-pda --ipl F --widebin F --resource F [--version TEXT] "
       "[--date YY/MM/DD] [--time HH:MM:SS] -o OUT",
       "Makes a PDA image: a 212-byte header, then the IPL, widebin and resource data.\n",
       {"--ipl", "--widebin", "--resource", "--version", "--date", "--time", "-o"},
       {},
       0},
      {"combine",
       "k730-image combine --phone F --pda F [--version TEXT] [--date YY/MM/DD] "
       "[--time HH:MM:SS] -o OUT",
       "Makes a United Binary from a phone binary and a PDA image. The PDA image's entries\n"
       "(stamps, lengths, CRCs) are carried over unchanged.\n",
       {"--phone", "--pda", "--version", "--date", "--time", "-o"},
       {},
       0},
      {"split",
       "k730-image split FILE [-C DIR]",
       "Writes the components of FILE into DIR (default: the current directory):\n"
       "TOVA_Phone.bin (United Binary only), TOVA_IPL.bin, TOVA_Korvan_Release.widebin and\n"
       "TOVA_Resource.bin. The header size decides the kind: 256 United Binary, 212 PDA\n"
       "image; any other value is refused. Existing files are replaced only when every\n"
       "component has been written completely.\n"
       "  -C DIR             the directory to write into\n",
       {"-C"},
       {},
       1},
      {"info",
       "k730-image info FILE [--verify]",
       "Shows every header field of a United Binary or PDA image.\n"
       "  --verify           also recompute each component's CRC-32 and check offsets,\n"
       "                     lengths and the total size against the file; one line per\n"
       "                     problem, exit status 1 when there is any\n",
       {},
       {"--verify"},
       1},
      {"demo-components",
       "k730-image demo-components -C DIR [--size-scale S]",
       "Writes deterministic pseudo-random components into DIR: phone.bin (2,097,152\n"
       "bytes, valid trailer, start address 0x00010000), ipl.bin, demo.widebin (longer\n"
       "than its 131,072-byte SmallRom part) and resource.bin.\n"
       "  -C DIR             the directory to write into (created if missing)\n"
       "  --size-scale S     scale of the IPL, widebin and resource sizes, in (0, 100];\n"
       "                     1 (default) totals about 2.4 MB, 100 about 42.4 MB\n",
       {"-C", "--size-scale"},
       {},
       0},
  };
  return commands;
}

void PrintCommandHelp(FILE* out, const Command& c) {
  std::fprintf(out, "Usage: %s\n\n%s", c.synopsis, c.details);
  if (c.valueOptions.count("--version")) std::fputs(kStampOptions, out);
}

int Usage(const Command* command, const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "k730-image: %s\n", problem.c_str());
  if (command)
    PrintCommandHelp(stderr, *command);
  else
    std::fputs(kMainUsage, stderr);
  return kExitUsage;
}

int Fail(const std::string& reason) {
  std::string line = reason;
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::fprintf(stderr, "k730-image: %s\n", line.c_str());
  return kExitFailed;
}

struct Arguments {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> positionals;
  bool help = false;
};

// Returns an empty string on success, else what is wrong.
std::string Parse(const Command& c, int argc, char** argv, Arguments& args) {
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      args.help = true;
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::string name = arg, value;
      bool inlineValue = false;
      const size_t eq = arg.find('=');
      if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inlineValue = true;
      }
      if (c.flagOptions.count(name) && !inlineValue) {
        args.flags.insert(name);
        continue;
      }
      if (!c.valueOptions.count(name)) return "unknown option '" + arg + "'";
      if (!inlineValue) {
        if (i + 1 >= argc) return "option '" + name + "' needs a value";
        value = argv[++i];
      }
      if (args.values.count(name)) return "option '" + name + "' given twice";
      args.values[name] = value;
      continue;
    }
    args.positionals.push_back(arg);
  }
  if (args.help) return {};
  if (args.positionals.size() != c.positionals)
    return c.positionals == 0 ? "unexpected argument '" + args.positionals.front() + "'"
                              : "expected exactly one FILE";
  return {};
}

bool ParseNumbers(const std::string& text, char separator, int (&out)[3], int& firstDigits) {
  size_t at = 0;
  for (int k = 0; k < 3; ++k) {
    const size_t start = at;
    int value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 4)
      value = value * 10 + (text[at++] - '0');
    if (at == start) return false;
    if (k == 0) firstDigits = static_cast<int>(at - start);
    out[k] = value;
    if (k < 2) {
      if (at >= text.size() || text[at] != separator) return false;
      ++at;
    }
  }
  return at == text.size();
}

bool ParseDate(const std::string& text, StampDateTime& date) {
  int n[3];
  int yearDigits = 0;
  if (!ParseNumbers(text, '/', n, yearDigits)) return false;
  if (yearDigits != 2 && yearDigits != 4) return false;
  const int year = yearDigits == 2 ? 2000 + n[0] : n[0];
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (n[1] < 1 || n[1] > 12 || n[2] < 1 || n[2] > kDays[n[1] - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (n[1] == 2 && n[2] == 29 && !leap) return false;
  date.year = year;
  date.month = n[1];
  date.day = n[2];
  return true;
}

bool ParseTime(const std::string& text, StampDateTime& time) {
  int n[3];
  int digits = 0;
  if (!ParseNumbers(text, ':', n, digits)) return false;
  if (n[0] > 23 || n[1] > 59 || n[2] > 59) return false;
  time.hour = n[0];
  time.minute = n[1];
  time.second = n[2];
  return true;
}

// Version, date and time options into the maker; empty string on success.
std::string ApplyStampOptions(const Arguments& args, ImageMaker& maker) {
  if (auto it = args.values.find("--version"); it != args.values.end()) {
    if (it->second.size() > kMaxVersionText)
      return "version text longer than " + std::to_string(kMaxVersionText) + " characters";
    maker.version = it->second;
  }
  if (auto it = args.values.find("--date"); it != args.values.end()) {
    if (!ParseDate(it->second, maker.buildDate))
      return "bad date '" + it->second + "' (expected YY/MM/DD)";
  }
  if (auto it = args.values.find("--time"); it != args.values.end()) {
    if (!ParseTime(it->second, maker.buildTime))
      return "bad time '" + it->second + "' (expected HH:MM:SS)";
  }
  return {};
}

int Report(const MakeResult& result) {
  if (result.outcome != MakeOutcome::Finished)
    return Fail(result.reason.empty() ? result.message : result.reason);
  for (const std::string& path : result.written) std::printf("wrote %s\n", path.c_str());
  return kExitOk;
}

int RunMake(const Command& c, const Arguments& args) {
  struct Needed {
    const char* option;
    SourceKind kind;
  };
  std::vector<Needed> needed;
  const std::string name = c.name;
  if (name == "make-img")
    needed = {{"--phone", SourceKind::Phone},
              {"--ipl", SourceKind::Ipl},
              {"--widebin", SourceKind::Widebin},
              {"--resource", SourceKind::Resource}};
  else if (name == "make-pda")
    needed = {{"--ipl", SourceKind::Ipl},
              {"--widebin", SourceKind::Widebin},
              {"--resource", SourceKind::Resource}};
  else
    needed = {{"--phone", SourceKind::Phone}, {"--pda", SourceKind::PdaData}};

  for (const Needed& n : needed)
    if (!args.values.count(n.option)) return Usage(&c, std::string("missing ") + n.option);
  if (!args.values.count("-o")) return Usage(&c, "missing -o OUT");
  const std::string output = args.values.at("-o");
  if (output.empty()) return Usage(&c, "empty output path");

  ImageMaker maker;
  maker.interrupted = [] { return g_stopRequested.load(); };
  if (std::string problem = ApplyStampOptions(args, maker); !problem.empty())
    return Usage(&c, problem);
  for (const Needed& n : needed) {
    // Taken, not chosen: each source is read once, as it is copied.
    const SourceInfo info = maker.TakeSource(n.kind, args.values.at(n.option));
    if (!info.opened) return Fail(info.error);
  }
  if (name == "make-img") return Report(maker.MakeImgTo(output));
  if (name == "make-pda") return Report(maker.MakePdaTo(output));
  return Report(maker.CombineTo(output));
}

int RunSplit(const Arguments& args) {
  const std::string& path = args.positionals.front();
  InputFile file;
  if (!file.Open(path)) return Fail(file.Error());
  ImageHeader header;
  int entryCount = 0;
  std::string error;
  if (!ReadContainerHeader(file, header, entryCount, error)) return Fail(error);
  file.Close();

  std::string directory;
  if (auto it = args.values.find("-C"); it != args.values.end()) {
    directory = it->second;
    if (!directory.empty() && directory.back() != '/') directory += '/';
  }
  // The header size decides the kind here, not the file's name.
  ImageMaker maker;
  maker.interrupted = [] { return g_stopRequested.load(); };
  maker.sourcePath[static_cast<int>(SourceKind::ImgOrPda)] = path;
  maker.unitedBinary = entryCount == kUnitedEntryCount;
  return Report(maker.SplitTo(directory));
}

int RunInfo(const Arguments& args) {
  const std::string& path = args.positionals.front();
  InputFile file;
  if (!file.Open(path)) return Fail(file.Error());
  ImageHeader header;
  int entryCount = 0;
  std::string error;
  if (!ReadContainerHeader(file, header, entryCount, error)) return Fail(error);
  std::printf("File:           %s\n%s", path.c_str(),
              DescribeContainer(header, entryCount, file.Size()).c_str());
  if (!args.flags.count("--verify")) return kExitOk;
  const std::vector<std::string> problems = VerifyContainer(file, header, entryCount);
  for (const std::string& p : problems) std::printf("PROBLEM: %s\n", p.c_str());
  if (!problems.empty()) {
    std::fflush(stdout);
    return Fail(std::to_string(problems.size()) + " problem(s) found in " + path);
  }
  std::printf("Verified: header, offsets, lengths, total size and CRCs agree with the file\n");
  return kExitOk;
}

int RunDemoComponents(const Command& c, const Arguments& args) {
  if (!args.values.count("-C")) return Usage(&c, "missing -C DIR");
  const std::string directory = args.values.at("-C");
  if (directory.empty()) return Usage(&c, "empty directory");
  double scale = 1.0;
  if (auto it = args.values.find("--size-scale"); it != args.values.end()) {
    char* end = nullptr;
    errno = 0;
    scale = std::strtod(it->second.c_str(), &end);
    if (errno != 0 || end == it->second.c_str() || *end != '\0' || !(scale > 0) ||
        scale > kDemoMaxScale)
      return Usage(&c, "bad size scale '" + it->second + "' (expected a number in (0, 100])");
  }
  std::string reason;
  if (!MakeDirectories(directory, reason)) return Fail("cannot create directory: " + reason);
  std::string error;
  if (!WriteDemoComponents(directory, scale, error)) return Fail(error);
  const DemoSizes s = DemoComponentSizes(scale);
  std::printf("wrote %s/%s (%u bytes), %s (%u), %s (%u), %s (%u)\n", directory.c_str(),
              kDemoPhoneName, s.phone, kDemoIplName, s.ipl, kDemoWidebinName, s.widebin,
              kDemoResourceName, s.resource);
  return kExitOk;
}

int Main(int argc, char** argv) {
  if (argc < 2) return Usage(nullptr, "no command given");
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    std::fputs(kMainUsage, stdout);
    return kExitOk;
  }
  const Command* command = nullptr;
  for (const Command& c : Commands())
    if (name == c.name) command = &c;
  if (!command) return Usage(nullptr, "unknown command '" + name + "'");

  Arguments args;
  if (std::string problem = Parse(*command, argc - 2, argv + 2, args); !problem.empty())
    return Usage(command, problem);
  if (args.help) {
    PrintCommandHelp(stdout, *command);
    return kExitOk;
  }
  if (name == "split") return RunSplit(args);
  if (name == "info") return RunInfo(args);
  if (name == "demo-components") return RunDemoComponents(*command, args);
  return RunMake(*command, args);
}

}  // namespace
}  // namespace k730

int main(int argc, char** argv) {
  // A write beyond a file size limit then fails with an error we report,
  // instead of killing the process halfway through.
  k730::IgnoreWriteSignals();
  // A stop request ends the copy between blocks, so the temporary file is
  // removed before the program goes; a second one ends it at once.
  k730::StopRequestWatcher stops([&stops](k730::StopKind) {
    if (g_stopRequested.exchange(true)) stops.EndNow();
  });
  const int status = k730::Main(argc, argv);
  // Ended as the caller asked, once nothing is left behind.
  if (g_stopRequested) stops.EndNow();
  return status;
}
