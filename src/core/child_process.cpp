// What every platform's child processes share (the starting and waiting is in
// child_process_posix.cpp and child_process_win32.cpp).
#include "core/child_process.h"

namespace k730 {

int RunProgram(const std::vector<std::string>& argv, const std::string& logPath) {
  ChildProcess child;
  std::string error;
  if (!child.Start(argv,
                   logPath.empty() ? ChildProcess::Output::Inherit : ChildProcess::Output::ToFile,
                   logPath, error))
    return -1;
  return child.Wait(-1).value_or(-1);
}

}  // namespace k730
