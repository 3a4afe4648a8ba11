#include "launcher/apply_mode.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <thread>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "platform/file_ops.hpp"
#include "platform/message.hpp"
#include "platform/process.hpp"

namespace {
using Clock = std::chrono::steady_clock;
// The loader that handed over may still be exiting and holding its file.
constexpr Clock::duration kCopyBudget = std::chrono::seconds(5);
constexpr Clock::duration kCopyPause = std::chrono::milliseconds(100);

int Fail(const NativeString& message) {
  ShowErrorBox(message);
  return kExitReportedFailure;
}

// A sleep woken early sleeps again for the rest of the pause.
void Pause(Clock::duration pause) {
  const Clock::time_point end = Clock::now() + pause;
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    std::this_thread::sleep_for(end - now);
  }
}

// Copies until an attempt succeeds or the budget has run out; an attempt begun within the
// budget runs to its end, and the last attempt's result stays in `error`.
void CopyWithRetry(const fs::path& source, const fs::path& target, boost::system::error_code& error) {
  const Clock::time_point start = Clock::now();
  while (Clock::now() - start < kCopyBudget) {
    if (fs::copy_file(source, target, fs::copy_options::overwrite_existing, error)) return;
    Pause(kCopyPause);
  }
}

// Absent counts as a failure to report; any other failure of the test is reported as well,
// with the system's reason, before anything has been changed.
bool InstallDirectoryPresent(const fs::path& installDirectory, NativeString& failure) {
  try {
    const fs::file_type type = fs::status(installDirectory).type();
    if (type != fs::status_error && type != fs::file_not_found) return true;
    failure = FailureMessage("directory is not exists(%s)", installDirectory);
  } catch (const fs::filesystem_error& error) {
    failure = FailureMessage("directory is not accessible(%s)\n%s", installDirectory,
                             fs::path(error.code().message()));
  }
  return false;
}
}  // namespace

int RunApplyMode(const NativeString& installDirectoryText, std::optional<std::uint32_t> processId) {
  if (processId) WaitForProcessExit(*processId);
  const fs::path installDirectory(installDirectoryText);
  const NativeString moduleDirectoryText = GetModuleDirectory();
  if (moduleDirectoryText.empty()) return kExitNoOwnLocation;
  const fs::path moduleDirectory(moduleDirectoryText);
  NativeString failure;
  if (!InstallDirectoryPresent(installDirectory, failure)) return Fail(failure);

  const fs::path copySource = Join(moduleDirectory, kLoaderFile);
  const fs::path installedLoader = Join(installDirectory, kLoaderFile);
  boost::system::error_code error;
  CopyWithRetry(copySource, installedLoader, error);
  if (error) return Fail(FailureMessage("copy failed\ndst:%s\nsrc:%s", installedLoader, copySource));

  const fs::path applicationDirectory = Join(installDirectory, kApplicationDirectory);
  const fs::path retiredApplicationDirectory = Join(installDirectory, kRetiredApplicationDirectory);
  RenamePath(applicationDirectory, retiredApplicationDirectory, error);
  if (error) {
    return Fail(FailureMessage("rename failed\ndst:%s\nsrc:%s", retiredApplicationDirectory,
                               applicationDirectory));
  }

  const fs::path moveSource = Join(moduleDirectory, kApplicationDirectory);
  const fs::path newApplicationDirectory = Join(installDirectory, kApplicationDirectory);
  RenamePath(moveSource, newApplicationDirectory, error);
  if (error) {
    NativeString message = FailureMessage("rename failed\ndst:%s\nsrc:%s", newApplicationDirectory, moveSource);
    // Put the old application back, or the installation could never start it again.
    RenamePath(retiredApplicationDirectory, newApplicationDirectory, error);
    if (error) {
      message += FailureMessage("\nrestore failed\ndst:%s\nsrc:%s", newApplicationDirectory,
                                retiredApplicationDirectory);
    }
    return Fail(message);
  }

  try {
    fs::remove_all(retiredApplicationDirectory);
  } catch (const fs::filesystem_error&) {
    // A file in it is still in use. The update is in place, so the installed loader still starts.
  }
  ShellStartHidden(installedLoader.native(), nullptr, &installDirectory.native());
  return kExitDone;
}
