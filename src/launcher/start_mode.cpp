#include "launcher/start_mode.hpp"

#include <boost/filesystem/operations.hpp>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "platform/file_ops.hpp"
#include "platform/lock.hpp"
#include "platform/process.hpp"

namespace fs = boost::filesystem;

namespace {
constexpr std::chrono::milliseconds kLockPatience(2000);

// An update stopped between its two renames leaves "app_old" behind: put it back where "app" is
// gone, and remove it where the new "app" is in place. False while "app_old" is still there (a
// file in it still held, say): an update handed over now would fail on it, so this start runs
// the application and the next one tries again.
bool FinishInterruptedUpdate(const fs::path& installDirectory, const fs::path& applicationDirectory) {
  const fs::path retiredApplicationDirectory = Join(installDirectory, kRetiredApplicationDirectory);
  try {
    if (!fs::exists(retiredApplicationDirectory)) return true;
    if (!fs::exists(applicationDirectory)) return !RenamePath(retiredApplicationDirectory, applicationDirectory);
    RemoveTree(retiredApplicationDirectory);
    return true;
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

// Starts the staged loader when the staging directory holds a loader and an application that can
// both run; removes any other staging directory. True once the staged loader is running.
bool HandOverStagedUpdate(const fs::path& installDirectory, const fs::path& stagingDirectory) {
  try {
    if (!fs::exists(stagingDirectory)) return false;
    const fs::path stagedLoader = Join(stagingDirectory, kLoaderFile);
    // An "app" without its program would replace a working application with one that cannot start.
    if (ProgramPresent(stagedLoader) &&
        ProgramPresent(Join(Join(stagingDirectory, kApplicationDirectory), kMainApplicationFile))) {
      const NativeString parameters = HandOverParameters(installDirectory.native());
      // Started in the install directory: a current folder inside "app" would be kept open by
      // the staged loader, and Windows then refuses to rename "app".
      // If the shell cannot start it, run the application now and try again next time.
      return ShellStartHidden(stagedLoader.native(), &parameters, &installDirectory.native());
    }
    RemoveTree(stagingDirectory);
  } catch (const fs::filesystem_error&) {
    // Access denied, or a file still held by a staged loader that is exiting: never hand over
    // on an uncertain staging directory, and leave what could not be removed for a later start.
  }
  return false;
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
    // Another run changing the installation (a double click) is waited for, but briefly: a run
    // that holds it longer is applying or finishing an update and starts the application when done,
    // and on Windows it cannot replace the installed loader while this one runs from it.
    const std::optional<InstallationLock> lock = LockInstallation(moduleDirectory, kLockPatience);
    if (!lock) return kExitDone;
    if (FinishInterruptedUpdate(installDirectory, applicationDirectory) &&
        HandOverStagedUpdate(installDirectory, stagingDirectory)) {
      return kExitDone;
    }
  }
  StartProcessAndWait(Join(applicationDirectory, kMainApplicationFile).native());
  return kExitDone;
}
