// `apply --pid N`: the application's restart into its update. The staged loader is the program no
// installed code has verified until the loader's own check has run on it: it is held open from
// before that check until it runs, and started only when the check takes the staging.

#include <boost/filesystem/operations.hpp>
#include <optional>

#include "launcher/layout.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staging_check.hpp"
#include "platform/job.hpp"
#include "platform/lock.hpp"
#include "platform/process.hpp"
#include "updater/exit_codes.hpp"
#include "updater/paths.hpp"
#include "updater/run.hpp"
#include "updater/update.hpp"
#include "updater_defaults.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
[[noreturn]] void NothingStaged(const std::string& why) { Fail(kUpdateNothingStaged, "nothing staged", why); }

// The release waiting in data/update, where the updater knows it: the application can say which
// version it restarts into.
void NameRelease(Run& run) {
  run.report.release = StagedReleaseOf(run.staging);
  std::optional<std::string> stateText;
  if (run.report.release.empty() || ReadIfThere(StateFile(run.data), stateText) || !stateText) return;
  const std::optional<UpdaterState> state = ParseState(*stateText);
  if (state && state->staged && state->staged->release == run.report.release) run.report.version = state->staged->version;
}

// The staged loader must outlive the application, in whose job this run is: a job that ends its
// processes when it closes would end the staged loader with it.
void StartStagedLoader(const Run& run, const HeldProgram& held, const fs::path& stagedLoader,
                       const NativeString& parameters) {
  const ProcessJob job = JobOfThisProcess();
  JobRoute route = RouteOutOfJob(job, false);
  std::uint32_t failure = 0;
  bool started = false;
  if (route == JobRoute::kBreakAway) {
    started = StartHeldProgram(held, stagedLoader.native(), &parameters, &run.install.native(), JobLeaving::kBreaksAway,
                               &failure);
    if (started) LogLine("this run is in a job: the staged loader was started outside it");
    if (!started && BreakawayRefused(failure)) route = RouteOutOfJob(job, true);
  }
  if (route == JobRoute::kNone) {
    Fail(kUpdateCannotRestart, "cannot restart",
         "cannot restart: the application runs in a job that would end the staged loader with it and lets no "
         "program leave it; nothing started, the update is installed at the next start");
  }
  if (route == JobRoute::kAsUsual) {
    started = StartHeldProgram(held, stagedLoader.native(), &parameters, &run.install.native(), JobLeaving::kStays,
                               &failure);
  }
  if (!started) {
    Fail(kUpdateLocalFailure, "local failure",
         "the staged loader " + LogText(stagedLoader) + " could not be started, error " + std::to_string(failure));
  }
}

void Restart(Run& run) {
  const std::uint32_t processId = run.options.processId;
  LogLine(std::string("apply, updater ") + kLoaderVersion + ", install " + LogText(run.install) + ", process " +
          std::to_string(processId));
  // A staging may not be swapped in by a run of `stage` while it is checked here.
  run.ownLock = TakeInstallationLock(run.data.native(), UpdaterLockFile(run.data).native(), kOwnLockPatience);
  if (!run.ownLock) Fail(kUpdateBusy, "busy", "another run of the updater works on this installation");

  error_code error;
  const fs::file_status staging = fs::symlink_status(run.staging, error);
  if (fs::is_symlink(staging)) {
    Fail(kUpdateReleaseRefused, "staging refused", LogText(run.staging) + " is a link, which the loader never follows");
  }
  if (!fs::is_directory(staging)) NothingStaged("nothing staged: " + LogText(run.staging) + " holds no update");
  const fs::path stagedLoader = StagedLoader(run.staging);
  for (const fs::path& program : {stagedLoader, StagedApplication(run.staging)}) {
    if (!fs::is_regular_file(fs::symlink_status(program, error))) {
      NothingStaged("nothing staged: the staging " + LogText(run.staging) + " is incomplete, " + LogText(program) +
                    " missing");
    }
  }
  if (!RunningFrom({stagedLoader.native()}).empty()) {
    Fail(kUpdateBusy, "busy", "the staged loader " + LogText(stagedLoader) + " runs already: the update is being applied");
  }
  NameRelease(run);

  HeldProgram held;
  if (const error_code failure = HoldProgram(stagedLoader.native(), held)) {
    FailLocally("could not open " + LogText(stagedLoader), failure);
  }
  HeldFile heldByCheck;
  const StagingCheck check = CheckStaging(run.install, run.staging, heldByCheck);
  run.report.verdict = VerdictWord(check);
  LogLine("staging check of " + LogText(run.staging) + ": " + StagingCheckText(check));
  if (check.verdict == StagingVerdict::kRefused) {
    Fail(kUpdateReleaseRefused, "staging refused",
         "the staging is refused: " + std::string(check.finding) + "; nothing started, the next start removes it");
  }
  if (check.verdict == StagingVerdict::kNotNow) {
    Fail(kUpdateFeedNotNow, "staging cannot be checked now",
         "the staging cannot be checked on this machine now: " + std::string(check.finding) + "; nothing started");
  }
  // Natively nothing keeps the file from being replaced or written while it is checked: the
  // start goes through the descriptor held before the check, once it is known to be the file
  // checked, unchanged.
  if (!NamesHeldProgram(held, stagedLoader.native())) {
    Fail(kUpdateBusy, "busy", "the staged loader " + LogText(stagedLoader) +
                                  " was replaced while it was checked: nothing started");
  }
  const NativeString parameters =
      HandOverParameters(run.install.native()) + NativeFromAscii(" --pid ") + NativeFromAscii(std::to_string(processId).c_str());
  StartStagedLoader(run, held, stagedLoader, parameters);
  const std::string message = "started " + LogText(stagedLoader) + " " + LogText(parameters) +
                              ": it applies the update once process " + std::to_string(processId) + " has ended";
  LogLine(message);
  run.report.exitCode = kUpdateDone;
  run.report.outcome = "done";
  run.report.message = message;
}
}  // namespace

UpdateReport RunRestart(const UpdaterOptions& options) {
  Run run;
  run.options = options;
  Report(run, [&] {
    run.install = FindInstallation(options);
    run.data = DataDirectory(run.install);
    run.staging = StagingDirectory(run.install);
    error_code error;
    // No data folder, no staging: nothing is created for saying so.
    if (!fs::is_directory(fs::symlink_status(run.data, error))) NothingStaged("nothing staged: there is no " + LogText(run.data));
    StartRunLogAt(UpdaterLog(run.data));
    Restart(run);
  });
  return run.report;
}
