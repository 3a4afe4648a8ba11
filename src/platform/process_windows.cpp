#include "platform/process.hpp"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <vector>

#include "platform/system_library_windows.hpp"

namespace {
constexpr DWORD kModulePathCapacity = 0x10000;
}  // namespace

NativeString GetModulePath() {
  std::vector<wchar_t> buffer(kModulePathCapacity, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kModulePathCapacity);
  // A failed or truncated query must not pass for a path: callers would work relative to the
  // current directory.
  if (length == 0 || length >= kModulePathCapacity) return {};
  return NativeString(buffer.data());
}

bool StartProcessAndWait(const NativeString& program) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const NativeString workingDirectory = GetModuleDirectory();
  // Without a command line the system passes the program path unquoted, and the program would
  // split "C:\Program Files\..." into words of its own.
  NativeString commandLine = ProgramCommandLine(program);
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      workingDirectory.c_str(), &startup, &process)) {
    const DWORD error = GetLastError();
    std::printf("CreateProcess failed (%d).\n", static_cast<int>(error));
    std::fflush(stdout);
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return true;
}

// "Hidden" because the started loader opens no window of its own; its only window is a failure
// box, and Windows gives a process's first window the show command its starter asked for. Asked
// for SW_HIDE, that box would never be seen and would block the loader for good.
bool ShellStartHidden(const NativeString& file, const NativeString* parameters,
                      const NativeString* workingDirectory) {
  const auto shellExecute = SystemLibraryFunction<decltype(&ShellExecuteW)>(L"shell32.dll", "ShellExecuteW");
  if (shellExecute == nullptr) return false;
  const HINSTANCE result = shellExecute(nullptr, nullptr, file.c_str(),
                                        parameters != nullptr ? parameters->c_str() : nullptr,
                                        workingDirectory != nullptr ? workingDirectory->c_str() : nullptr,
                                        SW_SHOWNORMAL);
  // The shell reports success with a value above 32.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void WaitForProcessExit(std::uint32_t processId) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return;
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
}
