// The whole update cycle from outside: the installed loader hands a staged update to the staged
// loader, which installs it and restarts the installed loader, which runs the new application.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/manifest.hpp"
#include "support/process.hpp"
#include "support/scene.hpp"
#include "support/text.hpp"

namespace fs = std::filesystem;

namespace {
using std::chrono::seconds;

constexpr seconds kRunLimit(30);
// The runs after the first are detached: they are waited for through what they leave behind.
constexpr seconds kDetachedLimit(20);
const char kStagedMark[] = "staged loader, next version";
// A staged update whose application is older than the installed one, signed by the publisher.
const char kOlderMark[] = "staged loader, older application";

// The loader under test with app v1 in `install`, and a marked loader with app v2 staged.
void InstallWithStagedUpdate(const fs::path& install) {
  InstallLoader(install);
  InstallApplication(install / "app", "app v1");
  InstallLoader(install / "data" / "update", kStagedMark);
  InstallApplication(install / "data" / "update" / "app", "app v2");
}

// The installation once the update is in: the staged loader installed byte for byte, app v2 in
// place of app v1, app_old and the staging directory gone, and "data" still there.
std::vector<std::string> Updated(const Scene& scene) {
  const fs::path expected = scene.root / "expected";
  fs::remove_all(expected);
  InstallLoader(expected, kStagedMark);
  InstallApplication(expected / "app", "app v2");
  fs::create_directories(expected / "data");
  // A signed update names its product in a file its manifest lists, installed with it.
  if (const char* marked = std::getenv("VELMORA_MARKED_LOADERS")) {
    fs::copy_file(Utf8ToPath(marked) / Utf8ToPath(std::string(kStagedMark) + ".velmora.release"),
                  expected / "app" / "velmora.release");
  }
  return Snapshot(expected);
}

// A signed installation (tests/release/signed_loader.sh) stages its publisher's signed update only.
bool SignedInstallation() { return std::getenv("VELMORA_MARKED_LOADERS") != nullptr; }

// A manifest of every file of the staging, as the publisher writes it, with digests from outside
// the loader (support/manifest.hpp).
void WriteStagingManifest(const fs::path& staging) {
  std::vector<std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(staging)) {
    const std::u8string relative = entry.path().lexically_relative(staging).generic_u8string();
    if (entry.is_regular_file() && entry.path().filename() != "big.dat") files.emplace_back(relative.begin(), relative.end());
  }
  const std::vector<std::string> digests = Sha256sum(staging, files);
  std::string manifest;
  for (std::size_t i = 0; i < files.size(); ++i) manifest += digests[i] + "  " + files[i] + "\n";
  // 512 MiB of zeros, as sha256sum gives it.
  if (fs::exists(staging / "big.dat")) manifest += "9acca8e8c22201155389f65abbf6bc9723edc7384ead80503839f49dcc56d767  big.dat\n";
  WriteText(staging / "SHA256SUMS", manifest);
}

// The staged update with 512 MiB more to check, a sparse file: the check takes seconds, as a large
// update's does. The file lies beside the programs, so the update installed is the usual one.
void MakeCheckSlow(const fs::path& staging) {
  WriteText(staging / "big.dat", "");
  fs::resize_file(staging / "big.dat", 512 << 20);
  WriteStagingManifest(staging);
}

// Starts the installed loader without arguments: it ends with 0, having said nothing.
void ExpectQuietStart(const Scene& scene, const fs::path& install) {
  const Outcome first = scene.Start(install / "Velmora.exe").Wait(kRunLimit);
  EXPECT_TRUE(first.finished);
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_TRUE(first.messages.empty());
  EXPECT_EQ(first.output, "");
  EXPECT_EQ(first.errors, "");
}

// Starts the installed loader without arguments and checks everything the cycle leaves behind.
void ExpectUpdateCycle(const Scene& scene, const fs::path& install) {
  ExpectQuietStart(scene, install);

  EXPECT_TRUE(WaitUntil(
      [&] { return !RecordsTagged(scene.Records(), "app v2").empty() && !fs::exists(install / "data" / "update"); },
      kDetachedLimit));
  EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);

  const std::vector<Record> runs = RecordsTagged(scene.Records(), "app v2");
  ASSERT_EQ(runs.size(), 1u) << "the new application runs once";
  EXPECT_EQ(runs[0].program, PathToUtf8(install / "app" / "velmora.exe"));
  EXPECT_EQ(runs[0].workingDirectory, PathToUtf8(install));
  EXPECT_TRUE(runs[0].arguments.empty());

  EXPECT_EQ(Snapshot(install), Updated(scene));
  const fs::path stagingPath = install / "data" / "update";
  const std::string staging = PathToUtf8(stagingPath);
  const std::string stagedApplication = LoaderJoined(stagingPath, "app");
  std::vector<std::string> lines = {LogFirstLine("start", install), "staging " + staging + " complete",
                                "handing over to " + LoaderJoined(stagingPath, "Velmora.exe"),
                                LogFirstLine("apply", install),
                                "move " + LoaderJoined(install, "app") + " to " + LoaderJoined(install, "app_old"),
                                "move " + stagedApplication + " to " + LoaderJoined(install, "app"),
                                "remove " + LoaderJoined(install, "app_old") + " (1 attempt, ",
                                LogUpdateInstalled(), "; restarting " + LoaderJoined(install, "Velmora.exe"),
                                LogFirstLine("start", install),
                                "the update applied from " + staging + " left its staged loader there; removing it",
                                "removed " + staging};
  for (std::string& line : lines) line = LogEscaped(line);
  EXPECT_EQ(LogMisses(install, lines), "");
}

void RunUpdateCycle(const std::string& installName) {
  const Scene scene("cycle");
  const fs::path install = scene.tree / Utf8ToPath(installName);
  InstallWithStagedUpdate(install);
  ExpectUpdateCycle(scene, install);
  EXPECT_TRUE(RecordsTagged(scene.Records(), "app v1").empty());
}
}  // namespace

TEST(UpdateCycle, InstallsTheStagedUpdateAndRunsTheNewApplication) { RunUpdateCycle("Velmora"); }

TEST(UpdateCycle, WorksInADirectoryWithBlanksAndNonAsciiCharacters) {
  RunUpdateCycle("Velmora \xE6\xB5\x8B\xE8\xAF\x95");
}

// The hand-over passes the install directory through command-line quoting, and paths go through
// format strings: on Linux a quote, backslashes (one before a quote, one at the end) and a line
// feed must come through; Windows allows none of these in a name, but doubled blanks and the
// characters of formats and shells must come through there too.
TEST(UpdateCycle, WorksInADirectoryWhoseNameNeedsQuoting) {
#ifdef _WIN32
  RunUpdateCycle("Velmora %1% 100%s & ^ ';  two  blanks");
#else
  RunUpdateCycle("Velmora \"q\\\" back\\slash\nline %1% 100%s\\");
#endif
}

// An update stopped before it removed "app_old" leaves it behind. While a program still runs from
// it, Windows keeps it from being removed: that start runs the application instead of handing
// over an update that would fail on it, and a start once the program has ended takes the update.
TEST(UpdateCycle, WaitsUntilALeftoverOldApplicationCanBeRemoved) {
  const Scene scene("cycle-leftover");
  const fs::path install = scene.tree / "Velmora";
  InstallWithStagedUpdate(install);
  const fs::path held = install / "app_old" / "tools" / "held.exe";
  InstallRecorderAs(held, "held");
  SetEnvironment("VELMORA_SLEEP_MS", "120000");
  Started holder = scene.Start(held);
  UnsetEnvironment("VELMORA_SLEEP_MS");
  ASSERT_EQ(scene.WaitForRecords(1).size(), 1u);
#ifdef _WIN32
  const Outcome blocked = scene.Start(install / "Velmora.exe").Wait(kRunLimit);
  EXPECT_EQ(blocked.exitCode, 0);
  EXPECT_EQ(RecordsTagged(scene.Records(), "app v1").size(), 1u);
  EXPECT_TRUE(RecordsTagged(scene.Records(), "app v2").empty());
  EXPECT_TRUE(fs::exists(held));
  EXPECT_TRUE(fs::exists(install / "data" / "update" / "app" / "velmora.exe"));
  EXPECT_TRUE(ProcessAlive(holder.Pid()));
  fs::remove(scene.record);
#endif
  // On Linux nothing holds a file against deletion, and already the first start takes the update.
  holder.Wait(std::chrono::milliseconds(0));
  ExpectUpdateCycle(scene, install);
}

// The application open, started by the loader or directly, when the updater stages an update, and
// the user starts it again: the start shows nothing, runs the old version (the application
// decides about a second instance of itself) within a few seconds and leaves the update staged;
// Windows would refuse to replace the running loader or rename "app" under the application.
// Once the application and its loader have ended, the next start installs the update.
TEST(UpdateCycle, AStartWhileTheApplicationRunsLeavesTheUpdateForLater) {
  for (const bool direct : {false, true}) {
    SCOPED_TRACE(direct ? "application started directly" : "application started by the loader");
    const Scene scene("cycle-in-use");
    const fs::path install = scene.tree / "Velmora";
    InstallLoader(install);
    InstallApplication(install / "app", "app v1");
    SetEnvironment("VELMORA_SLEEP_MS", "120000");
    Started first = scene.Start(direct ? install / "app" / "velmora.exe" : install / "Velmora.exe");
    UnsetEnvironment("VELMORA_SLEEP_MS");
    ASSERT_EQ(scene.WaitForRecords(1).size(), 1u);
    InstallLoader(install / "data" / "update", kStagedMark);
    InstallApplication(install / "data" / "update" / "app", "app v2");
    const std::vector<std::string> staged = Snapshot(install);

    Started second = scene.Start(install / "Velmora.exe");
    EXPECT_TRUE(WaitUntil([&] { return RecordsTagged(scene.Records(), "app v1").size() == 2; }, seconds(5)));
    const Outcome outcome = second.Wait(std::chrono::seconds(10));
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.messages.empty());
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(Snapshot(install), staged);

    for (const std::uint32_t pid : ProcessesRunning(install / "app" / "velmora.exe")) EndProcess(pid);
    EXPECT_TRUE(first.Wait(kRunLimit).finished);
    fs::remove(scene.record);
    ExpectUpdateCycle(scene, install);
  }
}

// Two or three starts at once with an update staged (a double click, or a second one because
// nothing shows while the update is applied): every start ends quietly, nothing reports a
// failure, only the new application runs and the update is in place. Natively nothing is left in
// data/update; on Windows a staged loader still running there may keep it until the next start.
TEST(UpdateCycle, StartsAtOnceApplyTheUpdateOnce) {
  struct Plan {
    int starts;
    int rounds;
    bool slowCheck = false;  // the second start 0.3 s after the first, during its check
  };
#ifdef _WIN32
  std::vector<Plan> plans = {{2, 3}};
#else
  std::vector<Plan> plans = {{2, 20}, {3, 10}};
#endif
  // The first start's check outlasts the second one's patience with the lock: the second waits
  // for the first, which runs no application, and finds the update being applied.
  if (!SignedInstallation()) plans.push_back({2, 1, true});
  for (const auto& [starts, rounds, slowCheck] : plans) {
    for (int round = 1; round <= rounds; ++round) {
      SCOPED_TRACE(std::to_string(starts) + " starts, round " + std::to_string(round) +
                   (slowCheck ? ", during a slow check" : ""));
      const Scene scene("cycle-at-once");
      const fs::path install = scene.tree / "Velmora";
      const fs::path staging = install / "data" / "update";
      InstallWithStagedUpdate(install);
      if (slowCheck) MakeCheckSlow(staging);
      std::vector<Started> loaders;
      for (int i = 0; i < starts; ++i) {
        if (slowCheck && i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        loaders.push_back(scene.Start(install / "Velmora.exe"));
      }
      for (Started& loader : loaders) {
        const Outcome outcome = loader.Wait(kRunLimit);
        EXPECT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_TRUE(outcome.messages.empty());
      }
      EXPECT_TRUE(WaitUntil([&] { return !scene.Records().empty(); }, kDetachedLimit));
      // A staged loader whose failure box were waiting for a click would still be running here.
      EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);
      // Detached runs keep their starter's standard error, where a failure would show natively.
      for (const fs::directory_entry& file : fs::directory_iterator(scene.out)) {
        if (file.path().extension() == ".err") {
          EXPECT_EQ(ReadText(file.path()), "") << file.path();
        }
      }
      // Applied, or, had the second start given up on the lock and run the application, waiting.
      const bool waiting = !RecordsTagged(scene.Records(), "app v1").empty();
      EXPECT_TRUE(slowCheck || !waiting);
      for (const Record& run : scene.Records()) EXPECT_EQ(run.tag, waiting ? "app v1" : "app v2");
      if (waiting) {
        EXPECT_TRUE(fs::exists(staging / "app" / "velmora.exe"));
        continue;
      }

#ifdef _WIN32
      if (fs::exists(staging)) {
        EXPECT_FALSE(fs::exists(staging / "app"));
        fs::remove_all(staging);
      }
#endif
      EXPECT_EQ(Snapshot(install), Updated(scene));
    }
  }
}

// The updater replaces a waiting staging while a start checks it (beside, then renames). Natively
// the start holds the staging directory, finds its path naming another folder once the check is
// done, and neither hands it over nor removes it: the new one goes in at the next start. On
// Windows the held staging directory cannot be renamed: the updater's rename fails until the start
// is done, and the new one goes in at the start after the update. The start's own line that the
// staging is complete, written before its check, tells the test when to replace it.
TEST(UpdateCycle, AStagingReplacedDuringItsCheckIsNeitherRemovedNorHandedOver) {
  if (SignedInstallation()) GTEST_SKIP() << "a signed installation stages its publisher's signed update only";
  const Scene scene("cycle-replaced");
  const fs::path install = scene.tree / "Velmora";
  const fs::path staging = install / "data" / "update";
  const fs::path incoming = install / "data" / "update.incoming";
  InstallWithStagedUpdate(install);
  MakeCheckSlow(staging);
  InstallLoader(incoming, kStagedMark);
  InstallApplication(incoming / "app", "app v3");

  Started first = scene.Start(install / "Velmora.exe");
  ASSERT_TRUE(WaitUntil([&] { return LogMisses(install, {"staging " + PathToUtf8(staging) + " complete"}).empty(); },
                        kDetachedLimit));
  std::error_code aside;
  fs::rename(staging, install / "data" / "update.old", aside);
  if (!aside) fs::rename(incoming, staging);
  for (const char* verdict : {"staging taken", "staging refused", "staging kept"}) {
    EXPECT_NE(LogMisses(install, {verdict}), "") << "replaced after the check";
  }
  const Outcome outcome = first.Wait(kRunLimit);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_TRUE(outcome.messages.empty());
#ifdef _WIN32
  // Held: the rename is refused, and the staging it checked goes in.
  EXPECT_TRUE(aside);
  EXPECT_TRUE(WaitUntil([&] { return !RecordsTagged(scene.Records(), "app v2").empty() && !fs::exists(staging); },
                        kDetachedLimit));
  EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);
  fs::rename(incoming, staging);
#else
  EXPECT_FALSE(aside);
  EXPECT_EQ(RecordsTagged(scene.Records(), "app v1").size(), 1u);
  EXPECT_TRUE(fs::exists(staging / "app" / "velmora.exe"));
  EXPECT_TRUE(fs::exists(install / "data" / "update.old" / "big.dat"));
#endif
  fs::remove(scene.record);
  ExpectQuietStart(scene, install);
  EXPECT_TRUE(WaitUntil([&] { return !RecordsTagged(scene.Records(), "app v3").empty(); }, kDetachedLimit));
  EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);
  EXPECT_EQ(ReadText(install / "app" / "tag.txt"), "app v3\n");
}

// An application restarting into its update starts the staged loader itself, naming its own
// process: that loader waits for the process to end, then checks the staging as a start would
// before it touches anything. A staging a start would not take is left as it is, nothing is shown,
// and the application installed now starts.
TEST(UpdateCycle, TheRestartRouteInstallsOnlyWhatAStartWouldTake) {
  struct Row {
    const char* staging;
    bool taken;
    const char* why = "";  // what the log says of a staging not taken
  };
  for (const Row& row : {Row{"whole", true}, Row{"altered after its manifest", false, "a file does not match its hash"},
                         Row{"older", false, "an older application"},
                         Row{"checked with no memory for its manifest", false, "an unexpected error"}}) {
    SCOPED_TRACE(row.staging);
    const std::string state = row.staging;
    const bool older = state == "older";
    // Only a signed installation compares versions; a process's memory is limited natively only.
    if (older && !SignedInstallation()) continue;
#ifdef _WIN32
    if (state.starts_with("checked")) continue;
#endif
    const Scene scene("cycle-restart");
    const fs::path install = scene.tree / "Velmora";
    const fs::path staging = install / "data" / "update";
    InstallWithStagedUpdate(install);
    if (older) {
      fs::remove_all(staging);
      InstallLoader(staging, kOlderMark);
      InstallRecorderAs(staging / "app" / "velmora.exe", "app v2");
      fs::copy_file(OwnExecutablePath().parent_path() / "recorder_old.exe", staging / "app" / "velmora.exe",
                    fs::copy_options::overwrite_existing);
    } else if (state.starts_with("altered")) {
      if (!SignedInstallation()) WriteStagingManifest(staging);
      WriteText(staging / "app" / "tag.txt", "app v3\n");
    } else if (state.starts_with("checked")) {
      WriteText(staging / "SHA256SUMS", "");
      fs::resize_file(staging / "SHA256SUMS", 60 << 20);
    }
    const std::vector<std::string> before = Snapshot(install);
    InstallRecorderAs(scene.root / "restarting" / ("application" + RecorderProgram().extension().string()),
                      "restarting application");
    SetEnvironment("VELMORA_SLEEP_MS", "500");
    Started application = scene.Start(scene.root / "restarting" / ("application" + RecorderProgram().extension().string()));
    UnsetEnvironment("VELMORA_SLEEP_MS");
    std::vector<std::string> command = {"--ad", PathToUtf8(install), "--pid", std::to_string(application.Pid())};
    fs::path program = staging / "Velmora.exe";
    if (state.starts_with("checked")) {
      command.insert(command.begin(), {"--as=" + std::to_string(32 << 20), "--", PathToUtf8(program)});
      program = "/usr/bin/prlimit";
    }

    const Outcome outcome = scene.Start(program, command).Wait(kRunLimit);

    EXPECT_TRUE(application.Wait(std::chrono::milliseconds(0)).finished) << "did not wait for the application";
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.messages.empty());
    EXPECT_EQ(outcome.errors, "");
    const std::string ran = row.taken ? "app v2" : "app v1";
    EXPECT_TRUE(WaitUntil([&] { return !RecordsTagged(scene.Records(), ran).empty(); }, kDetachedLimit));
    EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);
    EXPECT_EQ(RecordsTagged(scene.Records(), ran).size(), 1u);
    if (row.taken) {
      EXPECT_TRUE(RecordsTagged(scene.Records(), "app v1").empty());
      continue;
    }
    EXPECT_TRUE(RecordsTagged(scene.Records(), "app v2").empty());
    EXPECT_EQ(Snapshot(install), before);
    EXPECT_EQ(LogMisses(install, {LogFirstLine("apply", install), row.why,
                                  "the restart route leaves " + PathToUtf8(staging) + " as it is",
                                  "starting the application "}),
              "");
  }
}
