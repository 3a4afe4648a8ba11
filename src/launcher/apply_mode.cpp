#include "launcher/apply_mode.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <thread>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "platform/file_ops.hpp"
#include "platform/lock.hpp"
#include "platform/message.hpp"
#include "platform/process.hpp"

namespace fs = boost::filesystem;
namespace errc = boost::system::errc;
using boost::system::error_code;

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

bool AnyFailure(const error_code&) { return true; }

// A held file lets go; a missing source, a target in the way, another volume or a read-only file
// system stay as they are however long one waits.
bool MayPass(const error_code& error) {
  for (const errc::errc_t lasting : {errc::no_such_file_or_directory, errc::not_a_directory, errc::file_exists,
                                     errc::directory_not_empty, errc::cross_device_link, errc::invalid_argument,
                                     errc::read_only_file_system}) {
    if (error == lasting) return false;
  }
  return true;
}

// Tries `attempt` until it succeeds, fails in a way `worthRetrying` rules out, or the budget has
// run out. There is always a first attempt, however late the clock says it is (a machine
// suspended here), and an attempt begun within the budget runs to its end; the last one's result
// is returned.
template <typename Attempt>
error_code Retried(Attempt attempt, bool (*worthRetrying)(const error_code&)) {
  const Clock::time_point start = Clock::now();
  error_code error;
  do {
    error = attempt();
    if (!error || !worthRetrying(error)) return error;
    Pause(kRetryPause);
  } while (Clock::now() - start < kRetryBudget);
  return error;
}

error_code RetriedRename(const fs::path& from, const fs::path& to) {
  return Retried([&] { return RenamePath(from, to); }, MayPass);
}

// The new loader is copied beside the installed one, with its data on disk, and then moved over
// it, so the installed loader is replaced whole or not at all. Whatever stands at the sibling's
// name is removed first: a link there would be written through, and a read-only leftover could
// not be replaced on Windows. The copy takes no attribute of the staged file that would keep a
// later update from replacing it: it is made writable by its owner before the move. On Windows
// the move fails while the loader that handed over still runs, so every failure is tried again.
error_code ReplaceLoader(const fs::path& source, const fs::path& incoming, const fs::path& target) {
  const error_code error = Retried(
      [&] {
        error_code failure;
        fs::remove(incoming, failure);
        fs::copy_file(source, incoming, fs::copy_options::synchronize_data, failure);
        if (!failure) fs::permissions(incoming, fs::perms::add_perms | fs::perms::owner_write, failure);
        return failure ? failure : RenamePath(incoming, target);
      },
      AnyFailure);
  if (error) {
    error_code ignored;
    fs::remove(incoming, ignored);
  }
  return error;
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

  const fs::path copySource = Join(moduleDirectory, kLoaderFile);
  const fs::path installedLoader = Join(installDirectory, kLoaderFile);
  if (ReplaceLoader(copySource, Join(installDirectory, kIncomingLoaderFile), installedLoader)) {
    return FailureMessage("copy failed\ndst:%s\nsrc:%s", installedLoader, copySource);
  }

  const fs::path applicationDirectory = Join(installDirectory, kApplicationDirectory);
  const fs::path retiredApplicationDirectory = Join(installDirectory, kRetiredApplicationDirectory);
  if (RetriedRename(applicationDirectory, retiredApplicationDirectory)) {
    return FailureMessage("rename failed\ndst:%s\nsrc:%s", retiredApplicationDirectory, applicationDirectory);
  }

  const fs::path moveSource = Join(moduleDirectory, kApplicationDirectory);
  const fs::path newApplicationDirectory = Join(installDirectory, kApplicationDirectory);
  if (RetriedRename(moveSource, newApplicationDirectory)) {
    NativeString message = FailureMessage("rename failed\ndst:%s\nsrc:%s", newApplicationDirectory, moveSource);
    // Put the old application back, so that it runs.
    if (RetriedRename(retiredApplicationDirectory, newApplicationDirectory)) {
      message += FailureMessage("\nrestore failed\ndst:%s\nsrc:%s", newApplicationDirectory,
                                retiredApplicationDirectory);
    }
    return message;
  }

  try {
    RemoveTree(retiredApplicationDirectory);
  } catch (const fs::filesystem_error&) {
    // A file in it is still in use. The update is in place; the restarted loader removes the rest.
  }
  return {};
}

// A staged loader started from the installation's own staging directory that finds no "app"
// beside it: another run has installed this update and restarted the loader, whose start may
// even have removed the staging directory, this loader's file included.
bool UpdateTakenByAnotherRun(const fs::path& installDirectory, const fs::path& moduleDirectory) {
  if (moduleDirectory != Join(Join(installDirectory, kDataDirectory), kStagingDirectory)) return false;
  error_code unknown;
  return fs::status(Join(moduleDirectory, kApplicationDirectory), unknown).type() == fs::file_not_found;
}

// After a failure the user gets the application that is installed now, if there is one. The
// loader is not restarted: it would hand the same update over again.
void StartCurrentApplication(const fs::path& installDirectory) {
  const fs::path application = Join(Join(installDirectory, kApplicationDirectory), kMainApplicationFile);
  try {
    if (!ProgramPresent(application)) return;
  } catch (const fs::filesystem_error&) {
    return;
  }
  ShellStartHidden(application.native(), nullptr, &installDirectory.native());
}
}  // namespace

int RunApplyMode(const NativeString& installDirectoryText, std::optional<std::uint32_t> processId) {
  if (processId) WaitForProcessExit(*processId);
  const NativeString moduleDirectoryText = GetModuleDirectory();
  if (moduleDirectoryText.empty()) return kExitNoOwnLocation;
  const fs::path moduleDirectory(moduleDirectoryText);
  // The restarted loader runs in the install directory, where a relative one would name
  // something else: it is taken against this run's current directory, once.
  error_code error;
  const fs::path installDirectory = fs::absolute(fs::path(installDirectoryText), error);
  if (error) {
    ShowErrorBox(FailureMessage("directory is not accessible(%s)\n%s", fs::path(installDirectoryText),
                                fs::path(error.message())));
    return kExitReportedFailure;
  }

  // One run at a time changes the installation; the lock is let go before any message or start.
  std::optional<InstallationLock> lock = LockInstallation(installDirectory.native());
  if (UpdateTakenByAnotherRun(installDirectory, moduleDirectory)) return kExitDone;
  const NativeString failure = InstallUpdate(installDirectory, moduleDirectory);
  lock.reset();

  if (!failure.empty()) {
    ShowErrorBox(failure);
    StartCurrentApplication(installDirectory);
    return kExitReportedFailure;
  }
  ShellStartHidden(Join(installDirectory, kLoaderFile).native(), nullptr, &installDirectory.native());
  return kExitDone;
}
