#include "launcher/start_mode.hpp"

#include <boost/filesystem/operations.hpp>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "platform/process.hpp"

namespace {
// Starts the staged loader when the staging directory holds both a loader and an "app";
// removes an incomplete staging directory. True once the staged loader is running.
bool HandOverStagedUpdate(const fs::path& installDirectory, const fs::path& stagingDirectory) {
  try {
    if (!fs::exists(stagingDirectory)) return false;
    const fs::path stagedLoader = Join(stagingDirectory, kLoaderFile);
    const fs::path stagedApplication = Join(stagingDirectory, kApplicationDirectory);
    if (fs::exists(stagedLoader) && fs::exists(stagedApplication)) {
      const NativeString parameters = HandOverParameters(installDirectory.native());
      // If the shell cannot start it, run the application now and try again next time.
      return ShellStartHidden(stagedLoader.native(), &parameters, nullptr);
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
  if (HandOverStagedUpdate(installDirectory, stagingDirectory)) return kExitDone;

  StartProcessAndWait(Join(applicationDirectory, kMainApplicationFile).native());
  return kExitDone;
}
