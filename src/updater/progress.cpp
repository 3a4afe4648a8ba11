#include "updater/progress.hpp"

#include <boost/json.hpp>
#include <cstdio>

bool ShowProgress(ProgressPace& pace, std::chrono::steady_clock::time_point now, std::uint64_t done,
                  std::uint64_t total, bool finished) {
  const bool show =
      finished || !pace.shown || (done > pace.done && done < total && now - pace.at >= kProgressInterval);
  if (show) pace = {true, now, done};
  return show;
}

std::string ProgressJson(std::uint64_t done, std::uint64_t total) {
  return boost::json::serialize(boost::json::object{{"bytesDone", done}, {"bytesTotal", total}});
}

std::string ProgressDisplay(std::uint64_t done, std::uint64_t total) {
  char text[96];
  const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done * 100 / total);
  std::snprintf(text, sizeof text, "velmora-update: fetched %.1f of %.1f MB (%u %%)", static_cast<double>(done) / 1e6,
                static_cast<double>(total) / 1e6, percent);
  return text;
}
