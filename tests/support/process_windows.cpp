#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "support/process.hpp"

#include "support/text.hpp"

namespace {
// The C runtime writes text-mode line ends; tests compare with "\n".
std::string WithoutCarriageReturns(std::string text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
  }
  return plain;
}

// Quotes one argument by the rules the receiving C runtime splits with.
std::wstring QuoteArgument(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

HANDLE InheritableFile(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Finds the loader's message boxes by their caption, reads each one's text once and presses OK.
// A dismissed box stays findable but hidden for a while, so hidden windows are skipped.
struct BoxWatch {
  DWORD pid = 0;
  Clock::time_point firstSeen;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::set<HWND> seen;
  std::vector<std::string> texts;
  std::vector<int> buttons;
  std::vector<int> icons;
  std::thread thread;
};

struct BoxSearch {
  BoxWatch* watch;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<BoxSearch*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t caption[64] = {};
  GetWindowTextW(window, caption, 64);
  if (owner == search->watch->pid && IsWindowVisible(window) && std::wstring(caption) == L"Velmora loader") {
    search->found.push_back(window);
  }
  return TRUE;
}

struct BoxContent {
  std::wstring text;
  int buttons = 0;
  int icons = 0;
};

BOOL CALLBACK ReadControl(HWND control, LPARAM context) {
  auto* content = reinterpret_cast<BoxContent*>(context);
  wchar_t className[32] = {};
  GetClassNameW(control, className, 32);
  if (!IsWindowVisible(control)) return TRUE;
  if (lstrcmpiW(className, L"Button") == 0) ++content->buttons;
  // A box keeps its icon control even without an icon; only one holding an icon shows one.
  const bool iconControl = (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
  if (lstrcmpiW(className, L"Static") == 0 && iconControl && SendMessageW(control, STM_GETICON, 0, 0) != 0) {
    ++content->icons;
  }
  if (lstrcmpiW(className, L"Static") == 0) {
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    if (!text.empty()) content->text = text;
  }
  return TRUE;
}

void WatchBoxes(BoxWatch* watch) {
  while (!watch->stop) {
    BoxSearch search{watch, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    for (HWND box : search.found) {
      std::lock_guard<std::mutex> guard(watch->lock);
      if (!watch->seen.insert(box).second) continue;
      if (watch->texts.empty()) watch->firstSeen = Clock::now();
      Sleep(100);  // let the box finish drawing its controls
      BoxContent content;
      EnumChildWindows(box, ReadControl, reinterpret_cast<LPARAM>(&content));
      // Boxes show their text with CR LF line ends; the loader wrote "\n".
      watch->texts.push_back(WithoutCarriageReturns(WideToUtf8(content.text)));
      watch->buttons.push_back(content.buttons);
      watch->icons.push_back(content.icons);
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    }
    Sleep(50);
  }
}
}  // namespace

std::filesystem::path OwnExecutablePath() {
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return buffer;
}

Launched StartProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::filesystem::path& workingDirectory,
                      const std::filesystem::path& captureDirectory) {
  static int counter = 0;
  Launched launched;
  const std::string stem = "run" + std::to_string(++counter);
  launched.outputFile = captureDirectory / (stem + ".out");
  launched.errorFile = captureDirectory / (stem + ".err");

  std::wstring commandLine = QuoteArgument(program.wstring());
  for (const std::string& argument : arguments) commandLine += L" " + QuoteArgument(Utf8ToWide(argument));
  const HANDLE output = InheritableFile(launched.outputFile);
  const HANDLE errors = InheritableFile(launched.errorFile);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = output;
  startup.hStdError = errors;
  PROCESS_INFORMATION process{};

  auto watch = std::make_shared<BoxWatch>();
  launched.started = Clock::now();
  const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                      nullptr, workingDirectory.c_str(), &startup, &process);
  const DWORD error = GetLastError();
  CloseHandle(output);
  CloseHandle(errors);
  if (!started) throw std::runtime_error("cannot start " + PathToUtf8(program) + ": " + std::to_string(error));
  watch->pid = process.dwProcessId;
  watch->thread = std::thread(WatchBoxes, watch.get());
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  launched.pid = process.dwProcessId;
  launched.handle = reinterpret_cast<std::uintptr_t>(process.hProcess);
  launched.boxWatch = watch;
  return launched;
}

Outcome WaitProgram(Launched& launched, std::chrono::milliseconds limit) {
  Outcome outcome;
  const auto process = reinterpret_cast<HANDLE>(launched.handle);
  outcome.finished = WaitForSingleObject(process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  if (!outcome.finished) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process, &exitCode);
  CloseHandle(process);
  outcome.exitCode = static_cast<int>(exitCode);
  auto* watch = static_cast<BoxWatch*>(launched.boxWatch.get());
  watch->stop = true;
  watch->thread.join();
  outcome.messages = watch->texts;
  outcome.messageButtons = watch->buttons;
  outcome.messageIcons = watch->icons;
  outcome.firstMessageAfter = watch->firstSeen - launched.started;
  outcome.output = WithoutCarriageReturns(ReadText(launched.outputFile));
  outcome.errors = WithoutCarriageReturns(ReadText(launched.errorFile));
  return outcome;
}

bool ProcessAlive(std::uint32_t pid) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return alive;
}

void SetEnvironment(const std::string& name, const std::string& value) {
  SetEnvironmentVariableW(Utf8ToWide(name).c_str(), Utf8ToWide(value).c_str());
  _wputenv_s(Utf8ToWide(name).c_str(), Utf8ToWide(value).c_str());
}

void UnsetEnvironment(const std::string& name) {
  SetEnvironmentVariableW(Utf8ToWide(name).c_str(), nullptr);
  _wputenv_s(Utf8ToWide(name).c_str(), L"");
}

int ReportedFailureExitCode() { return -1; }

std::vector<LiveProcess> LiveProcesses() {
  std::vector<LiveProcess> found;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    const bool named = QueryFullProcessImageNameW(process, 0, image.data(), &length) != 0;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    image.resize(named ? length : 0);
    if (alive) found.push_back({entry.th32ProcessID, entry.th32ParentProcessID, image});
  }
  CloseHandle(snapshot);
  return found;
}

// File names on Windows are compared without regard to case.
std::vector<std::uint32_t> ProcessesRunning(const std::filesystem::path& program) {
  return ProcessesWhose([&](const std::filesystem::path& image) { return lstrcmpiW(image.c_str(), program.c_str()) == 0; });
}

std::vector<std::uint32_t> ProcessesNamed(const std::string& fileName) {
  const std::wstring wanted = std::filesystem::path(std::u8string(fileName.begin(), fileName.end())).wstring();
  return ProcessesWhose(
      [&](const std::filesystem::path& image) { return lstrcmpiW(image.filename().c_str(), wanted.c_str()) == 0; });
}

void EndProcess(std::uint32_t pid) {
  const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return;
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);
}

std::vector<std::uint32_t> ProcessesRunningBelow(const std::filesystem::path& directory) {
  std::wstring prefix = directory.wstring();
  if (!prefix.ends_with(L'\\')) prefix += L'\\';
  // File names on Windows are compared without regard to case.
  return ProcessesWhose([&](const std::filesystem::path& image) {
    const std::wstring& text = image.native();
    return text.size() > prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
  });
}

// Wine starts its desktop process on first use, hands it the standard handles of the program that
// needed it, and keeps it while programs use it; with none left it may end, and a later program
// starts it again. Started by a loader under test, it would hold that run's capture files open,
// and the sandbox could not be removed; started by this test with its own handles, it would hold
// CTest's pipe, which then never ends. Start it from here, handing it no standard handle.
void PrepareDesktop() {
  const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE saved[3];
  for (int i = 0; i < 3; ++i) {
    saved[i] = GetStdHandle(streams[i]);
    SetStdHandle(streams[i], nullptr);
  }
  GetDesktopWindow();
  for (int i = 0; i < 3; ++i) SetStdHandle(streams[i], saved[i]);
}

namespace {
// A Linux system call from a program Wine runs: Wine passes the instruction on to the kernel.
long LinuxCall(long number, const void* first, const void* second = nullptr) {
  long result;
  __asm__ volatile("syscall" : "=a"(result) : "a"(number), "D"(first), "S"(second) : "rcx", "r11", "memory");
  return result;
}

using ToUnix = char*(CDECL*)(const wchar_t*);
ToUnix WineToUnix() {
  return reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}
}  // namespace

bool UnderWine() { return WineToUnix() != nullptr; }

bool MakeLink(const std::filesystem::path& target, const std::filesystem::path& link) {
  const ToUnix toUnix = WineToUnix();
  if (toUnix == nullptr) {
    const DWORD flags = std::filesystem::is_directory(target) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    return CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) != 0;
  }
  char* const unixTarget = toUnix(target.c_str());
  char* const unixLink = toUnix(link.c_str());
  constexpr long kSymlink = 88;
  const bool made = unixTarget != nullptr && unixLink != nullptr && LinuxCall(kSymlink, unixTarget, unixLink) == 0;
  HeapFree(GetProcessHeap(), 0, unixTarget);
  HeapFree(GetProcessHeap(), 0, unixLink);
  return made;
}

bool RemoveLink(const std::filesystem::path& link) {
  const ToUnix toUnix = WineToUnix();
  if (toUnix == nullptr) {
    std::error_code error;
    std::filesystem::remove(link, error);
    return !error;
  }
  char* const unixLink = toUnix(link.c_str());
  constexpr long kUnlink = 87;
  const bool removed = unixLink != nullptr && LinuxCall(kUnlink, unixLink) == 0;
  HeapFree(GetProcessHeap(), 0, unixLink);
  return removed;
}
