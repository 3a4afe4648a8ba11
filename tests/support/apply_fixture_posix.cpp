#include "support/apply_fixture.hpp"

#include <string>

#include "support/process.hpp"

namespace fs = std::filesystem;

std::vector<std::uint32_t> ProcessesRunningBelow(const fs::path& directory) {
  std::vector<std::uint32_t> found;
  std::error_code error;
  // The system names a process's executable by its canonical path, with " (deleted)" after it
  // once the file is gone: a prefix still matches.
  const std::string prefix = fs::weakly_canonical(directory, error).native() + "/";
  if (error) return found;
  for (auto it = fs::directory_iterator("/proc", error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    const std::string name = it->path().filename().native();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;
    const std::string executable = fs::read_symlink(it->path() / "exe", unreadable).native();
    if (unreadable || executable.compare(0, prefix.size(), prefix) != 0) continue;
    const auto pid = static_cast<std::uint32_t>(std::stoul(name));
    if (ProcessAlive(pid)) found.push_back(pid);
  }
  return found;
}

void StartDesktop() {}
