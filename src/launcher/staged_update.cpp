#include "launcher/staged_update.hpp"

#include <chrono>
#include <thread>
#include <vector>

#include "launcher/layout.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staging_check.hpp"
#include "launcher/trust.hpp"
#include "platform/process.hpp"

namespace fs = boost::filesystem;

namespace {
using Clock = std::chrono::steady_clock;
// An application that restarts to update starts the loader and then exits: its end is waited
// for this long, so that the update goes in at once. Short enough that a start while the
// application stays open still runs it within a few seconds.
constexpr Clock::duration kInUsePatience = std::chrono::seconds(3);
constexpr Clock::duration kInUsePoll = std::chrono::milliseconds(100);

// Whether the installation is signed, as the check would say; unsigned where that cannot be read.
bool SignedInstallation(const fs::path& installDirectory) {
  return CarriesSignature(InstalledLoader(installDirectory).native()).value_or(false);
}
}  // namespace

InstallationUse WaitUntilFree(const fs::path& applicationDirectory, const fs::path& updateDirectory) {
  const fs::path stagedLoader = StagedLoader(updateDirectory);
  const std::vector<NativeString> places = {stagedLoader.native(), applicationDirectory.native(),
                                            updateDirectory.native()};
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + kInUsePatience;
  NativeString seen;
  for (;;) {
    const std::vector<RunningProgram> running = RunningFrom(places);
    if (!running.empty() && running.front().place == stagedLoader.native()) {
      LogLine("the staged loader runs already (" + LogText(running.front().program) +
              "): an update is being applied, this start starts nothing");
      return InstallationUse::kBeingApplied;
    }
    if (running.empty()) {
      if (!seen.empty()) {
        LogLine("installation in use by " + LogText(seen) + ", free after " + LogDuration(Clock::now() - start));
      }
      return InstallationUse::kFree;
    }
    if (seen.empty()) seen = running.front().program;
    if (Clock::now() >= deadline) {
      LogLine("installation in use by " + LogText(seen) + ", waited " + LogDuration(Clock::now() - start) +
              "; running the application, the staging waits for a later start");
      return InstallationUse::kInUse;
    }
    std::this_thread::sleep_for(kInUsePoll);
  }
}

std::string KeptAfterFailureText(const fs::path& installDirectory, const char* finding, const NativeString& subject,
                                 const boost::system::error_code& error, const std::string& detail) {
  try {
    StagingCheck kept;
    kept.verdict = StagingVerdict::kNotNow;
    kept.finding = finding;
    kept.subject = subject;
    kept.error = error;
    kept.detail = detail;
    kept.signedInstallation = SignedInstallation(installDirectory);
    return StagingCheckText(kept);
  } catch (...) {
    return "staging kept for a later start";
  }
}

std::string RefusedLinkText(const fs::path& installDirectory, const fs::path& link) {
  StagingCheck refused;
  refused.verdict = StagingVerdict::kRefused;
  refused.integrity = true;
  refused.finding = "a link or a special file";
  refused.subject = link.native();
  refused.signedInstallation = SignedInstallation(installDirectory);
  return StagingCheckText(refused);
}

std::string RemovalText(const fs::path& what, const Removal& removal) {
  switch (removal.outcome) {
    case Removed::kAll:
      break;
    case Removed::kLinkLeft:
      return LogText(removal.link) + " is a link, left in place: this system removes it only by reaching what it "
                                     "points to";
    case Removed::kNotHeld:
      return "staging " + LogText(what) + " was replaced while this run looked at it: left for the next start";
  }
  return "removed " + LogText(what);
}
