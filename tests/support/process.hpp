#pragma once
// Real processes for tests: starting programs, their exit codes, what they printed and the
// failure messages the loader showed (read back from the box on Windows, from standard error
// elsewhere); finding, waiting for and ending the programs a loader left running. One
// implementation per platform, plus what is the same on both.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

struct Launched {
  std::uint32_t pid = 0;
  std::uintptr_t handle = 0;  // the process handle on Windows
  Clock::time_point started;
  std::filesystem::path outputFile;
  std::filesystem::path errorFile;
  std::shared_ptr<void> boxWatch;  // collects and dismisses message boxes on Windows
};

struct Outcome {
  bool finished = false;  // false: still running at the time limit, and killed
  int exitCode = 0;       // as the system reports it: -1 on Windows is 255 on Linux
  std::string output;     // standard output
  std::string errors;     // standard error
  std::vector<std::string> messages;  // each failure message shown, in order
  std::vector<int> messageButtons;    // the number of visible buttons in each box (Windows)
  std::vector<int> messageIcons;      // the number of visible icons in each box (Windows)
  // From the start to the first message: its box appearing on Windows, the end of the run elsewhere.
  Clock::duration firstMessageAfter{};
};

// The running test program's own file.
std::filesystem::path OwnExecutablePath();

// Starts `program` with `arguments` in `workingDirectory`; standard output and error go to files
// in `captureDirectory`. The environment is this process's own.
Launched StartProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::filesystem::path& workingDirectory,
                      const std::filesystem::path& captureDirectory);

// Waits up to `limit` for the program to end (killing it after that) and collects its outcome.
Outcome WaitProgram(Launched& launched, std::chrono::milliseconds limit = std::chrono::seconds(60));

// True while a process with this id exists and has not ended.
bool ProcessAlive(std::uint32_t pid);

// Sets an environment variable of this process, inherited by every program started after it.
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);

// The exit code -1 as the system reports it.
int ReportedFailureExitCode();

// Windows: starts the session's desktop before any program under test shows a window. Elsewhere:
// leaves no graphical session in the environment, so no program under test opens a dialog.
void PrepareDesktop();

// A live process: its id, its parent's, and its executable as the system names it (canonical
// on Linux, the full image name on Windows; empty when unreadable).
struct LiveProcess {
  std::uint32_t pid = 0;
  std::uint32_t parent = 0;
  std::filesystem::path executable;
};
std::vector<LiveProcess> LiveProcesses();

// The ids of the live processes whose executable passes `wanted`.
std::vector<std::uint32_t> ProcessesWhose(const std::function<bool(const std::filesystem::path&)>& wanted);
// ... whose executable is `program`.
std::vector<std::uint32_t> ProcessesRunning(const std::filesystem::path& program);
// ... whose executable file has this name, wherever it lies.
std::vector<std::uint32_t> ProcessesNamed(const std::string& fileName);
// ... whose executable lies anywhere below `directory`.
std::vector<std::uint32_t> ProcessesRunningBelow(const std::filesystem::path& directory);
// ... that the process with id `parent` started (it may have ended since).
std::vector<std::uint32_t> ProcessesStartedBy(std::uint32_t parent);

// Ends the process with this id, if it still runs.
void EndProcess(std::uint32_t pid);

// Waits up to `limit` for every process running from below `directory` to end, then ends those
// still running. Returns how many had to be ended.
std::size_t EndProcessesRunningBelow(const std::filesystem::path& directory, std::chrono::milliseconds limit);

// Polls `condition` until it holds or `limit` has passed; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// Linux: the session a process belongs to, from /proc (0 when unreadable).
long ProcessSession(std::uint32_t pid);

// Makes `link` a symbolic link to `target` as the system under test shows one: natively the
// library's; under Wine a Unix link, which is what Wine shows as a link (its CreateSymbolicLinkW
// reports success and makes nothing), made with the Linux call itself. False where none can be made.
bool MakeLink(const std::filesystem::path& target, const std::filesystem::path& link);
// Removes such a link, never what it points to; true when nothing is left at its name.
bool RemoveLink(const std::filesystem::path& link);
// Whether the Windows build runs under Wine, which removes a Unix link only by reaching its target.
bool UnderWine();
