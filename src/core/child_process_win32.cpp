// Child processes on Windows: CreateProcess with the arguments quoted as the
// C runtime parses them, the output handed over as an inherited handle, and a
// job object that ends the child when this process's last handle to it goes
// (also when this process dies).
#include "core/windows_api.h"

#include <chrono>

#include "core/child_process.h"
#include "core/file_access.h"

namespace k730 {
namespace {

// One argument as CommandLineToArgvW and the C runtime read it back.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

}  // namespace

struct ChildProcess::Native {
  HANDLE process = nullptr;
  HANDLE job = nullptr;     // ends the child with this process
  HANDLE output = nullptr;  // the pipe's reading end
};

ChildProcess::ChildProcess() : native_(std::make_unique<Native>()) {}

ChildProcess::~ChildProcess() {
  if (started_ && !reaped_) {
    Kill();
    Wait(-1);
  }
  for (HANDLE handle : {native_->process, native_->job, native_->output})
    if (handle) ::CloseHandle(handle);
}

bool ChildProcess::Start(const std::vector<std::string>& args, Output output,
                         const std::string& path, std::string& error) {
  if (started_ || args.empty()) {
    error = "nothing to start";
    return false;
  }
  std::string commandLine;
  for (const std::string& arg : args) commandLine += (commandLine.empty() ? "" : " ") + Quoted(arg);

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (output == Output::ToPipe) {
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
      error = "pipe: " + SystemErrorText(static_cast<int>(::GetLastError()));
      return false;
    }
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  } else if (output == Output::ToFile) {
    writeEnd = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writeEnd == INVALID_HANDLE_VALUE) {
      error = path + ": " + SystemErrorText(static_cast<int>(::GetLastError()));
      return false;
    }
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (writeEnd) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = output == Output::ToFile ? writeEnd : ::GetStdHandle(STD_ERROR_HANDLE);
  }
  const HANDLE job = ::CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job)
    ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  PROCESS_INFORMATION created{};
  const BOOL ok =
      ::CreateProcessA(args[0].c_str(), commandLine.data(), nullptr, nullptr, writeEnd != nullptr,
                       CREATE_SUSPENDED, nullptr, nullptr, &startup, &created);
  const DWORD failure = ok ? ERROR_SUCCESS : ::GetLastError();
  if (writeEnd) ::CloseHandle(writeEnd);
  if (!ok) {
    if (readEnd) ::CloseHandle(readEnd);
    if (job) ::CloseHandle(job);
    error = args[0] + ": " + SystemErrorText(static_cast<int>(failure));
    return false;
  }
  // In the job before it runs, so that nothing it starts escapes either.
  if (job) ::AssignProcessToJobObject(job, created.hProcess);
  ::ResumeThread(created.hThread);
  ::CloseHandle(created.hThread);
  native_->process = created.hProcess;
  native_->job = job;
  native_->output = readEnd;
  id_ = static_cast<long>(created.dwProcessId);
  started_ = true;
  return true;
}

long ChildProcess::ReadOutput(char* buffer, size_t size) {
  if (!native_->output) return -1;
  DWORD got = 0;
  const DWORD ask = static_cast<DWORD>(size > (1u << 20) ? (1u << 20) : size);
  if (::ReadFile(native_->output, buffer, ask, &got, nullptr)) return static_cast<long>(got);
  return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

void ChildProcess::RequestEnd() {
  // A console program has no gentler request that reaches it from here.
  Kill();
}

void ChildProcess::Kill() {
  if (started_ && !reaped_) ::TerminateProcess(native_->process, 1);
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
  if (!started_) return -1;
  if (reaped_) return status_;
  const DWORD waited = ::WaitForSingleObject(
      native_->process, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (waited == WAIT_TIMEOUT) return std::nullopt;
  DWORD code = 0;
  reaped_ = true;
  status_ = waited == WAIT_OBJECT_0 && ::GetExitCodeProcess(native_->process, &code)
                ? static_cast<int>(code)
                : -1;
  return status_;
}

bool IsExecutable(const std::string& path) {
  const FileStatus status = PathStatus(path);
  return status.kind == FileKind::Regular;
}

}  // namespace k730
