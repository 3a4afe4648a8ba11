#include "launcher/apply_mode.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "launcher/retry.hpp"
#include "launcher/run_log.hpp"
#include "platform/file_ops.hpp"
#include "launcher/installation_lock.hpp"
#include "platform/message.hpp"
#include "platform/process.hpp"

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
  try {
    RemoveTree(retiredApplicationDirectory);
  } catch (const fs::filesystem_error& failure) {
    // A file in it is still in use. The update is in place; the restarted loader removes the rest.
    removal.error = failure.code();
  }
  removal.took = std::chrono::steady_clock::now() - start;
  LogStep("remove " + LogText(retiredApplicationDirectory), removal);
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
}  // namespace

int RunApplyMode(const NativeString& installDirectoryText, std::optional<std::uint32_t> processId) {
  // Taken against the current directory, which the wait does not change; looked at only after it.
  error_code error;
  const fs::path installDirectory = fs::absolute(fs::path(installDirectoryText), error);
  if (!error) {
    StartRunLog(installDirectory);
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

  // One run at a time changes the installation; the lock is let go before any message or start.
  std::optional<InstallationLock> lock = LockForUpdate(installDirectory);
  if (UpdateTakenByAnotherRun(installDirectory, moduleDirectory)) {
    LogLine("the update of " + LogText(moduleDirectory) + " is installed already, by another run: nothing to do");
    return kExitDone;
  }
  const NativeString failure = InstallUpdate(installDirectory, moduleDirectory);
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
  LogLine("update installed; restarting " + LogText(installedLoader));
  if (!ShellStartHidden(installedLoader.native(), nullptr, &installDirectory.native(), &startFailure)) {
    LogLine(LogText(installedLoader) + " could not be restarted, error " + std::to_string(startFailure));
    StartCurrentApplication(installDirectory);
  }
  return kExitDone;
}
