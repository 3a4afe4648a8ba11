#include "support/apply_fixture.hpp"

#include <string>

#include "support/running.hpp"

namespace fs = std::filesystem;

std::vector<std::uint32_t> ProcessesRunningBelow(const fs::path& directory) {
  std::error_code error;
  // The system names a process's executable by its canonical path, with " (deleted)" after it
  // once the file is gone: a prefix still matches.
  const std::string prefix = fs::weakly_canonical(directory, error).native() + "/";
  if (error) return {};
  return ProcessesWhose(
      [&](const fs::path& executable) { return executable.native().compare(0, prefix.size(), prefix) == 0; });
}

void StartDesktop() {}
