#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/process.hpp"
#include "support/text.hpp"

extern char** environ;

namespace fs = std::filesystem;

namespace {
// The loader writes a message as its caption line, the text and a line feed.
std::vector<std::string> MessagesIn(const std::string& errors) {
  const std::string caption = "Velmora loader\n";
  const std::size_t start = errors.find(caption);
  if (start == std::string::npos) return {};
  std::string text = errors.substr(start + caption.size());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return {text};
}

// The fields of /proc/PID/stat after the command, which may hold anything but ends with the
// line's last ')': state, parent, process group, session.
struct Stat {
  char state = '?';
  std::uint32_t parent = 0;
  long session = 0;
};

Stat ReadStat(std::uint32_t pid) {
  const std::string line = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t commandEnd = line.rfind(')');
  Stat stat;
  if (commandEnd == std::string::npos) return stat;
  std::istringstream fields(line.substr(commandEnd + 1));
  long group = 0;
  fields >> stat.state >> stat.parent >> group >> stat.session;
  return stat;
}
}  // namespace

fs::path OwnExecutablePath() { return fs::read_symlink("/proc/self/exe"); }

Launched StartProgram(const fs::path& program, const std::vector<std::string>& arguments,
                      const fs::path& workingDirectory, const fs::path& captureDirectory) {
  static int counter = 0;
  Launched launched;
  const std::string stem = "run" + std::to_string(++counter);
  launched.outputFile = captureDirectory / (stem + ".out");
  launched.errorFile = captureDirectory / (stem + ".err");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, launched.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, launched.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  launched.started = Clock::now();
  const int failure = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) throw std::runtime_error("cannot start " + program.string() + ": " + std::to_string(failure));
  launched.pid = static_cast<std::uint32_t>(pid);
  return launched;
}

Outcome WaitProgram(Launched& launched, std::chrono::milliseconds limit) {
  Outcome outcome;
  const Clock::time_point deadline = Clock::now() + limit;
  int status = 0;
  const auto pid = static_cast<pid_t>(launched.pid);
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      outcome.finished = true;
      break;
    }
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.output = ReadText(launched.outputFile);
  outcome.errors = ReadText(launched.errorFile);
  outcome.messages = MessagesIn(outcome.errors);
  // The message is written just before the loader ends.
  outcome.firstMessageAfter = Clock::now() - launched.started;
  return outcome;
}

// A zombie has ended; it only waits to be reaped.
bool ProcessAlive(std::uint32_t pid) { return kill(static_cast<pid_t>(pid), 0) == 0 && ReadStat(pid).state != 'Z'; }

long ProcessSession(std::uint32_t pid) { return ReadStat(pid).session; }

void SetEnvironment(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }
void UnsetEnvironment(const std::string& name) { unsetenv(name.c_str()); }
int ReportedFailureExitCode() { return 255; }

void PrepareDesktop() {
  UnsetEnvironment("DISPLAY");
  UnsetEnvironment("WAYLAND_DISPLAY");
}

std::vector<LiveProcess> LiveProcesses() {
  std::vector<LiveProcess> found;
  std::error_code error;
  for (auto it = fs::directory_iterator("/proc", error); !error && it != fs::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    LiveProcess process;
    process.pid = static_cast<std::uint32_t>(std::stoul(name));
    const Stat stat = ReadStat(process.pid);
    if (stat.state == '?' || stat.state == 'Z') continue;
    process.parent = stat.parent;
    std::error_code unreadable;
    process.executable = fs::read_symlink(it->path() / "exe", unreadable);
    found.push_back(std::move(process));
  }
  return found;
}

// The system names a process's executable by its canonical path.
std::vector<std::uint32_t> ProcessesRunning(const fs::path& program) {
  std::error_code error;
  const fs::path canonical = fs::weakly_canonical(program, error);
  if (error) return {};
  return ProcessesWhose([&](const fs::path& executable) { return executable == canonical; });
}

std::vector<std::uint32_t> ProcessesNamed(const std::string& fileName) {
  return ProcessesWhose([&](const fs::path& executable) { return executable.filename() == fileName; });
}

// With " (deleted)" after it once the file is gone: a prefix still matches.
std::vector<std::uint32_t> ProcessesRunningBelow(const fs::path& directory) {
  std::error_code error;
  std::string prefix = fs::weakly_canonical(directory, error).native();
  if (error) return {};
  if (!prefix.ends_with('/')) prefix += '/';
  return ProcessesWhose([&](const fs::path& executable) { return executable.native().starts_with(prefix); });
}

void EndProcess(std::uint32_t pid) { kill(static_cast<pid_t>(pid), SIGKILL); }

bool MakeLink(const fs::path& target, const fs::path& link) {
  std::error_code error;
  fs::create_symlink(target, link, error);
  return !error;
}

bool RemoveLink(const fs::path& link) {
  std::error_code error;
  fs::remove(link, error);
  return !fs::exists(fs::symlink_status(link));
}

bool UnderWine() { return false; }
