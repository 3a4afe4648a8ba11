#include "support/running.hpp"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/process.hpp"

namespace {
// The parent's id from /proc/PID/stat: the field after the command, which may hold anything
// but ends with the line's last ')'.
std::uint32_t ParentOf(const std::filesystem::path& processDirectory) {
  std::ifstream stat(processDirectory / "stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t commandEnd = line.rfind(')');
  if (commandEnd == std::string::npos) return 0;
  std::istringstream fields(line.substr(commandEnd + 1));
  std::string state;
  std::uint32_t parent = 0;
  fields >> state >> parent;
  return parent;
}
}  // namespace

std::vector<LiveProcess> LiveProcesses() {
  std::vector<LiveProcess> found;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    LiveProcess process;
    process.pid = static_cast<std::uint32_t>(std::stoul(name));
    if (!ProcessAlive(process.pid)) continue;
    process.parent = ParentOf(it->path());
    std::error_code unreadable;
    process.executable = std::filesystem::read_symlink(it->path() / "exe", unreadable);
    found.push_back(std::move(process));
  }
  return found;
}

std::vector<std::uint32_t> ProcessesRunning(const std::filesystem::path& program) {
  // The system names a process's executable by its canonical path.
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(program, error);
  if (error) return {};
  return ProcessesWhose([&](const std::filesystem::path& executable) { return executable == canonical; });
}

std::vector<std::uint32_t> ProcessesNamed(const std::string& fileName) {
  return ProcessesWhose([&](const std::filesystem::path& executable) { return executable.filename() == fileName; });
}

void EndProcess(std::uint32_t pid) { kill(static_cast<pid_t>(pid), SIGKILL); }
