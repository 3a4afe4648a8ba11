#include "launcher/apply_mode.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <thread>

#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "platform/file_ops.hpp"
#include "platform/message.hpp"
#include "platform/process.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

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

// The new loader is copied beside the installed one, with its data on disk, and then moved over
// it, so the installed loader is replaced whole or not at all. Whatever stands at the sibling's
// name is removed first: a link there would be written through, and a read-only leftover could
// not be replaced on Windows. The copy takes no attribute of the staged file that would keep a
// later update from replacing it: it is made writable by its owner before the move.
error_code CopyLoaderBeside(const fs::path& source, const fs::path& incoming) {
  error_code error;
  fs::remove(incoming, error);
  fs::copy_file(source, incoming, fs::copy_options::synchronize_data, error);
  if (!error) fs::permissions(incoming, fs::perms::add_perms | fs::perms::owner_write, error);
  return error;
}

// On Windows the move fails while the loader that handed over still runs, so attempts go on until
// one succeeds or the budget has run out. There is always a first attempt, however late the clock
// says it is (a machine suspended here), and an attempt begun within the budget runs to its end;
// the last one's result is returned.
error_code ReplaceLoader(const fs::path& source, const fs::path& incoming, const fs::path& target) {
  const Clock::time_point start = Clock::now();
  error_code error;
  do {
    error = CopyLoaderBeside(source, incoming);
    if (!error) error = RenamePath(incoming, target);
    if (!error) return error;
    Pause(kCopyPause);
  } while (Clock::now() - start < kCopyBudget);
  error_code ignored;
  fs::remove(incoming, ignored);
  return error;
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
    return Fail(FailureMessage("directory is not accessible(%s)\n%s", fs::path(installDirectoryText),
                               fs::path(error.message())));
  }
  // Only absence is foreseen; any other failure of the test is reported with the system's reason.
  if (fs::status(installDirectory, error).type() == fs::file_not_found) {
    return Fail(FailureMessage("directory is not exists(%s)", installDirectory));
  }
  if (error) {
    return Fail(FailureMessage("directory is not accessible(%s)\n%s", installDirectory, fs::path(error.message())));
  }

  const fs::path copySource = Join(moduleDirectory, kLoaderFile);
  const fs::path installedLoader = Join(installDirectory, kLoaderFile);
  if (ReplaceLoader(copySource, Join(installDirectory, kIncomingLoaderFile), installedLoader)) {
    return Fail(FailureMessage("copy failed\ndst:%s\nsrc:%s", installedLoader, copySource));
  }

  const fs::path applicationDirectory = Join(installDirectory, kApplicationDirectory);
  const fs::path retiredApplicationDirectory = Join(installDirectory, kRetiredApplicationDirectory);
  if (RenamePath(applicationDirectory, retiredApplicationDirectory)) {
    return Fail(FailureMessage("rename failed\ndst:%s\nsrc:%s", retiredApplicationDirectory,
                               applicationDirectory));
  }

  const fs::path moveSource = Join(moduleDirectory, kApplicationDirectory);
  const fs::path newApplicationDirectory = Join(installDirectory, kApplicationDirectory);
  if (RenamePath(moveSource, newApplicationDirectory)) {
    NativeString message = FailureMessage("rename failed\ndst:%s\nsrc:%s", newApplicationDirectory, moveSource);
    // Put the old application back, so the next start runs it.
    if (RenamePath(retiredApplicationDirectory, newApplicationDirectory)) {
      message += FailureMessage("\nrestore failed\ndst:%s\nsrc:%s", newApplicationDirectory,
                                retiredApplicationDirectory);
    }
    return Fail(message);
  }

  try {
    fs::remove_all(retiredApplicationDirectory);
  } catch (const fs::filesystem_error&) {
    // A file in it is still in use. The update is in place; the restarted loader removes the rest.
  }
  ShellStartHidden(installedLoader.native(), nullptr, &installDirectory.native());
  return kExitDone;
}
