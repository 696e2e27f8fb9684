// Opening the files a user names (images, settings, logs, traces, records)
// so that nothing can block the program or write through what is not a plain
// file: a FIFO nobody serves, a device that never ends, a link planted where a
// log belongs.
#pragma once

#include <sys/stat.h>

#include <string>

namespace k730 {

// Opens path read-only without waiting for a FIFO's writer and keeps it only
// when it is a regular file. Returns the descriptor, or -1 with reason set to
// why ("not a regular file" or the system's error text).
int OpenRegularFile(const std::string& path, std::string& reason, struct stat* status = nullptr);

enum class OutputMode { Append, Truncate };
enum class LinkPolicy { Follow, Refuse };

// Opens (creating with 0644) an output that is written as it goes. The open
// never waits: a FIFO without a reader fails ("a FIFO with no reader"), while
// a character device such as /dev/stderr works. With LinkPolicy::Refuse a
// symbolic link in the last component is not followed. The descriptor blocks
// on writes as usual. -1 with reason set on failure.
int OpenOutput(const std::string& path, OutputMode mode, LinkPolicy links, std::string& reason);

// Writes all of text, retrying after interruptions; false with reason set.
bool WriteAll(int fd, const char* data, size_t length, std::string& reason);

// Creates dir and its missing parents (mode 0755); true when dir is a
// directory afterwards, else false with reason set.
bool MakeDirectories(const std::string& dir, std::string& reason);

}  // namespace k730
