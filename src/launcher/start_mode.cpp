#include "launcher/start_mode.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <optional>
#include <thread>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "launcher/retry.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staging_check.hpp"
#include "platform/file_ops.hpp"
#include "launcher/installation_lock.hpp"
#include "platform/process.hpp"

namespace fs = boost::filesystem;

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kLockPatience(2000);
// An application that restarts to update starts the loader and then exits: its end is waited
// for this long, so that the update goes in at once. Short enough that a start while the
// application stays open still runs it within a few seconds.
constexpr Clock::duration kInUsePatience = std::chrono::seconds(3);
constexpr Clock::duration kInUsePoll = std::chrono::milliseconds(100);

enum class StagedUpdate {
  kHandedOver,    // the staged loader runs now and starts the application when done
  kBeingApplied,  // a staged loader of this installation already runs, and will do the same
  kNotNow,        // nothing handed over: the application runs
};

// An update stopped between its two renames leaves "app_old" behind: put it back where "app" is
// gone, and remove it where the new "app" is in place. False while "app_old" is still there (a
// file in it still held, say): an update handed over now would fail on it, so this start runs
// the application and the next one tries again.
bool FinishInterruptedUpdate(const fs::path& installDirectory, const fs::path& applicationDirectory) {
  const fs::path retiredApplicationDirectory = RetiredApplicationDirectory(installDirectory);
  try {
    if (!fs::exists(retiredApplicationDirectory)) return true;
    if (!fs::exists(applicationDirectory)) {
      const Tried moved = RetriedMove(retiredApplicationDirectory, applicationDirectory);
      const std::string done = moved.error ? "; could not move it back, " + LogError(moved.error) : "; moved it back";
      LogLine("interrupted update found: " + LogText(retiredApplicationDirectory) + " without " +
              LogText(applicationDirectory) + done + " (" + LogAttempts(moved.attempts, moved.took) + ")" +
              (moved.error ? "; the staging waits for a later start" : ""));
      return !moved.error;
    }
    LogLine("interrupted update found: " + LogText(retiredApplicationDirectory) + " beside " +
            LogText(applicationDirectory));
    RemoveTree(retiredApplicationDirectory);
    LogLine("removed " + LogText(retiredApplicationDirectory));
    return true;
  } catch (const fs::filesystem_error& failure) {
    LogLine("interrupted update: " + LogText(failure.path1()) + " could not be tested or removed, " +
            LogError(failure.code()) + "; the staging waits for a later start");
    return false;
  }
}

// Waits a moment for the installation to become free. Windows neither replaces the file of a
// running program nor renames a folder that one runs from, so an update handed over while a
// program runs from "app" (the application, however it was started, or a helper of it) or from
// the staging directory would fail. The installed loader does not count: one waiting for its
// application is seen through the application. Nothing once the installation is free.
std::optional<StagedUpdate> WaitUntilFree(const fs::path& applicationDirectory, const fs::path& stagingDirectory,
                                          const fs::path& stagedLoader) {
  const std::vector<NativeString> places = {stagedLoader.native(), applicationDirectory.native(),
                                            stagingDirectory.native()};
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + kInUsePatience;
  NativeString seen;
  for (;;) {
    const std::vector<RunningProgram> running = RunningFrom(places);
    if (!running.empty() && running.front().place == stagedLoader.native()) {
      LogLine("the staged loader runs already (" + LogText(running.front().program) +
              "): an update is being applied, this start starts nothing");
      return StagedUpdate::kBeingApplied;
    }
    if (running.empty()) {
      if (!seen.empty()) {
        LogLine("installation in use by " + LogText(seen) + ", free after " + LogDuration(Clock::now() - start));
      }
      return std::nullopt;
    }
    if (seen.empty()) seen = running.front().program;
    if (Clock::now() >= deadline) {
      LogLine("installation in use by " + LogText(seen) + ", waited " + LogDuration(Clock::now() - start) +
              "; running the application, the staging waits for a later start");
      return StagedUpdate::kNotNow;
    }
    std::this_thread::sleep_for(kInUsePoll);
  }
}

// Hands the update over to the staged loader; the application runs instead when it cannot be
// started, and the staging waits for the next start.
StagedUpdate StartStagedLoader(const fs::path& stagedLoader, const fs::path& installDirectory) {
  const NativeString parameters = HandOverParameters(installDirectory.native());
  std::uint32_t failure = 0;
  // Said before: the staged loader's own lines follow at once.
  LogLine("handing over to " + LogText(stagedLoader) + " " + LogText(parameters));
  // Started in the install directory: a current folder inside "app" would be kept open by
  // the staged loader, and Windows then refuses to rename "app".
  if (ShellStartHidden(stagedLoader.native(), &parameters, &installDirectory.native(), &failure)) {
    return StagedUpdate::kHandedOver;
  }
  LogLine("the staged loader " + LogText(stagedLoader) + " could not be started, error " + std::to_string(failure) +
          "; running the application, the staging waits for a later start");
  return StagedUpdate::kNotNow;
}

// Starts the staged loader when the staging directory holds a loader and an application that can
// both run, passes its check (whole, unaltered and, in a signed installation, its publisher's),
// and the installation is free; removes any other staging directory.
StagedUpdate HandOverStagedUpdate(const fs::path& installDirectory, const fs::path& applicationDirectory,
                                  const fs::path& stagingDirectory) {
  try {
    if (!fs::exists(stagingDirectory)) {
      LogEndOfFirstLine("nothing staged");
      return StagedUpdate::kNotNow;
    }
    const fs::path stagedLoader = StagedLoader(stagingDirectory);
    const fs::path stagedApplication = StagedApplication(stagingDirectory);
    // An "app" without its program would replace a working application with one that cannot start.
    const bool loaderPresent = ProgramPresent(stagedLoader);
    if (loaderPresent && ProgramPresent(stagedApplication)) {
      LogLine("staging " + LogText(stagingDirectory) + " complete");
      if (const std::optional<StagedUpdate> busy = WaitUntilFree(applicationDirectory, stagingDirectory, stagedLoader)) {
        return *busy;
      }
      // The staged loader stays open as it was checked until it has been started.
      HeldFile checked;
      const StagingCheck check = CheckStaging(installDirectory, stagingDirectory, checked);
      // A check that could not be made now is made again at the next start.
      LogLine(StagingCheckText(check));
      if (check.verdict == StagingVerdict::kNotNow) return StagedUpdate::kNotNow;
      if (check.verdict == StagingVerdict::kTaken) {
        return StartStagedLoader(stagedLoader, installDirectory);
      }
      // Refused: it never will be taken, so it goes like an incomplete staging.
    } else {
      // A staged loader alone is also what an applied update leaves behind.
      LogLine("staging " + LogText(stagingDirectory) + " incomplete: " +
              LogText(loaderPresent ? stagedApplication : stagedLoader) + " missing or a folder" +
              (loaderPresent && !fs::exists(StagedApplicationDirectory(stagingDirectory))
                   ? " (as an applied update leaves it)"
                   : ""));
    }
    RemoveTree(stagingDirectory);
    LogLine("removed " + LogText(stagingDirectory));
  } catch (const fs::filesystem_error& failure) {
    // Access denied, or a file still held by a staged loader that is exiting: never hand over
    // on an uncertain staging directory, and leave what could not be removed for a later start.
    LogLine("staging: " + LogText(failure.path1()) + " could not be tested or removed, " + LogError(failure.code()) +
            "; left for a later start");
  }
  return StagedUpdate::kNotNow;
}
}  // namespace

int RunStartMode() {
  const NativeString moduleDirectory = GetModuleDirectory();
  // Without its own location the loader would work relative to whatever the current directory is.
  if (moduleDirectory.empty()) return kExitNoOwnLocation;
  const fs::path installDirectory(moduleDirectory);
  const fs::path applicationDirectory = ApplicationDirectory(installDirectory);
  const fs::path stagingDirectory = StagingDirectory(installDirectory);
  StartRunLog(installDirectory);
  HoldFirstLine(std::string("start mode, loader ") + kLoaderVersion + ", install " + LogText(installDirectory));
  {
    // Another run changing the installation (a double click) is waited for, but briefly. Held
    // longer by a staged loader, an update is being applied, which starts the application when
    // done; held by anything else (another user can take it), the application runs all the same,
    // and the interrupted update and the staging wait for a start that gets the lock.
    const std::optional<InstallationLock> lock = LockInstallation(moduleDirectory, kLockPatience);
    if (lock) {
      if (FinishInterruptedUpdate(installDirectory, applicationDirectory) &&
          HandOverStagedUpdate(installDirectory, applicationDirectory, stagingDirectory) != StagedUpdate::kNotNow) {
        return kExitDone;
      }
    } else {
      const fs::path stagedLoader = StagedLoader(stagingDirectory);
      const std::string busy = "installation locked by another run past " + LogDuration(kLockPatience);
      if (!RunningFrom({stagedLoader.native()}).empty()) {
        LogLine(busy + " while the staged loader " + LogText(stagedLoader) +
                " runs: an update is being applied, this start starts nothing");
        return kExitDone;
      }
      LogLine(busy + ", no update being applied: running the application, an update waits for a later start");
    }
  }
  const fs::path application = MainApplication(installDirectory);
  std::uint32_t failure = 0;
  if (!StartProcessAndWait(application.native(), &failure)) {
    LogLine("the application " + LogText(application) + " could not be started, error " + std::to_string(failure));
  }
  return kExitDone;
}
