#include "launcher/start_mode.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <optional>
#include <thread>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "launcher/retry.hpp"
#include "launcher/staging_check.hpp"
#include "platform/file_ops.hpp"
#include "platform/lock.hpp"
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
  const fs::path retiredApplicationDirectory = Join(installDirectory, kRetiredApplicationDirectory);
  try {
    if (!fs::exists(retiredApplicationDirectory)) return true;
    if (!fs::exists(applicationDirectory)) return !RetriedMove(retiredApplicationDirectory, applicationDirectory);
    RemoveTree(retiredApplicationDirectory);
    return true;
  } catch (const fs::filesystem_error&) {
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
  const Clock::time_point deadline = Clock::now() + kInUsePatience;
  for (;;) {
    const std::vector<bool> running = RunningFrom(places);
    if (running[0]) return StagedUpdate::kBeingApplied;
    if (!running[1] && !running[2]) return std::nullopt;
    if (Clock::now() >= deadline) return StagedUpdate::kNotNow;
    std::this_thread::sleep_for(kInUsePoll);
  }
}

// Starts the staged loader when the staging directory holds a loader and an application that can
// both run, passes its check (whole, unaltered and, in a signed installation, its publisher's),
// and the installation is free; removes any other staging directory.
StagedUpdate HandOverStagedUpdate(const fs::path& installDirectory, const fs::path& applicationDirectory,
                                  const fs::path& stagingDirectory) {
  try {
    if (!fs::exists(stagingDirectory)) return StagedUpdate::kNotNow;
    const fs::path stagedLoader = Join(stagingDirectory, kLoaderFile);
    const fs::path stagedApplication = Join(Join(stagingDirectory, kApplicationDirectory), kMainApplicationFile);
    // An "app" without its program would replace a working application with one that cannot start.
    if (ProgramPresent(stagedLoader) && ProgramPresent(stagedApplication)) {
      if (const std::optional<StagedUpdate> busy = WaitUntilFree(applicationDirectory, stagingDirectory, stagedLoader)) {
        return *busy;
      }
      // The staged loader stays open as it was checked until it has been started.
      HeldFile checked;
      const StagingCheck check = CheckStaging(installDirectory, stagingDirectory, checked);
      // A check that could not be made now is made again at the next start.
      if (check.verdict == StagingVerdict::kNotNow) return StagedUpdate::kNotNow;
      if (check.verdict == StagingVerdict::kTaken) {
        const NativeString parameters = HandOverParameters(installDirectory.native());
        // Started in the install directory: a current folder inside "app" would be kept open by
        // the staged loader, and Windows then refuses to rename "app".
        // If the shell cannot start it, run the application now and try again next time.
        return ShellStartHidden(stagedLoader.native(), &parameters, &installDirectory.native())
                   ? StagedUpdate::kHandedOver
                   : StagedUpdate::kNotNow;
      }
      // Refused: it never will be taken, so it goes like an incomplete staging.
    }
    RemoveTree(stagingDirectory);
  } catch (const fs::filesystem_error&) {
    // Access denied, or a file still held by a staged loader that is exiting: never hand over
    // on an uncertain staging directory, and leave what could not be removed for a later start.
  }
  return StagedUpdate::kNotNow;
}
}  // namespace

int RunStartMode() {
  const NativeString moduleDirectory = GetModuleDirectory();
  // Without its own location the loader would work relative to whatever the current directory is.
  if (moduleDirectory.empty()) return kExitNoOwnLocation;
  const fs::path installDirectory(moduleDirectory);
  const fs::path applicationDirectory = Join(installDirectory, kApplicationDirectory);
  const fs::path stagingDirectory = Join(Join(installDirectory, kDataDirectory), kStagingDirectory);
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
    } else if (RunningFrom({Join(stagingDirectory, kLoaderFile).native()})[0]) {
      return kExitDone;
    }
  }
  StartProcessAndWait(Join(applicationDirectory, kMainApplicationFile).native());
  return kExitDone;
}
