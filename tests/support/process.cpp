#include "support/process.hpp"

#include <thread>

namespace {
constexpr std::chrono::milliseconds kPollPause(25);
}  // namespace

std::vector<std::uint32_t> ProcessesWhose(const std::function<bool(const std::filesystem::path&)>& wanted) {
  std::vector<std::uint32_t> found;
  for (const LiveProcess& process : LiveProcesses()) {
    if (!process.executable.empty() && wanted(process.executable)) found.push_back(process.pid);
  }
  return found;
}

std::vector<std::uint32_t> ProcessesStartedBy(std::uint32_t parent) {
  std::vector<std::uint32_t> found;
  for (const LiveProcess& process : LiveProcesses()) {
    if (process.parent == parent) found.push_back(process.pid);
  }
  return found;
}

std::size_t EndProcessesRunningBelow(const std::filesystem::path& directory, std::chrono::milliseconds limit) {
  if (WaitUntil([&] { return ProcessesRunningBelow(directory).empty(); }, limit)) return 0;
  const std::vector<std::uint32_t> left = ProcessesRunningBelow(directory);
  for (const std::uint32_t pid : left) EndProcess(pid);
  WaitUntil([&] { return ProcessesRunningBelow(directory).empty(); }, std::chrono::seconds(5));
  return left.size();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPause);
  }
}
