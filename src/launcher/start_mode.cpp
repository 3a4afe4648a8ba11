#include "launcher/start_mode.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <exception>
#include <optional>

#include "launcher/exit_codes.hpp"
#include "launcher/installation_lock.hpp"
#include "launcher/layout.hpp"
#include "launcher/retry.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staged_update.hpp"
#include "launcher/staging_check.hpp"
#include "platform/file_ops.hpp"
#include "platform/process.hpp"

namespace fs = boost::filesystem;

namespace {
constexpr std::chrono::milliseconds kLockPatience(2000);
// A start that finds the lock held while another start of this installation runs (one checking a
// large staging, which may hand it over) waits for it this long in all.
constexpr std::chrono::milliseconds kAnotherStartPatience(30000);

enum class StagedUpdate {
  kHandedOver,    // the staged loader runs now and starts the application when done
  kBeingApplied,  // a staged loader of this installation already runs, and will do the same
  kNotNow,        // nothing handed over: the application runs
};

std::optional<StagedUpdate> Busy(InstallationUse use) {
  if (use == InstallationUse::kFree) return std::nullopt;
  return use == InstallationUse::kBeingApplied ? StagedUpdate::kBeingApplied : StagedUpdate::kNotNow;
}

// An update stopped between its two renames leaves "app_old" behind: put it back where "app" is
// gone, and remove it where the new "app" is in place. False while "app_old" is still there (a
// file in it still held, say): an update handed over now would fail on it, so this start runs
// the application and the next one tries again.
bool FinishInterruptedUpdate(const fs::path& installDirectory, const fs::path& applicationDirectory) {
  const fs::path retiredApplicationDirectory = RetiredApplicationDirectory(installDirectory);
  try {
    if (!fs::exists(fs::symlink_status(retiredApplicationDirectory))) return true;
    if (!fs::exists(fs::symlink_status(applicationDirectory))) {
      const Tried moved = RetriedMove(retiredApplicationDirectory, applicationDirectory);
      const std::string done = moved.error ? "; could not move it back, " + LogError(moved.error) : "; moved it back";
      LogLine("interrupted update found: " + LogText(retiredApplicationDirectory) + " without " +
              LogText(applicationDirectory) + done + " (" + LogAttempts(moved.attempts, moved.took) + ")" +
              (moved.error ? "; the staging waits for a later start" : ""));
      return !moved.error;
    }
    LogLine("interrupted update found: " + LogText(retiredApplicationDirectory) + " beside " +
            LogText(applicationDirectory));
    const Removal removal = RemoveTree(retiredApplicationDirectory);
    LogLine(RemovalText(retiredApplicationDirectory, removal) +
            (removal.outcome == Removed::kAll ? "" : "; the staging waits for a later start"));
    return removal.outcome == Removed::kAll;
  } catch (const fs::filesystem_error& failure) {
    LogLine("interrupted update: " + LogText(failure.path1()) + " could not be tested or removed, " +
            LogError(failure.code()) + "; the staging waits for a later start");
    return false;
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
// and the installation is free; removes any other staging directory. The staging directory is
// held from before its check until it is handed over or removed, and neither happens once its
// path names another folder: a staging the updater put in its place meanwhile waits for the next
// start. A link at "data" or at the staging directory is never followed; it is removed, and
// nothing is logged for "data", since the log lies there.
StagedUpdate HandOverStagedUpdate(const fs::path& installDirectory, const fs::path& applicationDirectory,
                                  const fs::path& stagingDirectory, PathKind data) {
  if (data == PathKind::kLink) {
    RemoveTree(DataDirectory(installDirectory));
    return StagedUpdate::kNotNow;
  }
  HeldFolder held;
  PathKind staging = PathKind::kAbsent;
  if (data != PathKind::kAbsent) {
    if (const boost::system::error_code error = HoldFolder(stagingDirectory, held, staging)) {
      throw fs::filesystem_error("cannot be opened", stagingDirectory, error);
    }
  }
  if (staging == PathKind::kAbsent) {
    LogEndOfFirstLine("nothing staged");
    return StagedUpdate::kNotNow;
  }
  if (staging == PathKind::kLink) {
    LogLine(RefusedLinkText(installDirectory, stagingDirectory));
    LogLine(RemovalText(stagingDirectory, RemoveTree(stagingDirectory)));
    return StagedUpdate::kNotNow;
  }
  const fs::path stagedLoader = StagedLoader(stagingDirectory);
  const fs::path stagedApplication = StagedApplication(stagingDirectory);
  // An "app" without its program would replace a working application with one that cannot start.
  const bool loaderPresent = staging == PathKind::kFolder && ProgramPresent(stagedLoader);
  if (loaderPresent && ProgramPresent(stagedApplication)) {
    LogLine("staging " + LogText(stagingDirectory) + " complete");
    if (const std::optional<StagedUpdate> busy = Busy(WaitUntilFree(applicationDirectory, stagingDirectory))) {
      return *busy;
    }
    // The staged loader stays open as it was checked until it has been started.
    HeldFile checked;
    const StagingCheck check = CheckStaging(installDirectory, stagingDirectory, checked);
    // A check that could not be made now is made again at the next start.
    LogLine(StagingCheckText(check));
    if (check.verdict == StagingVerdict::kNotNow) return StagedUpdate::kNotNow;
    if (check.verdict == StagingVerdict::kTaken) {
      // The installation may have been taken into use while the check ran: a second start that
      // gave up waiting, say, runs the application now.
      if (const std::optional<StagedUpdate> busy = Busy(WaitUntilFree(applicationDirectory, stagingDirectory))) {
        return *busy;
      }
      if (!NamesHeldFolder(held, stagingDirectory)) {
        LogLine(RemovalText(stagingDirectory, {Removed::kNotHeld, {}}));
        return StagedUpdate::kNotNow;
      }
      return StartStagedLoader(stagedLoader, installDirectory);
    }
    // Refused: it never will be taken, so it goes like an incomplete staging.
  } else if (loaderPresent && !fs::exists(fs::symlink_status(StagedApplicationDirectory(stagingDirectory))) &&
             fs::file_size(stagedLoader) == fs::file_size(InstalledLoader(installDirectory))) {
    // What an update leaves once the staged loader has copied itself over the installed one and
    // moved its "app" in.
    LogLine("the update applied from " + LogText(stagingDirectory) + " left its staged loader there; removing it");
  } else {
    LogLine("staging " + LogText(stagingDirectory) + " incomplete: " +
            LogText(loaderPresent ? stagedApplication : stagedLoader) + " missing or a folder");
  }
  LogLine(RemovalText(stagingDirectory, staging == PathKind::kFolder ? RemoveHeldFolder(held, stagingDirectory)
                                                                     : RemoveTree(stagingDirectory)));
  return StagedUpdate::kNotNow;
}

// Finishes an interrupted update, then hands over or removes the staging. Whatever that throws
// leaves the staging for a later start, and the application runs: nothing a staging holds may
// keep the application from starting.
StagedUpdate HandOverOrKeep(const fs::path& installDirectory, const fs::path& applicationDirectory,
                            const fs::path& stagingDirectory, PathKind data) {
  const auto keep = [&](const char* finding, const NativeString& subject, const boost::system::error_code& error,
                        const char* detail) noexcept {
    try {
      LogLine(KeptAfterFailureText(installDirectory, finding, subject, error, detail));
    } catch (...) {
    }
  };
  try {
    if (!FinishInterruptedUpdate(installDirectory, applicationDirectory)) return StagedUpdate::kNotNow;
    return HandOverStagedUpdate(installDirectory, applicationDirectory, stagingDirectory, data);
  } catch (const fs::filesystem_error& failure) {
    // Access denied, or a file still held by a staged loader that is exiting: never hand over on
    // an uncertain staging directory, and leave what could not be removed for a later start.
    keep("the staging could not be tested or removed", failure.path1().native(), failure.code(), "");
  } catch (const std::exception& failure) {
    keep("an unexpected error", {}, {}, failure.what());
  } catch (...) {
    keep("an unexpected error", {}, {}, "");
  }
  return StagedUpdate::kNotNow;
}

enum class Locked {
  kHeld,
  kBeingApplied,  // held while the staged loader runs: it starts the application when done
  kBusy,          // held by another run past the patience: the application runs without it
};

// The installation's lock for this start. Another run changing the installation (a double click)
// is waited for, but briefly; longer, up to 30 s in all, while another start of this installation
// runs and nothing runs from "app": it may be checking a large staging, and hand it over. Held by
// a staged loader, an update is being applied; held by anything else (another user can take it),
// the application runs all the same, and the interrupted update and the staging wait for a start
// that gets the lock.
Locked LockForStart(const fs::path& installDirectory, const fs::path& applicationDirectory,
                    const fs::path& stagingDirectory, std::optional<InstallationLock>& lock) {
  const fs::path stagedLoader = StagedLoader(stagingDirectory);
  const fs::path installedLoader = InstalledLoader(installDirectory);
  for (int round = 1;; ++round) {
    lock = LockInstallation(installDirectory.native(), kLockPatience);
    if (lock) return Locked::kHeld;
    const std::vector<RunningProgram> running =
        RunningFrom({stagedLoader.native(), installedLoader.native(), applicationDirectory.native()});
    const std::chrono::milliseconds waited = round * kLockPatience;
    const std::string busy = "installation locked by another run past " + LogDuration(waited);
    if (!running.empty() && running.front().place == stagedLoader.native()) {
      LogLine(busy + " while the staged loader " + LogText(stagedLoader) +
              " runs: an update is being applied, this start starts nothing");
      return Locked::kBeingApplied;
    }
    const bool anotherStart = running.size() == 1 && running.front().place == installedLoader.native();
    if (!anotherStart || waited >= kAnotherStartPatience) {
      LogLine(busy + ", no update being applied: running the application, an update waits for a later start");
      return Locked::kBusy;
    }
    if (round == 1) LogLine(busy + " while " + LogText(running.front().program) + " runs: waiting for it");
  }
}
}  // namespace

int RunStartMode() {
  const NativeString moduleDirectory = GetModuleDirectory();
  // Without its own location the loader would work relative to whatever the current directory is.
  if (moduleDirectory.empty()) return kExitNoOwnLocation;
  const fs::path installDirectory(moduleDirectory);
  const fs::path applicationDirectory = ApplicationDirectory(installDirectory);
  const fs::path stagingDirectory = StagingDirectory(installDirectory);
  PathKind data = PathKind::kAbsent;
  // Cannot be told: looked at again, and reported, when the staging is.
  if (KindOfPath(DataDirectory(installDirectory), data)) data = PathKind::kFolder;
  // Nothing is written through a link.
  if (data != PathKind::kLink) StartRunLog(installDirectory);
  HoldFirstLine(std::string("start mode, loader ") + kLoaderVersion + ", install " + LogText(installDirectory));
  {
    std::optional<InstallationLock> lock;
    switch (LockForStart(installDirectory, applicationDirectory, stagingDirectory, lock)) {
      case Locked::kBeingApplied:
        return kExitDone;
      case Locked::kBusy:
        break;
      case Locked::kHeld:
        if (HandOverOrKeep(installDirectory, applicationDirectory, stagingDirectory, data) != StagedUpdate::kNotNow) {
          return kExitDone;
        }
    }
  }
  const fs::path application = MainApplication(installDirectory);
  std::uint32_t failure = 0;
  if (!StartProcessAndWait(application.native(), &failure)) {
    LogLine("the application " + LogText(application) + " could not be started, error " + std::to_string(failure));
  }
  return kExitDone;
}
