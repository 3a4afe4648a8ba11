// The whole update cycle from outside: the installed loader hands a staged update to the staged
// loader, which installs it and restarts the installed loader, which runs the new application.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
  return Snapshot(expected);
}

// Starts the installed loader without arguments and checks everything the cycle leaves behind.
void ExpectUpdateCycle(const Scene& scene, const fs::path& install) {
  const Outcome first = scene.Start(install / "Velmora.exe").Wait(kRunLimit);
  EXPECT_TRUE(first.finished);
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_TRUE(first.messages.empty());
  EXPECT_EQ(first.output, "");
  EXPECT_EQ(first.errors, "");

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
                                "update installed; restarting " + LoaderJoined(install, "Velmora.exe"),
                                LogFirstLine("start", install),
                                "staging " + staging + " incomplete: " + LoaderJoined(stagingPath / "app", "velmora.exe") +
                                    " missing or a folder (as an applied update leaves it)",
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
#ifdef _WIN32
  const std::vector<std::pair<int, int>> plans = {{2, 3}};
#else
  const std::vector<std::pair<int, int>> plans = {{2, 20}, {3, 10}};
#endif
  for (const auto& [starts, rounds] : plans) {
    for (int round = 1; round <= rounds; ++round) {
      SCOPED_TRACE(std::to_string(starts) + " starts, round " + std::to_string(round));
      const Scene scene("cycle-at-once");
      const fs::path install = scene.tree / "Velmora";
      const fs::path staging = install / "data" / "update";
      InstallWithStagedUpdate(install);
      std::vector<Started> loaders;
      for (int i = 0; i < starts; ++i) loaders.push_back(scene.Start(install / "Velmora.exe"));
      for (Started& loader : loaders) {
        const Outcome outcome = loader.Wait(kRunLimit);
        EXPECT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_TRUE(outcome.messages.empty());
      }
      EXPECT_TRUE(WaitUntil([&] { return !RecordsTagged(scene.Records(), "app v2").empty(); }, kDetachedLimit));
      // A staged loader whose failure box were waiting for a click would still be running here.
      EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);
      // Detached runs keep their starter's standard error, where a failure would show natively.
      for (const fs::directory_entry& file : fs::directory_iterator(scene.out)) {
        if (file.path().extension() == ".err") {
          EXPECT_EQ(ReadText(file.path()), "") << file.path();
        }
      }
      for (const Record& run : scene.Records()) EXPECT_EQ(run.tag, "app v2");

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

// "data" moved to another file system with a link left in its place (to save space): the staged
// application cannot come in by a rename. Every start hands over, the update fails at once and is
// reported, and the application installed now runs; the loader is never restarted into a loop.
TEST(UpdateCycle, DataOnAnotherFileSystemIsReportedAndTheCurrentApplicationRuns) {
#ifdef _WIN32
  GTEST_SKIP() << "the Wine prefix's drives lie on one Linux file system here";
#else
  const Scene scene("cycle-other-fs");
  const fs::path install = scene.tree / "Velmora";
  InstallWithStagedUpdate(install);
  const fs::path elsewhere = fs::path("/dev/shm") / scene.root.filename();
  struct stat here {}, there {};
  if (::stat(scene.root.c_str(), &here) != 0 || ::stat("/dev/shm", &there) != 0 || here.st_dev == there.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  const std::shared_ptr<void> cleanUp(nullptr, [&](void*) { fs::remove_all(elsewhere); });
  fs::copy(install / "data", elsewhere, fs::copy_options::recursive);
  fs::remove_all(install / "data");
  fs::create_directory_symlink(elsewhere, install / "data");
  const std::vector<std::string> application = Snapshot(install / "app");

  for (int start = 1; start <= 2; ++start) {
    SCOPED_TRACE("start " + std::to_string(start));
    fs::remove(scene.record);
    const Outcome outcome = scene.Start(install / "Velmora.exe").Wait(kRunLimit);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(WaitUntil([&] { return !scene.Records().empty(); }, kDetachedLimit));
    EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);
    const std::vector<Record> runs = scene.Records();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].tag, "app v1");
    // The staged loader reports on its starter's standard error: by now each start's holds it.
    const std::string failure = "Velmora loader\nrename failed\ndst:" + PathToUtf8(install / "app") + "\nsrc:";
    int reported = 0;
    for (const fs::directory_entry& file : fs::directory_iterator(scene.out)) {
      reported += file.path().extension() == ".err" && ReadText(file.path()).rfind(failure, 0) == 0;
    }
    EXPECT_EQ(reported, start);
    // The new loader is in; the application and the staging stay as they were, ready for the
    // next start.
    EXPECT_TRUE(ReadText(install / "Velmora.exe") == ReadText(elsewhere / "update" / "Velmora.exe"));
    EXPECT_EQ(Snapshot(install / "app"), application);
    EXPECT_FALSE(fs::exists(install / "app_old"));
    EXPECT_TRUE(fs::exists(elsewhere / "update" / "app" / "velmora.exe"));
  }
#endif
}
