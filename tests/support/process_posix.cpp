#include "support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/text.hpp"

extern char** environ;

namespace {
std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The loader writes a message as its caption line, the text and a line feed.
std::vector<std::string> MessagesIn(const std::string& errors) {
  const std::string caption = "Velmora loader\n";
  std::vector<std::string> messages;
  const std::size_t start = errors.find(caption);
  if (start == std::string::npos) return messages;
  std::string text = errors.substr(start + caption.size());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  messages.push_back(text);
  return messages;
}
}  // namespace

std::filesystem::path OwnExecutablePath() { return std::filesystem::read_symlink("/proc/self/exe"); }

Launched StartProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::filesystem::path& workingDirectory,
                      const std::filesystem::path& captureDirectory) {
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
  const int failure = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) throw std::runtime_error("cannot start " + program.string() + ": " + std::to_string(failure));
  launched.pid = static_cast<std::uint32_t>(pid);
  return launched;
}

Outcome WaitProgram(Launched& launched, std::chrono::milliseconds limit) {
  Outcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  const auto pid = static_cast<pid_t>(launched.pid);
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      outcome.finished = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.output = ReadWholeFile(launched.outputFile);
  outcome.errors = ReadWholeFile(launched.errorFile);
  outcome.messages = MessagesIn(outcome.errors);
  return outcome;
}

bool ProcessAlive(std::uint32_t pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0) return false;
  // A zombie has ended; it only waits to be reaped.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t commandEnd = line.rfind(')');
  return commandEnd == std::string::npos || line.compare(commandEnd + 1, 2, " Z") != 0;
}

void SetEnvironment(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }
void UnsetEnvironment(const std::string& name) { unsetenv(name.c_str()); }
int ReportedFailureExitCode() { return 255; }
