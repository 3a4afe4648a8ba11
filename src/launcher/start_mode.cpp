#include "launcher/start_mode.hpp"

#include <boost/filesystem/operations.hpp>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "platform/file_ops.hpp"
#include "platform/process.hpp"

namespace fs = boost::filesystem;

namespace {
// An update stopped between its two renames leaves "app_old" behind: put it back where "app" is
// gone, and remove it where the new "app" is in place. False while "app_old" is still there (a
// file in it still held, say): an update handed over now would fail on it, so this start runs
// the application and the next one tries again.
bool FinishInterruptedUpdate(const fs::path& installDirectory, const fs::path& applicationDirectory) {
  const fs::path retiredApplicationDirectory = Join(installDirectory, kRetiredApplicationDirectory);
  try {
    if (!fs::exists(retiredApplicationDirectory)) return true;
    if (!fs::exists(applicationDirectory)) return !RenamePath(retiredApplicationDirectory, applicationDirectory);
    fs::remove_all(retiredApplicationDirectory);
    return true;
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

// A program of the staging can run only if something that is not a folder stands at its name: a
// link or a file Windows keeps as a reparse point (compressed, a cloud placeholder) counts.
bool StagedProgramPresent(const fs::path& program) {
  const fs::file_status status = fs::status(program);
  return fs::exists(status) && !fs::is_directory(status);
}

// Starts the staged loader when the staging directory holds a loader and an application that can
// both run; removes any other staging directory. True once the staged loader is running.
bool HandOverStagedUpdate(const fs::path& installDirectory, const fs::path& stagingDirectory) {
  try {
    if (!fs::exists(stagingDirectory)) return false;
    const fs::path stagedLoader = Join(stagingDirectory, kLoaderFile);
    // An "app" without its program would replace a working application with one that cannot start.
    if (StagedProgramPresent(stagedLoader) &&
        StagedProgramPresent(Join(Join(stagingDirectory, kApplicationDirectory), kMainApplicationFile))) {
      const NativeString parameters = HandOverParameters(installDirectory.native());
      // Started in the install directory: a current folder inside "app" would be kept open by
      // the staged loader, and Windows then refuses to rename "app".
      // If the shell cannot start it, run the application now and try again next time.
      return ShellStartHidden(stagedLoader.native(), &parameters, &installDirectory.native());
    }
    fs::remove_all(stagingDirectory);
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
  if (FinishInterruptedUpdate(installDirectory, applicationDirectory) &&
      HandOverStagedUpdate(installDirectory, stagingDirectory)) {
    return kExitDone;
  }

  StartProcessAndWait(Join(applicationDirectory, kMainApplicationFile).native());
  return kExitDone;
}
