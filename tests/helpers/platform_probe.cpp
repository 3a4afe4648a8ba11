// Runs one process or message service of the loader's platform layer from wherever this program
// was copied, so tests can see the services from a chosen module directory.
//   probe module                       prints the module path and directory, one per line
//   probe start-and-wait PROGRAM       prints "true" or "false" after the service returns
//   probe shell-start FILE [PARAMETERS [DIRECTORY]]   prints "true" or "false"
//   probe wait-pid ID                  returns once the service returns
//   probe box TEXT                     shows TEXT (\n in it becomes a line feed)
//   probe running PLACE...             prints, per place, 1 when a program runs from it, else 0
//   probe lock DIRECTORY FILE          takes the installation lock, writes FILE, and holds the
//                                      lock until FILE is removed
//   probe check-staging INSTALL [--repeat N] [--try-replace]
//     runs the check a start makes of INSTALL's staging (nothing removed or handed over) N times;
//     prints "taken", "refused" or "not now" (of the last), then the microseconds of each check,
//     then, the staged loader still held if it was: "delete|write done|refused" after trying both
//   probe hold-start PROGRAM REPLACEMENT|--write
//     holds PROGRAM for a start, moves REPLACEMENT over it (or appends a byte to it), then starts
//     the held program; prints "replace done|refused", whether PROGRAM still names the held file
//     as it was held ("same" or "other"), and "started true|false"
//   probe read-log FILE                 holds FILE open for appending as a run writing the log does,
//                                      reads it with the log's service meanwhile and prints "read N"
//                                      (its bytes) or "failed E"
//   probe hold FILE RELEASE            opens FILE shared with nobody, writes RELEASE, and keeps
//                                      FILE open until RELEASE is removed
//   probe scan FILE RELEASE            the same as a scanner opens FILE: sharing reading and
//                                      writing, not deletion
//   probe claim FILE RELEASE           the same for deletion, as a run moving a file over FILE
//                                      does: sharing everything
//   probe log FILE WRITER COUNT        appends COUNT lines of about 1 KiB, "WRITER N xxx...", with
//                                      the log's service; prints how many it wrote and the number
//                                      of the last one written
// Windows only:
//   probe job kill|kill,breakaway PROGRAM [ARGUMENT...]   runs PROGRAM in a job of its own that
//                                      ends its processes when it closes ("{pid}": this process's
//                                      id); prints its output, exits with its exit code
//   probe console CODEPAGE COMMANDLINE runs COMMANDLINE in a console set to CODEPAGE, then prints
//                                      "code page N" as the console has it, and its text

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "launcher/installation_lock.hpp"
#include "launcher/staging_check.hpp"
#include "platform/log.hpp"
#include "platform/file_ops.hpp"
#include "platform/message.hpp"
#include "platform/process.hpp"
#include "support/process.hpp"
#include "support/text.hpp"

namespace {
NativeString Native(const std::string& utf8) { return Utf8ToPath(utf8).native(); }

void CheckStagingOf(const std::vector<std::string>& words) {
  const auto repeat = std::find(words.begin(), words.end(), "--repeat");
  const long checks = repeat != words.end() && repeat + 1 != words.end() ? std::stol(*(repeat + 1)) : 1;
  const boost::filesystem::path install(Native(words[1]));
  const boost::filesystem::path staging = install / "data" / "update";
  std::vector<long long> microseconds;
  StagingCheck check;
  HeldFile held;
  for (long i = 0; i < checks; ++i) {
    held.reset();
    const auto start = std::chrono::steady_clock::now();
    check = CheckStaging(install, staging, held);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    microseconds.push_back(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
  }
  const char* const names[] = {"taken", "refused", "not now"};
  std::printf("%s\n", names[static_cast<int>(check.verdict)]);
  for (const long long value : microseconds) std::printf("%lld\n", value);
  if (std::find(words.begin(), words.end(), "--try-replace") != words.end()) {
    const std::filesystem::path loader = std::filesystem::path(staging.native()) / "Velmora.exe";
    std::error_code error;
    std::printf("delete %s\n", std::filesystem::remove(loader, error) ? "done" : "refused");
    const bool written = std::ofstream(loader, std::ios::binary | std::ios::app).is_open();
    std::printf("write %s\n", written ? "done" : "refused");
  }
}

// Opens `file` as a scanner or a backup program may, for `access` (reading or deletion), sharing
// it as `share` says, until `release` is gone.
void Hold(const std::string& file, const std::string& release, [[maybe_unused]] unsigned long access,
          [[maybe_unused]] unsigned long share) {
#ifdef _WIN32
  const HANDLE handle = CreateFileW(Native(file).c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  WriteText(Utf8ToPath(release), handle == INVALID_HANDLE_VALUE ? "failed\n" : "held\n");
#else
  std::ifstream held(Utf8ToPath(file));
  WriteText(Utf8ToPath(release), "held\n");
#endif
  while (std::filesystem::exists(Utf8ToPath(release))) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

#ifdef _WIN32
// An application in a job of its own, as a launcher starts one: runs PROGRAM in the job and passes
// on its output and exit code. The job's only handle is this process's: it closes as this ends.
int RunInJob(std::vector<std::string> words) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | (words[1] == "kill,breakaway" ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
      !AssignProcessToJobObject(job, GetCurrentProcess())) {
    return 65;
  }
  const std::string pid = std::to_string(GetCurrentProcessId());
  for (std::string& word : words) word = word == "{pid}" ? pid : word;
  const std::filesystem::path capture = std::filesystem::temp_directory_path() / ("velmora-job-" + pid);
  std::filesystem::create_directories(capture);
  Launched run = StartProgram(Utf8ToPath(words[2]), {words.begin() + 3, words.end()}, capture, capture);
  const Outcome outcome = WaitProgram(run);
  std::error_code kept;  // under Wine its standard error may still be held a moment after it ended
  std::filesystem::remove_all(capture, kept);
  std::printf("%s", outcome.output.c_str());
  return outcome.exitCode;
}

void RunInConsole(const std::vector<std::string>& words) {
  if (!AllocConsole() || !SetConsoleOutputCP(static_cast<UINT>(std::stoul(words[1])))) return;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring commandLine = Native(words[2]);
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  const HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO shown{};
  GetConsoleScreenBufferInfo(screen, &shown);
  DWORD cells = static_cast<DWORD>(shown.dwSize.X * (shown.dwCursorPosition.Y + 1));
  std::wstring text(cells, L' ');
  ReadConsoleOutputCharacterW(screen, text.data(), cells, COORD{0, 0}, &cells);
  std::printf("code page %u\n%s\n", GetConsoleOutputCP(), WideToUtf8(text).c_str());
}
#endif

int Probe(const std::vector<std::string>& words) {
  if (words.empty()) return 64;
  const std::string& command = words[0];
  if (command == "module") {
    std::printf("%s\n%s\n", PathToUtf8(GetModulePath()).c_str(), PathToUtf8(GetModuleDirectory()).c_str());
  } else if (command == "start-and-wait" && words.size() == 2) {
    const bool started = StartProcessAndWait(Native(words[1]));
    std::printf("%s\n", started ? "true" : "false");
  } else if (command == "shell-start" && words.size() >= 2) {
    const NativeString parameters = words.size() >= 3 ? Native(words[2]) : NativeString();
    const NativeString directory = words.size() >= 4 ? Native(words[3]) : NativeString();
    const bool started = ShellStartHidden(Native(words[1]), words.size() >= 3 ? &parameters : nullptr,
                                          words.size() >= 4 ? &directory : nullptr);
    std::printf("%s\n", started ? "true" : "false");
  } else if (command == "wait-pid" && words.size() == 2) {
    WaitForProcessExit(static_cast<std::uint32_t>(std::stoul(words[1])));
  } else if (command == "box" && words.size() == 2) {
    std::string text;
    for (std::size_t i = 0; i < words[1].size(); ++i) {
      const bool lineFeed = words[1].compare(i, 2, "\\n") == 0;
      text += lineFeed ? '\n' : words[1][i];
      i += lineFeed ? 1 : 0;
    }
    ShowErrorBox(Native(text));
  } else if (command == "running" && words.size() >= 2) {
    std::vector<NativeString> places;
    for (std::size_t i = 1; i < words.size(); ++i) places.push_back(Native(words[i]));
    const std::vector<RunningProgram> running = RunningFrom(places);
    for (const NativeString& place : places) {
      const bool found = std::any_of(running.begin(), running.end(),
                                     [&](const RunningProgram& program) { return program.place == place; });
      std::printf("%d", found ? 1 : 0);
    }
    std::printf("\n");
  } else if (command == "lock" && words.size() == 3) {
    const std::optional<InstallationLock> lock = LockInstallation(Native(words[1]));
    const std::filesystem::path held = Utf8ToPath(words[2]);
    WriteText(held, "locked\n");
    while (std::filesystem::exists(held)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } else if (command == "check-staging" && words.size() >= 2) {
    CheckStagingOf(words);
  } else if (command == "hold-start" && words.size() == 3) {
    HeldProgram held;
    if (HoldProgram(Native(words[1]), held)) return 65;
    const bool replaced = words[2] == "--write"
                              ? static_cast<bool>(std::ofstream(Utf8ToPath(words[1]), std::ios::binary | std::ios::app) << '\0')
                              : !RenamePath(Utf8ToPath(words[2]).native(), Utf8ToPath(words[1]).native());
    const bool same = NamesHeldProgram(held, Native(words[1]));
    const bool started = StartHeldProgram(held, Native(words[1]), nullptr, nullptr, JobLeaving::kStays);
    std::printf("replace %s\n%s\nstarted %s\n", replaced ? "done" : "refused", same ? "same" : "other",
                started ? "true" : "false");
  } else if (command == "read-log" && words.size() == 2) {
#ifdef _WIN32
    const HANDLE writer = CreateFileW(Native(words[1]).c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, 0, nullptr);
#else
    std::ofstream writer(Utf8ToPath(words[1]), std::ios::binary | std::ios::app);
#endif
    std::string bytes;
    const boost::system::error_code error = ReadLog(Native(words[1]), bytes);
    std::printf(error ? "failed %d\n" : "read %d\n", error ? error.value() : static_cast<int>(bytes.size()));
#ifdef _WIN32
    CloseHandle(writer);
#endif
#ifdef _WIN32
  } else if (command == "job" && words.size() >= 3) {
    const int exitCode = RunInJob(words);
    std::fflush(stdout);
    return exitCode;
  } else if (command == "console" && words.size() == 3) {
    RunInConsole(words);
#endif
  } else if ((command == "hold" || command == "scan" || command == "claim") && words.size() == 3) {
    // GENERIC_READ or DELETE; nobody, FILE_SHARE_READ | FILE_SHARE_WRITE, or | FILE_SHARE_DELETE too.
    Hold(words[1], words[2], command == "claim" ? 0x10000 : 0x80000000, command == "hold" ? 0 : command == "scan" ? 3 : 7);
  } else if (command == "log" && words.size() == 4) {
    const long count = std::stol(words[3]);
    long written = 0;
    long last = -1;
    for (long i = 0; i < count; ++i) {
      std::string line = words[2];
      line.append(" ").append(std::to_string(i)).append(" ").append(1000, 'x').append("\n");
      if (AppendLogLine(Native(words[1]), line, i == 0)) {
        ++written;
        last = i;
      }
    }
    std::printf("%ld %ld\n", written, last);
  } else {
    return 64;
  }
  std::fflush(stdout);
  return 0;
}
}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) words.push_back(WideToUtf8(argv[i]));
  return Probe(words);
}
#else
int main(int argc, char** argv) { return Probe(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
