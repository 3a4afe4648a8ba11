#pragma once
// What `stage --progress` shows while it fetches: JSON lines for an application's own progress
// bar, or one line a person watches in a console, never more often than a few times a second.

#include <chrono>
#include <cstdint>
#include <string>

inline constexpr std::chrono::milliseconds kProgressInterval(250);

// When the progress was last shown, and how far it had come.
struct ProgressPace {
  bool shown = false;
  std::chrono::steady_clock::time_point at;
  std::uint64_t done = 0;
};

// Whether to show `done` of `total` bytes at `now`: the first report; then one that has come
// further, short of the total, at least kProgressInterval after the last shown; and the one that
// ends the fetch (`finished`) always, so that the total is shown once, last. `pace` records what
// was shown.
bool ShowProgress(ProgressPace& pace, std::chrono::steady_clock::time_point now, std::uint64_t done,
                  std::uint64_t total, bool finished);

// {"bytesDone":N,"bytesTotal":M}
std::string ProgressJson(std::uint64_t done, std::uint64_t total);

// "velmora-update: fetched 1.5 of 12.0 MB (12 %)", without a line end.
std::string ProgressDisplay(std::uint64_t done, std::uint64_t total);
