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

bool WaitUntilNotRunning(const std::filesystem::path& program, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (ProcessesRunning(program).empty()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPause);
  }
}

void RemoveSandbox(const std::filesystem::path& root) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  std::error_code error;
  while (std::filesystem::remove_all(root, error), error && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
