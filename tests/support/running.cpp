#include "support/running.hpp"

#include <system_error>
#include <thread>

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollPause(25);
}  // namespace

std::vector<Record> WaitForRecords(const std::filesystem::path& file, std::size_t count,
                                   std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    std::vector<Record> records = ReadRecords(file);
    if (records.size() >= count || Clock::now() >= deadline) return records;
    std::this_thread::sleep_for(kPollPause);
  }
}

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

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPause);
  }
}

bool WaitUntilNotRunning(const std::filesystem::path& program, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return ProcessesRunning(program).empty(); }, limit);
}

void RemoveSandbox(const std::filesystem::path& root) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  std::error_code error;
  while (std::filesystem::remove_all(root, error), error && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
