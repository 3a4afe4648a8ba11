#include "platform/process.hpp"

#include <cerrno>
#include <climits>
#include <memory>
#include <cstdlib>
#include <dirent.h>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/command_tail.hpp"

extern char** environ;

namespace {
constexpr std::size_t kModulePathCapacity = 0x10000;

// The child's wait status; -1 when it cannot be waited for.
int WaitForChild(pid_t child) {
  int status = -1;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Runs in the forked grandchild: only async-signal-safe calls until exec. The program is
// `programFd` where that is open, else the file `argv[0]` names; `quiet` sends its output nowhere.
[[noreturn]] void ExecDetached(char* const* argv, const char* workingDirectory, int programFd, bool quiet,
                               int reportFd) {
  int failure = 0;
  const int devNull = ::open("/dev/null", O_RDWR);
  if (devNull < 0 || ::dup2(devNull, 0) < 0 || (quiet && (::dup2(devNull, 1) < 0 || ::dup2(devNull, 2) < 0))) {
    failure = errno;
  } else {
    // Standard input is all the started program should get of it.
    if (devNull > 2) ::close(devNull);
    if (workingDirectory != nullptr && ::chdir(workingDirectory) != 0) {
      failure = errno;
    } else {
      if (programFd >= 0) {
        ::fexecve(programFd, argv, environ);
      } else {
        ::execv(argv[0], argv);
      }
      failure = errno;
    }
  }
  (void)!::write(reportFd, &failure, sizeof failure);
  ::_exit(127);
}

// The place as the system resolves it; empty when it does not exist.
std::string Resolved(const std::string& place) {
  char* resolved = ::realpath(place.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string text(resolved);
  std::free(resolved);
  return text;
}

// The program of process `pid` as the kernel names it, resolved, without the mark of a deleted
// file; empty when this user may not read it, or the process has ended.
std::string ProgramOf(const char* pid) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%s/exe", pid);
  std::string program(PATH_MAX, '\0');
  const ssize_t length = ::readlink(link, program.data(), program.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= program.size()) return {};
  program.resize(static_cast<std::size_t>(length));
  const std::string deleted = " (deleted)";
  if (program.ends_with(deleted)) program.resize(program.size() - deleted.size());
  return program;
}
}  // namespace

NativeString GetModulePath() {
  std::string buffer(kModulePathCapacity, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  // A truncated path would name some other file: treat it as a failed query.
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
  buffer.resize(static_cast<std::size_t>(length));
  return buffer;
}

bool StartProcessAndWait(const NativeString& program, std::uint32_t* failed) {
  const NativeString workingDirectory = GetModuleDirectory();
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t child = 0;
  const int failure = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) {
    if (failed != nullptr) *failed = static_cast<std::uint32_t>(failure);
    std::printf("CreateProcess failed (%d).\n", failure);
    std::fflush(stdout);
    return false;
  }
  WaitForChild(child);
  return true;
}

namespace {
// Detached like a hidden shell start: a new session with no terminal, no standard input, and a
// double fork so the started program is never left as our zombie. Unless `quiet`, standard output
// and error stay ours, so what a detached loader reports reaches the same terminal or session log.
// A pipe that closes on exec tells whether the program could be started.
bool StartDetached(const NativeString& file, const NativeString* parameters, const NativeString* workingDirectory,
                   int programFd, bool quiet, std::uint32_t* failed) {
  std::vector<std::string> arguments{file};
  if (parameters != nullptr) {
    for (std::string& argument : SplitCommandTail(*parameters)) arguments.push_back(std::move(argument));
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const char* directory = workingDirectory != nullptr ? workingDirectory->c_str() : nullptr;

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    if (failed != nullptr) *failed = static_cast<std::uint32_t>(errno);
    return false;
  }
  const pid_t child = ::fork();
  const int forkFailure = errno;
  if (child == 0) {
    ::close(report[0]);
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) ExecDetached(argv.data(), directory, programFd, quiet, report[1]);
    if (grandchild < 0) {
      const int failure = errno;
      (void)!::write(report[1], &failure, sizeof failure);
    }
    ::_exit(0);
  }
  ::close(report[1]);
  bool started = false;
  if (child > 0) {
    // A child that did not exit cleanly may have died before its own fork.
    const int status = WaitForChild(child);
    int failure = 0;
    ssize_t got;
    while ((got = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    started = got == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!started && failed != nullptr) *failed = static_cast<std::uint32_t>(got == static_cast<ssize_t>(sizeof failure) ? failure : 0);
  } else if (failed != nullptr) {
    *failed = static_cast<std::uint32_t>(forkFailure);
  }
  ::close(report[0]);
  return started;
}
}  // namespace

bool ShellStartHidden(const NativeString& file, const NativeString* parameters,
                      const NativeString* workingDirectory, std::uint32_t* failed) {
  return StartDetached(file, parameters, workingDirectory, -1, false, failed);
}

namespace {
// What HoldProgram keeps: the descriptor, and what it was when it was opened.
struct Held {
  int fd = -1;
  struct stat opened {};
};
}  // namespace

boost::system::error_code HoldProgram(const NativeString& program, HeldProgram& held) {
  held.reset();
  const int fd = ::open(program.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {errno, boost::system::system_category()};
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    const int failure = errno;
    ::close(fd);
    return {failure, boost::system::system_category()};
  }
  if (!S_ISREG(opened.st_mode)) {
    ::close(fd);
    return make_error_code(boost::system::errc::invalid_argument);
  }
  held = std::shared_ptr<Held>(new Held{fd, opened}, [](Held* kept) {
    ::close(kept->fd);
    delete kept;
  });
  return {};
}

bool NamesHeldProgram(const HeldProgram& held, const NativeString& program) {
  if (!held) return false;
  const Held& kept = *static_cast<const Held*>(held.get());
  struct stat now {};
  struct stat named {};
  // The change time moves with every write and every change of its attributes, and only the
  // system sets it.
  return ::fstat(kept.fd, &now) == 0 && ::lstat(program.c_str(), &named) == 0 && named.st_dev == now.st_dev &&
         named.st_ino == now.st_ino && now.st_size == kept.opened.st_size &&
         now.st_ctim.tv_sec == kept.opened.st_ctim.tv_sec && now.st_ctim.tv_nsec == kept.opened.st_ctim.tv_nsec;
}

// A session of its own outlives this process whatever started it: there is no job to leave.
bool StartHeldProgram(const HeldProgram& held, const NativeString& program, const NativeString* parameters,
                      const NativeString* workingDirectory, JobLeaving, std::uint32_t* failed) {
  if (!held) {
    if (failed != nullptr) *failed = EBADF;
    return false;
  }
  return StartDetached(program, parameters, workingDirectory, static_cast<const Held*>(held.get())->fd, true, failed);
}

void WaitForProcessExit(std::uint32_t processId) {
  // 0 and ids beyond INT_MAX name no process; as a pid_t they would become 0 or negative and
  // address whole process groups.
  if (processId == 0 || processId > static_cast<std::uint32_t>(INT_MAX)) return;
  const auto pid = static_cast<pid_t>(processId);
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd ended{pidfd, POLLIN, 0};
    while (::poll(&ended, 1, -1) < 0 && errno == EINTR) {
    }
    ::close(pidfd);
    return;
  }
  if (errno != ENOSYS) return;
  // Kernels without pidfd: poll until the process is gone.
  while (::kill(pid, 0) == 0) ::usleep(20'000);
}

std::vector<RunningProgram> RunningFrom(const std::vector<NativeString>& places) {
  std::vector<std::string> resolved;
  for (const NativeString& place : places) resolved.push_back(Resolved(place));
  std::vector<std::string> programs(places.size());
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return {};
  const std::string self = std::to_string(::getpid());
  while (const dirent* entry = ::readdir(processes)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    const std::string program = ProgramOf(pid.c_str());
    if (program.empty()) continue;
    for (std::size_t i = 0; i < places.size(); ++i) {
      const std::string& place = resolved[i];
      // At a separator: "app" holds "app/x", not "app2/x".
      if (programs[i].empty() && !place.empty() && program.starts_with(place) &&
          (program.size() == place.size() || program[place.size()] == '/' || place == "/")) {
        programs[i] = program;
      }
    }
  }
  ::closedir(processes);
  return FoundPrograms(places, programs);
}
