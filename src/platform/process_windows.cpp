#include "platform/process.hpp"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <vector>

#include "platform/final_path_windows.hpp"
#include "platform/system_library_windows.hpp"

namespace {
constexpr DWORD kModulePathCapacity = 0x10000;

// The program of a live process as the system resolved it when it started it, in long names;
// empty when this user may not ask, or the process has ended. `buffer` is reused for every
// process.
std::wstring ProgramOf(DWORD pid, std::vector<wchar_t>& buffer) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return {};
  DWORD length = static_cast<DWORD>(buffer.size());
  DWORD exitCode = 0;
  const bool named = QueryFullProcessImageNameW(process, 0, buffer.data(), &length) != 0;
  const bool alive = GetExitCodeProcess(process, &exitCode) != 0 && exitCode == STILL_ACTIVE;
  CloseHandle(process);
  if (!named || !alive) return {};
  std::wstring program(buffer.data(), length);
  // The image name keeps the path the program was started with, which may hold short (8.3)
  // names; the places are compared in long names. A short name always holds a tilde.
  if (program.find(L'~') != std::wstring::npos) {
    const DWORD longLength = GetLongPathNameW(program.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (longLength != 0 && longLength < buffer.size()) program.assign(buffer.data(), longLength);
  }
  return program;
}

// Started as the shell starts a program, outside this process's job: no handle of this process
// inherited, no console (its output goes nowhere of ours), its first window shown normally (a
// failure box must be seen).
bool StartBreakingAway(const NativeString& program, const NativeString* parameters,
                       const NativeString* workingDirectory, std::uint32_t* failure) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  NativeString commandLine = ProgramCommandLine(program);
  if (parameters != nullptr && !parameters->empty()) commandLine += L" " + *parameters;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_BREAKAWAY_FROM_JOB | DETACHED_PROCESS, nullptr,
                      workingDirectory != nullptr ? workingDirectory->c_str() : nullptr, &startup, &process)) {
    if (failure != nullptr) *failure = GetLastError();
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// Letters compared as file names compare, and at a separator: "app" holds "app\x", not "app2\x".
bool Holds(const std::wstring& place, const std::wstring& program) {
  if (place.empty() || program.size() < place.size()) return false;
  const int length = static_cast<int>(place.size());
  return CompareStringOrdinal(program.c_str(), length, place.c_str(), length, TRUE) == CSTR_EQUAL &&
         (program.size() == place.size() || program[place.size()] == L'\\' || place.back() == L'\\');
}
}  // namespace

NativeString GetModulePath() {
  std::vector<wchar_t> buffer(kModulePathCapacity, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kModulePathCapacity);
  // A failed or truncated query must not pass for a path: callers would work relative to the
  // current directory.
  if (length == 0 || length >= kModulePathCapacity) return {};
  return NativeString(buffer.data());
}

bool StartProcessAndWait(const NativeString& program, std::uint32_t* failure) {
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
    if (failure != nullptr) *failure = error;
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
                      const NativeString* workingDirectory, std::uint32_t* failure) {
  const auto shellExecute = SystemLibraryFunction<decltype(&ShellExecuteW)>(L"shell32.dll", "ShellExecuteW");
  if (shellExecute == nullptr) {
    if (failure != nullptr) *failure = GetLastError();
    return false;
  }
  // The shell may hand the start to extensions that need COM on the calling thread: initialised
  // for the call, apartment-threaded without OLE1's DDE, as the shell asks. A thread already
  // initialised otherwise goes on as it is.
  const auto initialize = SystemLibraryFunction<decltype(&CoInitializeEx)>(L"ole32.dll", "CoInitializeEx");
  const auto uninitialize = SystemLibraryFunction<decltype(&CoUninitialize)>(L"ole32.dll", "CoUninitialize");
  const bool initialized = initialize != nullptr && uninitialize != nullptr &&
                           SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  const HINSTANCE result = shellExecute(nullptr, nullptr, file.c_str(),
                                        parameters != nullptr ? parameters->c_str() : nullptr,
                                        workingDirectory != nullptr ? workingDirectory->c_str() : nullptr,
                                        SW_SHOWNORMAL);
  if (initialized) uninitialize();
  // The shell reports success with a value above 32, a failure with its own number below.
  const INT_PTR value = reinterpret_cast<INT_PTR>(result);
  if (value <= 32 && failure != nullptr) *failure = static_cast<std::uint32_t>(value);
  return value > 32;
}

boost::system::error_code HoldProgram(const NativeString& program, HeldProgram& held) {
  held.reset();
  // Shared with readers only: a start reads it too, and nobody writes, replaces or removes it.
  const HANDLE file = CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {static_cast<int>(GetLastError()), boost::system::system_category()};
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) {
    const DWORD failure = GetLastError();
    CloseHandle(file);
    return {static_cast<int>(failure), boost::system::system_category()};
  }
  if ((tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(file);
    return make_error_code(boost::system::errc::invalid_argument);
  }
  held = HeldProgram(file, CloseHandle);
  return {};
}

bool NamesHeldProgram(const HeldProgram& held, const NativeString& program) {
  if (!held) return false;
  const HANDLE named = CreateFileW(program.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION heldFile{};
  BY_HANDLE_FILE_INFORMATION namedFile{};
  const bool read = GetFileInformationByHandle(held.get(), &heldFile) && GetFileInformationByHandle(named, &namedFile);
  CloseHandle(named);
  return read && heldFile.dwVolumeSerialNumber == namedFile.dwVolumeSerialNumber &&
         heldFile.nFileIndexHigh == namedFile.nFileIndexHigh && heldFile.nFileIndexLow == namedFile.nFileIndexLow;
}

// The hold keeps the path naming the held file. A program the shell starts inherits none of
// this one's handles, so its output goes nowhere of ours. The shell's start cannot leave a job:
// a breakaway is CreateProcessW's, giving what the shell's start gives.
bool StartHeldProgram(const HeldProgram& held, const NativeString& program, const NativeString* parameters,
                      const NativeString* workingDirectory, JobLeaving leaving, std::uint32_t* failure) {
  if (!held) {
    if (failure != nullptr) *failure = ERROR_INVALID_HANDLE;
    return false;
  }
  if (leaving == JobLeaving::kStays) return ShellStartHidden(program, parameters, workingDirectory, failure);
  return StartBreakingAway(program, parameters, workingDirectory, failure);
}

void WaitForProcessExit(std::uint32_t processId) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return;
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
}

std::vector<RunningProgram> RunningFrom(const std::vector<NativeString>& places) {
  std::vector<std::wstring> resolved;
  for (const NativeString& place : places) resolved.push_back(FinalPathOf(place));
  std::vector<std::wstring> programs(places.size());
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return {};
  const DWORD self = GetCurrentProcessId();
  std::vector<wchar_t> buffer(kModulePathCapacity);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self || entry.th32ProcessID == 0) continue;
    const std::wstring program = ProgramOf(entry.th32ProcessID, buffer);
    for (std::size_t i = 0; i < places.size(); ++i) {
      if (programs[i].empty() && Holds(resolved[i], program)) programs[i] = program;
    }
  }
  CloseHandle(snapshot);
  return FoundPrograms(places, programs);
}
