#include "app/file_types.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace k730 {
namespace {

struct FileType {
  const char* extension;
  const char* typeName;
  const char* mimeType;
};

constexpr std::array<FileType, 3> kFileTypes{{
    {".BIN", "Phone ROM file", "application/x-k730-phone-rom"},
    {".ROM", "PDA ROM file", "application/x-k730-pda-rom"},
    {".k700", "PDA/PHONE ROM file", "application/x-k730-united-rom"},
}};

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

std::string MimePackage() {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n";
  for (const FileType& type : kFileTypes) {
    xml += "  <mime-type type=\"" + std::string(type.mimeType) + "\">\n";
    xml += "    <comment>" + XmlEscape(type.typeName) + "</comment>\n";
    xml += "    <glob pattern=\"*" + Lower(type.extension) + "\"/>\n";
    xml += "  </mime-type>\n";
  }
  xml += "</mime-info>\n";
  return xml;
}

std::string DesktopEntry(const std::string& programPath) {
  std::string mimeTypes;
  for (const FileType& type : kFileTypes) mimeTypes += std::string(type.mimeType) + ";";
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=k730 Multi-Downloader\n"
         "Comment=Phone ROM file, PDA ROM file, PDA/PHONE ROM file\n"
         "Exec=" +
         DesktopExecQuote(programPath) +
         " %f\n"
         "MimeType=" +
         mimeTypes +
         "\n"
         "Terminal=false\n"
         "NoDisplay=false\n"
         "Categories=Development;Electronics;\n";
}

bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash)))
    return false;
  return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

bool SameContent(const std::string& path, const std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str() == content;
}

// Writes content unless the file already holds it; true when the file holds it
// afterwards. changed tells whether anything was written.
bool PutFile(const std::string& path, const std::string& content, bool& changed) {
  changed = false;
  if (SameContent(path, content)) return true;
  const std::string temp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    out.close();
    if (!out) {
      unlink(temp.c_str());
      return false;
    }
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  changed = true;
  return true;
}

// Runs a helper program quietly and waits for it; absent programs are skipped.
void RunQuietly(const char* program, const std::string& argument) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string name = program;
  std::string arg = argument;
  char* argv[] = {name.data(), arg.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, program, &actions, nullptr, argv, environ) == 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

std::string UserDataDirectory() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return data;
  const char* home = std::getenv("HOME");
  std::string base;
  if (home && *home) {
    base = home;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    base = pw->pw_dir;
  }
  return base.empty() ? "" : base + "/.local/share";
}

std::string ProgramPath() {
  std::string buffer(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return "";
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

std::string DesktopExecQuote(const std::string& path) {
  static const std::string kReserved = " \t\n\"'\\><~|&;$*?#()`%=";
  if (path.find_first_of(kReserved) == std::string::npos) return path;
  // The quoting rule escapes " ` $ \ with a backslash; the string rule of the
  // key then doubles every backslash, and a literal % is written %%.
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += "\\\\";
    } else if (c == '\\') {
      quoted += "\\\\\\";
    } else if (c == '%') {
      quoted += "%%";
      continue;
    }
    quoted += c;
  }
  return quoted + "\"";
}

FileTypeRegistration RegisterFileTypes(const std::string& programPath) {
  FileTypeRegistration result;
  const std::string data = UserDataDirectory();
  if (data.empty() || programPath.empty() || programPath.find_first_of("\r\n") != std::string::npos)
    return result;
  const std::string mimeDir = data + "/mime";
  const std::string appDir = data + "/applications";
  result.mimePackagePath = mimeDir + "/packages/k730-downloader.xml";
  result.desktopPath = appDir + "/k730-downloader.desktop";

  bool mimeChanged = false;
  bool desktopChanged = false;
  const bool mimeOk = MakeDirectories(mimeDir + "/packages") &&
                      PutFile(result.mimePackagePath, MimePackage(), mimeChanged);
  const bool desktopOk = MakeDirectories(appDir) &&
                         PutFile(result.desktopPath, DesktopEntry(programPath), desktopChanged);
  result.written = mimeOk && desktopOk;
  if (mimeChanged) RunQuietly("update-mime-database", mimeDir);
  if (desktopChanged) RunQuietly("update-desktop-database", appDir);
  return result;
}

}  // namespace k730
