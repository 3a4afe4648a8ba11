#pragma once
// Process services: where the running loader lives, and starting and waiting for other programs.

#include <cstdint>
#include <vector>

#include "platform/native_text.hpp"

// Full path of the running executable, exactly as the system reports it; empty when the query fails.
NativeString GetModulePath();

// The directory of the running executable: ModuleDirectoryOf(GetModulePath()).
NativeString GetModuleDirectory();

// The directory part of a module path: everything before its last separator, or the root
// itself ("C:\", "/") when that is all there is before it; empty when there is no separator.
NativeString ModuleDirectoryOf(const NativeString& modulePath);

// The command line of a program started without arguments: its path between double quotes,
// so that a path with blanks stays one word for the program's own splitting.
NativeString ProgramCommandLine(const NativeString& program);

// Starts `program` with no arguments, the module directory as working directory and this
// process's environment, and waits without limit until it ends. On a failed start, writes
// "CreateProcess failed (N)." to standard output and returns false, with N in `failure` if given.
bool StartProcessAndWait(const NativeString& program, std::uint32_t* failure = nullptr);

// Starts `file` detached through the shell, without waiting; hidden in that it gets no console,
// while a window it shows is shown normally. `parameters` is a
// command-line tail (Windows quoting rules); null `workingDirectory` keeps the current one.
// Returns false only when the file could not be started at all, with the system's number (on
// Windows the shell's) in `failure` if given.
bool ShellStartHidden(const NativeString& file, const NativeString* parameters,
                      const NativeString* workingDirectory, std::uint32_t* failure = nullptr);

// Waits without limit until the process with this id ends; returns at once when no such
// process can be opened.
void WaitForProcessExit(std::uint32_t processId);

// A program found running from one of the places asked about.
struct RunningProgram {
  NativeString place;    // the place, as it was given
  NativeString program;  // the program of one process running from it, as the system names it
};

// For each of `places`, a program file or a folder, the program of one process other than this
// one that is that file or lies below that folder; places that run nothing are left out, the rest
// come in the order given. Paths are compared as the system resolves them (links; on Windows short
// names and letter case too), so any spelling of a place finds its programs. A place that does not
// exist runs nothing; a process whose program this user may not read (another user's, on Linux)
// is not seen.
std::vector<RunningProgram> RunningFrom(const std::vector<NativeString>& places);

// The places that have a program in `programs` (one per place, empty where none runs), with it.
std::vector<RunningProgram> FoundPrograms(const std::vector<NativeString>& places,
                                          const std::vector<NativeString>& programs);
