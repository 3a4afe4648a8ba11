#pragma once
// Running programs from tests: real processes, their exit codes, what they printed, and the
// failure messages the loader showed (read back from the box on Windows, from standard error
// elsewhere).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

struct Launched {
  std::uint32_t pid = 0;
  std::uintptr_t handle = 0;  // the process handle on Windows
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
};

// Starts `program` with `arguments` in `workingDirectory`; standard output and error go to files
// in `captureDirectory`. The environment is this process's own.
Launched StartProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::filesystem::path& workingDirectory,
                      const std::filesystem::path& captureDirectory);

// Waits up to `limit` for the program to end (killing it after that) and collects its outcome.
Outcome WaitProgram(Launched& launched, std::chrono::milliseconds limit = std::chrono::seconds(60));


// True while a process with this id exists.
bool ProcessAlive(std::uint32_t pid);

// Sets an environment variable of this process, inherited by every program started after it.
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);

// The exit code -1 as the system reports it.
int ReportedFailureExitCode();
