#pragma once
// `velmora-update status`: what an installation runs, what waits for it, how the updater's last
// check ended and what the loader did with the last staging it checked, for an application to
// show ("an update is ready", "updated to 2.1", "the update was refused").

#include <boost/json/object.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "updater/update.hpp"

// The loader's last verdict on a staging, from the words that end its check's line in the log.
struct LoaderVerdict {
  std::string time;     // the line's time stamp, "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC)
  std::string verdict;  // "taken", "refused-integrity", "refused-origin" or "kept"
  // What the line tells besides, in its order: "SHA256SUMS" and the manifest's SHA-256,
  // "installed loader" and a version "1.2.3.4", ...
  std::vector<std::pair<std::string, std::string>> known;
};

// The last line of the loader's log text `log` that ends in a staging check's verdict:
// "; verdict " and its word, then any number of ", <key> <value>" (key: letters, digits and
// blanks; value: lowercase hex digits and dots). Lines of any other form, cut off or written by
// anything else, are passed over. Nullopt when there is none.
std::optional<LoaderVerdict> LastLoaderVerdict(const std::string& log);

// Of the verdicts of the log's two generations, the later by time stamp; `current` when equal.
std::optional<LoaderVerdict> LaterVerdict(const std::optional<LoaderVerdict>& current,
                                          const std::optional<LoaderVerdict>& previous);

struct StatusReport {
  int exitCode = 0;
  boost::json::object object;  // what --json prints
  std::string text;            // what is printed otherwise, a line for each part
};

// Reads the installation `options` names; changes nothing and never throws.
StatusReport RunStatus(const UpdaterOptions& options);
