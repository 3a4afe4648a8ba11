#include "launcher/apply_mode.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <exception>

#include "launcher/exit_codes.hpp"
#include "launcher/installation_lock.hpp"
#include "launcher/layout.hpp"
#include "launcher/retry.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staged_update.hpp"
#include "launcher/staging_check.hpp"
#include "platform/file_ops.hpp"
#include "platform/message.hpp"
#include "platform/process.hpp"
#include "platform/version_record.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
// A lock held longer than this is looked at: by a loader of this installation it is waited for,
// by anything else it is not.
constexpr std::chrono::milliseconds kLockPatience(2000);

bool AnyFailure(const error_code&) { return true; }

// One line per step: what was done, how many attempts it took and how long.
void LogStep(const std::string& done, const Tried& tried) {
  LogLine((tried.error ? "failed: " : "") + done + (tried.error ? ", " + LogError(tried.error) : "") + " (" +
          LogAttempts(tried.attempts, tried.took) + ")");
}

// Moves `from` to `to`, tried again as RetriedMove does, and says so in the log.
error_code LoggedMove(const fs::path& from, const fs::path& to) {
  const Tried tried = RetriedMove(from, to);
  LogStep("move " + LogText(from) + " to " + LogText(to), tried);
  return tried.error;
}

// The new loader is copied beside the installed one, with its data on disk, and then moved over
// it, so the installed loader is replaced whole or not at all. Whatever stands at the sibling's
// name is removed first: a link there would be written through, and a read-only leftover could
// not be replaced on Windows. The copy takes no attribute of the staged file that would keep a
// later update from replacing it: it is made writable by its owner before the move. On Windows
// the move fails while the loader that handed over still runs, so every failure is tried again.
error_code ReplaceLoader(const fs::path& source, const fs::path& incoming, const fs::path& target) {
  const Tried tried = Retried(
      [&] {
        error_code failure;
        fs::remove(incoming, failure);
        fs::copy_file(source, incoming, fs::copy_options::synchronize_data, failure);
        if (!failure) fs::permissions(incoming, fs::perms::add_perms | fs::perms::owner_write, failure);
        return failure ? failure : RenamePath(incoming, target);
      },
      AnyFailure);
  LogStep("copy " + LogText(source) + " over " + LogText(target) + " through " + LogText(incoming), tried);
  if (tried.error) {
    error_code ignored;
    fs::remove(incoming, ignored);
  }
  return tried.error;
}

// Installs the update beside this loader; the failure message, or nothing once it is in place.
NativeString InstallUpdate(const fs::path& installDirectory, const fs::path& moduleDirectory) {
  // Only absence is foreseen; any other failure of the test is reported with the system's reason.
  error_code error;
  if (fs::status(installDirectory, error).type() == fs::file_not_found) {
    return FailureMessage("directory is not exists(%s)", installDirectory);
  }
  if (error) {
    return FailureMessage("directory is not accessible(%s)\n%s", installDirectory, fs::path(error.message()));
  }

  const fs::path copySource = StagedLoader(moduleDirectory);
  const fs::path installedLoader = InstalledLoader(installDirectory);
  if (ReplaceLoader(copySource, IncomingLoader(installDirectory), installedLoader)) {
    return FailureMessage("copy failed\ndst:%s\nsrc:%s", installedLoader, copySource);
  }

  const fs::path applicationDirectory = ApplicationDirectory(installDirectory);
  const fs::path retiredApplicationDirectory = RetiredApplicationDirectory(installDirectory);
  if (LoggedMove(applicationDirectory, retiredApplicationDirectory)) {
    return FailureMessage("rename failed\ndst:%s\nsrc:%s", retiredApplicationDirectory, applicationDirectory);
  }

  const fs::path moveSource = StagedApplicationDirectory(moduleDirectory);
  const fs::path newApplicationDirectory = ApplicationDirectory(installDirectory);
  if (LoggedMove(moveSource, newApplicationDirectory)) {
    NativeString message = FailureMessage("rename failed\ndst:%s\nsrc:%s", newApplicationDirectory, moveSource);
    // Put the old application back, so that it runs.
    if (LoggedMove(retiredApplicationDirectory, newApplicationDirectory)) {
      message += FailureMessage("\nrestore failed\ndst:%s\nsrc:%s", newApplicationDirectory,
                                retiredApplicationDirectory);
    }
    return message;
  }

  const auto start = std::chrono::steady_clock::now();
  Tried removal{{}, 1};
  Removal removed;
  try {
    removed = RemoveTree(retiredApplicationDirectory);
  } catch (const fs::filesystem_error& failure) {
    // A file in it is still in use. The update is in place; the restarted loader removes the rest.
    removal.error = failure.code();
  }
  removal.took = std::chrono::steady_clock::now() - start;
  if (removed.outcome == Removed::kAll) {
    LogStep("remove " + LogText(retiredApplicationDirectory), removal);
  } else {
    LogLine(RemovalText(retiredApplicationDirectory, removed));
  }
  return {};
}

// A staged loader whose update another run has installed: its own directory is gone (the start
// of the restarted loader removed the staging directory, this loader's file included), or it is
// the installation's staging directory, however spelled, with no "app" in it any more.
bool UpdateTakenByAnotherRun(const fs::path& installDirectory, const fs::path& moduleDirectory) {
  error_code unknown;
  if (fs::status(moduleDirectory, unknown).type() == fs::file_not_found) return true;
  if (!fs::equivalent(moduleDirectory, StagingDirectory(installDirectory), unknown) || unknown) return false;
  return fs::status(StagedApplicationDirectory(moduleDirectory), unknown).type() == fs::file_not_found;
}

// The installation's lock, waited for while another loader of this installation runs, which may
// be applying this very update. Held longer by anything else (another user, a program that is no
// loader), it is not waited for: the run goes on without it.
std::optional<InstallationLock> LockForUpdate(const fs::path& installDirectory) {
  const std::vector<NativeString> loaders = {InstalledLoader(installDirectory).native(),
                                             StagedLoader(StagingDirectory(installDirectory)).native()};
  for (int round = 1;; ++round) {
    std::optional<InstallationLock> lock = LockInstallation(installDirectory.native(), kLockPatience);
    if (lock) return lock;
    const std::vector<RunningProgram> running = RunningFrom(loaders);
    const std::string busy = "installation locked by another run past " + LogDuration(round * kLockPatience);
    if (running.empty()) {
      LogLine(busy + ", and no loader of this installation runs: going on without the lock");
      return std::nullopt;
    }
    if (round == 1) LogLine(busy + " while " + LogText(running.front().program) + " runs: waiting for it");
  }
}

// After a failure the user gets the application that is installed now, if there is one. The
// loader is not restarted: it would hand the same update over again.
void StartCurrentApplication(const fs::path& installDirectory) {
  const fs::path application = MainApplication(installDirectory);
  try {
    if (!ProgramPresent(application)) {
      LogLine("no application at " + LogText(application) + " to start");
      return;
    }
  } catch (const fs::filesystem_error& failure) {
    LogLine("the application " + LogText(application) + " could not be tested, " + LogError(failure.code()));
    return;
  }
  std::uint32_t failure = 0;
  LogLine("starting the application " + LogText(application));
  if (!ShellStartHidden(application.native(), nullptr, &installDirectory.native(), &failure)) {
    LogLine("the application " + LogText(application) + " could not be started, error " + std::to_string(failure));
  }
}

enum class RestartRoute {
  kTaken,
  kNotTaken,      // left as it is: the application installed now starts instead
  kBeingApplied,  // another staged loader of the installation applies it, and starts the application
};

// The restart route: a staged loader that an application started itself, naming its own process,
// checks the staging it runs from exactly as a start would before any file operation, once the
// installation is free. What it does not take it leaves as it is, shown to nobody: the
// application, which chose to start this loader, gets the version installed now.
RestartRoute CheckForRestart(const fs::path& installDirectory, const fs::path& updateDirectory) {
  const InstallationUse use = WaitUntilFree(ApplicationDirectory(installDirectory), updateDirectory);
  if (use != InstallationUse::kFree) {
    return use == InstallationUse::kBeingApplied ? RestartRoute::kBeingApplied : RestartRoute::kNotTaken;
  }
  try {
    HeldFolder held;
    PathKind kind;
    if (const error_code error = HoldFolder(updateDirectory, held, kind)) {
      throw fs::filesystem_error("cannot be opened", updateDirectory, error);
    }
    const fs::path stagedApplication = StagedApplication(updateDirectory);
    if (kind == PathKind::kLink) {
      LogLine(RefusedLinkText(installDirectory, updateDirectory));
    } else if (kind != PathKind::kFolder || !ProgramPresent(StagedLoader(updateDirectory)) ||
               !ProgramPresent(stagedApplication)) {
      LogLine("staging " + LogText(updateDirectory) + " incomplete: " + LogText(stagedApplication) +
              " missing or a folder");
    } else {
      HeldFile checked;
      const StagingCheck check = CheckStaging(installDirectory, updateDirectory, checked);
      LogLine(StagingCheckText(check));
      if (check.verdict == StagingVerdict::kTaken) {
        if (NamesHeldFolder(held, updateDirectory)) return RestartRoute::kTaken;
        LogLine(RemovalText(updateDirectory, {Removed::kNotHeld, {}}));
      }
    }
  } catch (const fs::filesystem_error& failure) {
    LogLine(KeptAfterFailureText(installDirectory, "the staging could not be tested or removed",
                                 failure.path1().native(), failure.code(), ""));
  } catch (const std::exception& failure) {
    LogLine(KeptAfterFailureText(installDirectory, "an unexpected error", {}, {}, failure.what()));
  }
  LogLine("the restart route leaves " + LogText(updateDirectory) + " as it is");
  return RestartRoute::kNotTaken;
}

// The update is in: the new loader and the new application. The application's own version is
// named where it has a version record.
std::string InstalledVersionText(const fs::path& installDirectory) {
  std::optional<std::uint64_t> version;
  const bool read = !ProgramVersion(MainApplication(installDirectory).native(), version);
  return std::string("loader ") + kLoaderVersion + (read && version ? ", application " + LogVersion(*version) : "");
}

// Installs the update beside this loader, holding the installation's lock, and restarts the
// installed loader; after a failure, shows it and starts the application installed now.
int ApplyUpdate(const fs::path& installDirectory, const fs::path& moduleDirectory, bool restartRoute,
                std::optional<InstallationLock>& lock) {
  lock = LockForUpdate(installDirectory);
  if (UpdateTakenByAnotherRun(installDirectory, moduleDirectory)) {
    LogLine("the update of " + LogText(moduleDirectory) + " is installed already, by another run: nothing to do");
    return kExitDone;
  }
  if (restartRoute) {
    switch (CheckForRestart(installDirectory, moduleDirectory)) {
      case RestartRoute::kBeingApplied:
        return kExitDone;
      case RestartRoute::kNotTaken:
        lock.reset();
        StartCurrentApplication(installDirectory);
        return kExitDone;
      case RestartRoute::kTaken:
        break;
    }
  }
  const NativeString failure = InstallUpdate(installDirectory, moduleDirectory);
  // The lock is let go before any message or start.
  lock.reset();

  if (!failure.empty()) {
    LogLine("failure shown: " + LogText(failure));
    ShowErrorBox(failure);
    StartCurrentApplication(installDirectory);
    return kExitReportedFailure;
  }
  // The update is in; if the installed loader cannot be started, the user gets the application.
  const fs::path installedLoader = InstalledLoader(installDirectory);
  std::uint32_t startFailure = 0;
  // Said before: the restarted loader's own lines follow at once.
  LogLine("update installed: " + InstalledVersionText(installDirectory) + "; restarting " + LogText(installedLoader));
  if (!ShellStartHidden(installedLoader.native(), nullptr, &installDirectory.native(), &startFailure)) {
    LogLine(LogText(installedLoader) + " could not be restarted, error " + std::to_string(startFailure));
    StartCurrentApplication(installDirectory);
  }
  return kExitDone;
}
}  // namespace

int RunApplyMode(const NativeString& installDirectoryText, std::optional<std::uint32_t> processId) {
  // Taken against the current directory, which the wait does not change; looked at only after it.
  error_code error;
  const fs::path installDirectory = fs::absolute(fs::path(installDirectoryText), error);
  if (!error) {
    PathKind data = PathKind::kAbsent;
    // Nothing is written through a link.
    if (KindOfPath(DataDirectory(installDirectory), data) || data != PathKind::kLink) StartRunLog(installDirectory);
    LogLine(std::string("apply mode, loader ") + kLoaderVersion + ", install " + LogText(installDirectory) +
            (processId ? ", waiting for process " + std::to_string(*processId) : std::string()));
  }
  if (processId) {
    const auto start = std::chrono::steady_clock::now();
    WaitForProcessExit(*processId);
    LogLine("process " + std::to_string(*processId) + " gone after " +
            LogDuration(std::chrono::steady_clock::now() - start));
  }
  const NativeString moduleDirectoryText = GetModuleDirectory();
  if (moduleDirectoryText.empty()) return kExitNoOwnLocation;
  const fs::path moduleDirectory(moduleDirectoryText);
  // The restarted loader runs in the install directory, where a relative one would name
  // something else: it is taken against this run's current directory, once.
  if (error) {
    ShowErrorBox(FailureMessage("directory is not accessible(%s)\n%s", fs::path(installDirectoryText),
                                fs::path(error.message())));
    return kExitReportedFailure;
  }

  // One run at a time changes the installation. Whatever its work throws, the application
  // installed now starts; what is left of an update the next start finishes.
  std::optional<InstallationLock> lock;
  const auto startInstead = [&](const fs::path* at, const error_code& code, const char* what) noexcept {
    try {
      LogLine("failed: an unexpected error" + (at != nullptr ? " at " + LogText(*at) + ", " + LogError(code) : "") +
              (what != nullptr ? std::string(" (") + what + ")" : "") + "; the update waits for a later start");
      lock.reset();
      StartCurrentApplication(installDirectory);
    } catch (...) {
    }
  };
  try {
    return ApplyUpdate(installDirectory, moduleDirectory, processId.has_value(), lock);
  } catch (const fs::filesystem_error& failure) {
    startInstead(&failure.path1(), failure.code(), nullptr);
  } catch (const std::exception& failure) {
    startInstead(nullptr, {}, failure.what());
  } catch (...) {
    startInstead(nullptr, {}, nullptr);
  }
  return kExitDone;
}
