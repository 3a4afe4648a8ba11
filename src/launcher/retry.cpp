#include "launcher/retry.hpp"

#include <chrono>
#include <thread>

#include "platform/file_ops.hpp"

namespace {
using Clock = std::chrono::steady_clock;
// The loader that handed over may still be exiting and holding its file, and a scanner or an
// indexer may hold a file of "app" for a moment.
constexpr Clock::duration kRetryBudget = std::chrono::seconds(5);
constexpr Clock::duration kRetryPause = std::chrono::milliseconds(100);

// A sleep woken early sleeps again for the rest of the pause.
void Pause(Clock::duration pause) {
  const Clock::time_point end = Clock::now() + pause;
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    std::this_thread::sleep_for(end - now);
  }
}
}  // namespace

Tried Retried(const Attempt& attempt, bool (*worthRetrying)(const boost::system::error_code&)) {
  const Clock::time_point start = Clock::now();
  Tried tried;
  for (;;) {
    tried.error = attempt();
    ++tried.attempts;
    if (!tried.error || !worthRetrying(tried.error)) break;
    Pause(kRetryPause);
    const Clock::time_point now = Clock::now();
    if (now - start >= kRetryBudget) {
      tried.took = now - start;
      return tried;
    }
  }
  tried.took = Clock::now() - start;
  return tried;
}

Tried RetriedMove(const boost::filesystem::path& from, const boost::filesystem::path& to) {
  return Retried([&] { return RenamePath(from, to); }, MayPassLater);
}
