#include "support/running.hpp"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/process.hpp"

std::vector<std::uint32_t> ProcessesWhose(const std::function<bool(const std::filesystem::path&)>& wanted) {
  std::vector<std::uint32_t> found;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;
    const std::filesystem::path executable = std::filesystem::read_symlink(it->path() / "exe", unreadable);
    if (unreadable || !wanted(executable)) continue;
    const auto pid = static_cast<std::uint32_t>(std::stoul(name));
    if (ProcessAlive(pid)) found.push_back(pid);
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

std::vector<std::uint32_t> ProcessesStartedBy(std::uint32_t parent) {
  std::vector<std::uint32_t> found;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(it->path() / "stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t commandEnd = line.rfind(')');
    if (commandEnd == std::string::npos) continue;
    std::istringstream fields(line.substr(commandEnd + 1));
    std::string state;
    std::uint32_t parentId = 0;
    fields >> state >> parentId;
    const auto pid = static_cast<std::uint32_t>(std::stoul(name));
    if (parentId == parent && ProcessAlive(pid)) found.push_back(pid);
  }
  return found;
}

void EndProcess(std::uint32_t pid) { kill(static_cast<pid_t>(pid), SIGKILL); }
