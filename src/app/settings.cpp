// The settings values' rules, and the INI-style file that keeps them where
// the platform has no registry (or the environment names a file).
#include <cstdlib>
#include <sstream>
#include <vector>

#include "app/settings.h"
#include "core/file_access.h"

namespace k730 {
namespace {

bool ValidName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (c == '\n' || c == '\r' || c == '\0' || c == '=' || c == '[' || c == ';') return false;
  }
  return true;
}

bool ValidValue(const std::string& value) {
  for (char c : value) {
    if (c == '\n' || c == '\r' || c == '\0') return false;
  }
  return true;
}

std::string SectionHeader() {
  return std::string("[") + kSettingsSection + "]";
}

// The largest settings file read; anything beyond is not ours to keep.
constexpr size_t kMaxSettingsFile = 1 << 20;

// A FIFO or device in the file's place is unreadable, never waited on.
bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
  std::string reason;
  const int fd = OpenRegularFile(path, reason);
  if (fd < 0) return false;
  std::string text;
  char block[4096];
  bool ok = true;
  for (;;) {
    const long long n = ReadSome(fd, block, sizeof block);
    if (n < 0 || text.size() + static_cast<size_t>(n) > kMaxSettingsFile) ok = false;
    if (n <= 0 || !ok) break;
    text.append(block, static_cast<size_t>(n));
  }
  CloseFile(fd);
  if (!ok) return false;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // Every trailing CR belongs to the line end: no stored value can end in
    // one, and a rewrite must not shorten a value the file already holds.
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return true;
}

// Creates every missing directory of path's parent, private to the user.
bool MakeParentDirectories(const std::string& path) {
  const size_t slash = LastPathSeparator(path);
  if (slash == std::string::npos || slash == 0) return true;
  std::string reason;
  return MakeDirectories(path.substr(0, slash), reason, NewFileAccess::Private);
}

}  // namespace

bool ValidSettingName(const std::string& name) {
  return ValidName(name);
}

bool ValidSettingValue(const std::string& value) {
  return ValidValue(value);
}

std::string ReadSettingFromFile(const std::string& path, const std::string& name) {
  if (!ValidName(name)) return "";
  std::vector<std::string> lines;
  if (!ReadLines(path, lines)) return "";
  const std::string header = SectionHeader();
  bool inSection = false;
  for (const std::string& line : lines) {
    if (!line.empty() && line[0] == '[') {
      inSection = line == header;
      continue;
    }
    if (!inSection) continue;
    const size_t eq = line.find('=');
    if (eq != std::string::npos && line.compare(0, eq, name) == 0 && eq == name.size())
      return line.substr(eq + 1);
  }
  return "";
}

int WriteSettingToFile(const std::string& path, const std::string& name, const std::string& value) {
  if (!ValidName(name) || !ValidValue(value)) return 0;
  std::vector<std::string> lines;
  // A missing file starts empty; one that exists but cannot be read whole (a
  // FIFO, a device, a huge file) is not replaced by one that loses it.
  if (!ReadLines(path, lines) && PathStatus(path).kind != FileKind::Missing) return 0;

  const std::string header = SectionHeader();
  const std::string entry = name + "=" + value;
  int sectionAt = -1;
  int sectionEnd = -1;
  bool replaced = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (!line.empty() && line[0] == '[') {
      if (sectionAt >= 0 && sectionEnd < 0) sectionEnd = static_cast<int>(i);
      if (line == header && sectionAt < 0) sectionAt = static_cast<int>(i);
      continue;
    }
    if (sectionAt >= 0 && sectionEnd < 0 && !replaced) {
      const size_t eq = line.find('=');
      if (eq == name.size() && line.compare(0, eq, name) == 0) {
        lines[i] = entry;
        replaced = true;
      }
    }
  }
  if (!replaced) {
    if (sectionAt < 0) {
      if (lines.empty()) lines.push_back("; Halvek Talmo Downloader");
      lines.push_back(header);
      lines.push_back(entry);
    } else {
      // After the section's last value, before any blank lines that end it.
      size_t at = sectionEnd < 0 ? lines.size() : static_cast<size_t>(sectionEnd);
      while (at > static_cast<size_t>(sectionAt) + 1 && lines[at - 1].empty()) --at;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    }
  }

  std::string text;
  for (const std::string& line : lines) text += line + "\n";

  if (!MakeParentDirectories(path)) return 0;
  const std::string temp = path + ".tmp" + std::to_string(ProcessId());
  RemoveFile(temp);  // left by an earlier process of this pid
  bool exists = false;
  std::string reason;
  const int fd = CreateNewFile(temp, NewFileAccess::Private, exists, reason);
  if (fd < 0) return 0;
  const bool written = WriteAll(fd, text.data(), text.size(), reason) && SyncFile(fd);
  int error = 0;
  if (!CloseFile(fd) || !written || !RenameFile(temp, path, error)) {
    RemoveFile(temp);
    return 0;
  }
  return 1;
}

}  // namespace k730
