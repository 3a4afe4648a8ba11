#pragma once
// Process services: where the running loader lives, and starting and waiting for other programs.

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <memory>
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

// A program held open from before it is checked until it has been started, so that the program
// that runs is the one checked: on Windows a handle that shares neither writing nor deletion
// (nobody changes, replaces or removes the file meanwhile, and it can still be started); natively
// a descriptor, which the start goes through. Empty where nothing is held.
using HeldProgram = std::shared_ptr<void>;

// Opens the regular file `program`, never through a link, and holds it in `held`. Returns the
// failure to open it (`errc::invalid_argument` for anything but a regular file), or a clear code.
boost::system::error_code HoldProgram(const NativeString& program, HeldProgram& held);

// Whether `program` still names the file in `held`, as it was when it was held: the same volume
// and file (natively also the same size and change time, since nothing keeps it from being
// written there).
bool NamesHeldProgram(const HeldProgram& held, const NativeString& program);

// Whether a started program stays in the job this process runs in, or asks to leave it (Windows;
// natively there are no jobs).
enum class JobLeaving { kStays, kBreaksAway };

// Starts the program in `held`, whose path is `program`, as ShellStartHidden starts a file, but
// with its standard output and error going nowhere, so that whoever reads this program's output
// to its end does not wait for the started one too. On Windows the file is started by its path,
// which the hold keeps naming it; natively through the held descriptor itself, so that a file put
// at that path since is never the one that runs. Asked to break away, it leaves this process's
// job or is not started (job.hpp tells a refusal by `failure`).
bool StartHeldProgram(const HeldProgram& held, const NativeString& program, const NativeString* parameters,
                      const NativeString* workingDirectory, JobLeaving leaving, std::uint32_t* failure = nullptr);

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
