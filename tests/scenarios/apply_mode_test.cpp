// Apply mode from outside: a copy of the real loader in a staging folder with an "app" beside it,
// run with --ad on a fresh installation, natively and under Wine.

#include <gtest/gtest.h>

#include <boost/system/error_code.hpp>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/scene.hpp"
#include "support/text.hpp"

namespace fs = std::filesystem;

namespace {
using std::chrono::milliseconds;
using std::chrono::seconds;

// How long the loader keeps trying to replace the installed loader, and how much later than that
// its message may come: the last pause and attempt, and on Windows the box taking its time to show
// (measured here: 30-40 ms natively, 90-170 ms under Wine, 600 ms once with two tests at a time).
// Far short of a second budget either way.
constexpr seconds kCopyBudget(5);
constexpr milliseconds kMessageLatency(1000);
constexpr seconds kRunLimit(30);
constexpr seconds kDetachedLimit(20);
const char kStagedMark[] = "staged loader";

const std::string kSeparator(1, static_cast<char>(fs::path::preferred_separator));

// Not an overwriting copy: the Windows build's C++ library takes any two files on one drive for
// the same file and refuses to copy one over the other.
void ReplaceFile(const fs::path& source, const fs::path& target) {
  fs::remove(target);
  fs::copy_file(source, target);
}

// tree/install: a stand-in for the installed loader (apply mode only overwrites it, and each test
// can tell it from the staged one) and app v1; tree/staging, or the installation's own staging
// directory as in real use: the loader that runs, marked, with app v2 beside it.
struct Installation {
  explicit Installation(const std::string& name, const std::string& installName = "install", bool staged = false)
      : scene(name),
        install(scene.tree / Utf8ToPath(installName)),
        staging(staged ? install / "data" / "update" : scene.tree / "staging") {
    fs::create_directories(install);
    WriteText(install / "Velmora.exe", "installed loader\n");
    InstallApplication(install / "app", "app v1");
    InstallLoader(staging, kStagedMark);
    InstallApplication(staging / "app", "app v2");
  }

  Started StartApply(const std::vector<std::string>& arguments, const fs::path& workingDirectory = {}) const {
    return scene.Start(staging / "Velmora.exe", arguments, workingDirectory);
  }

  Outcome Apply(const std::vector<std::string>& arguments, const fs::path& workingDirectory = {}) const {
    return StartApply(arguments, workingDirectory).Wait(kRunLimit);
  }

  // The tree once the update is in: the staged loader installed over the old one, app v2 in
  // place of app v1, nothing left in staging but the loader.
  std::vector<std::string> Updated() const {
    const fs::path expected = scene.root / "updated";
    InstallLoader(expected / install.filename(), kStagedMark);
    InstallApplication(expected / install.filename() / "app", "app v2");
    InstallLoader(expected / staging.lexically_relative(scene.tree), kStagedMark);
    return Snapshot(expected);
  }

  // A copy of the tree as it is now, with the installed loader already replaced.
  fs::path WithLoaderReplaced() const {
    const fs::path expected = scene.CopyOfTree("expected");
    ReplaceFile(staging / "Velmora.exe", expected / install.filename() / "Velmora.exe");
    return expected;
  }

  // Starts a copy of the recorder from the installed loader's place, where it runs until the test
  // ends it, keeping that file busy; waits until it has recorded its start.
  Started HoldInstalledLoader() const {
    ReplaceFile(RecorderProgram(), install / "Velmora.exe");
    SetEnvironment("VELMORA_SLEEP_MS", "120000");
    Started holder = scene.Start(install / "Velmora.exe");
    UnsetEnvironment("VELMORA_SLEEP_MS");
    WaitUntil([&] { return HolderRunning(); }, seconds(10));
    return holder;
  }

  bool HolderRunning() const { return RecordsTagged(scene.Records(), "-").size() == 1; }

  Scene scene;
  const fs::path install;
  const fs::path staging;
};

std::string Failure(const std::string& what, const std::string& destination, const std::string& source) {
  return what + "\ndst:" + destination + "\nsrc:" + source;
}

std::string CopyFailed(const std::string& installText, const Installation& at) {
  return Failure("copy failed", installText + kSeparator + "Velmora.exe", LoaderJoined(at.staging, "Velmora.exe"));
}

std::string RetireFailed(const std::string& installText) {
  return Failure("rename failed", installText + kSeparator + "app_old", installText + kSeparator + "app");
}

// The user is told once, in a box with a single OK button on Windows, on standard error under the
// caption elsewhere, and the loader ends with -1.
void ExpectFailureMessage(const Outcome& outcome, const std::string& text) {
  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, ReportedFailureExitCode());
  EXPECT_EQ(outcome.messages, std::vector<std::string>{text});
#ifdef _WIN32
  EXPECT_EQ(outcome.messageButtons, std::vector<int>{1});
  EXPECT_EQ(outcome.errors, "");
#else
  EXPECT_EQ(outcome.errors, "Velmora loader\n" + text + "\n");
#endif
  EXPECT_EQ(outcome.output, "");
}

void ExpectSilentSuccess(const Outcome& outcome) {
  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(outcome.output, "");
}

// The application of this version ran once, from the install directory, with no arguments, and the
// other version never ran.
void ExpectOnlyVersionRan(const Installation& at, const std::string& ran, const std::string& other) {
  EXPECT_TRUE(WaitUntil([&] { return !RecordsTagged(at.scene.Records(), ran).empty(); }, kDetachedLimit));
  EXPECT_EQ(EndProcessesRunningBelow(at.scene.root, kDetachedLimit), 0u);
  const std::vector<Record> runs = RecordsTagged(at.scene.Records(), ran);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, PathToUtf8(at.install / "app" / "velmora.exe"));
  EXPECT_EQ(runs[0].workingDirectory, PathToUtf8(at.install));
  EXPECT_TRUE(runs[0].arguments.empty());
  EXPECT_TRUE(RecordsTagged(at.scene.Records(), other).empty());
}

// The installed loader was started and, in start mode, ran the application now installed.
void ExpectInstalledLoaderRestarted(const Installation& at) { ExpectOnlyVersionRan(at, "app v2", "app v1"); }

// After a failure the application installed now runs, and the loader is not restarted.
void ExpectCurrentApplicationStarted(const Installation& at) { ExpectOnlyVersionRan(at, "app v1", "app v2"); }

// After a failure with no application to start, nothing may have been started.
void ExpectNothingStarted(const Installation& at) {
  EXPECT_TRUE(ProcessesRunningBelow(at.scene.root).empty());
  EXPECT_TRUE(RecordsTagged(at.scene.Records(), "app v1").empty());
  EXPECT_TRUE(RecordsTagged(at.scene.Records(), "app v2").empty());
}
}  // namespace

// A relative install directory is taken against the current directory of the run, and the
// restarted loader is given it whole.
TEST(ApplyMode, InstallsTheUpdateAndRestartsTheInstalledLoader) {
  for (const bool relative : {false, true}) {
    SCOPED_TRACE(relative ? "relative --ad" : "absolute --ad");
    const Installation at("apply-success");
    const fs::path installText = relative ? at.install.filename() : at.install;
    ExpectSilentSuccess(at.Apply({"--ad", PathToUtf8(installText)}, at.scene.tree));
    ExpectInstalledLoaderRestarted(at);
    EXPECT_EQ(Snapshot(at.scene.tree), at.Updated());
  }
}

// Whatever stands around the copy, the installed loader comes out a plain file its owner may
// write, so the next update can replace it: from a read-only staged loader, over a stale
// read-only Velmora.exe.new, and on POSIX past a Velmora.exe.new that links to a file elsewhere,
// which must not be written through.
TEST(ApplyMode, TheInstalledLoaderComesOutAPlainWritableFile) {
  const fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  for (const std::string state : {"read-only staged loader", "read-only sibling", "sibling linked outside"}) {
    SCOPED_TRACE(state);
    const Installation at("apply-plain");
    const fs::path sibling = at.install / "Velmora.exe.new";
    const fs::path outside = at.scene.root / "outside.txt";
    WriteText(outside, "not the loader's\n");
    if (state == "read-only staged loader") {
      fs::permissions(at.staging / "Velmora.exe", writable, fs::perm_options::remove);
    } else if (state == "read-only sibling") {
      WriteText(sibling, "left by an earlier run\n");
      fs::permissions(sibling, writable, fs::perm_options::remove);
    } else {
#ifdef _WIN32
      continue;  // Wine 8 does not show a Unix link as a reparse point
#else
      fs::create_symlink(outside, sibling);
#endif
    }
    ExpectSilentSuccess(at.Apply({"--ad", PathToUtf8(at.install)}));
    ExpectInstalledLoaderRestarted(at);
    EXPECT_FALSE(fs::is_symlink(at.install / "Velmora.exe"));
    EXPECT_NE(fs::status(at.install / "Velmora.exe").permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_TRUE(ReadText(outside) == "not the loader's\n") << "written through the link";
    fs::permissions(at.staging / "Velmora.exe", fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(Snapshot(at.scene.tree), at.Updated());
  }
}

// The loader copies the "Velmora.exe" of its directory, whatever its own name: with the recorder
// there, the restarted "installed loader" records how it was started.
TEST(ApplyMode, StartsTheInstalledLoaderWithoutArgumentsInTheInstallDirectory) {
  const Installation at("apply-restart");
  const fs::path running = at.staging / ("apply" + RecorderProgram().extension().string());
  fs::rename(at.staging / "Velmora.exe", running);
  fs::copy_file(RecorderProgram(), at.staging / "Velmora.exe");
  WriteText(at.install / "tag.txt", "installed loader\n");
  ExpectSilentSuccess(at.scene.Start(running, {"--ad", PathToUtf8(at.install)}).Wait(kRunLimit));
  EXPECT_TRUE(WaitUntil([&] { return !at.scene.Records().empty(); }, kDetachedLimit));
  EXPECT_EQ(EndProcessesRunningBelow(at.scene.root, kDetachedLimit), 0u);
  const std::vector<Record> runs = at.scene.Records();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].tag, "installed loader");
  EXPECT_EQ(runs[0].program, PathToUtf8(at.install / "Velmora.exe"));
  EXPECT_EQ(runs[0].workingDirectory, PathToUtf8(at.install));
  EXPECT_TRUE(runs[0].arguments.empty());
  EXPECT_TRUE(ReadText(at.install / "Velmora.exe") == ReadText(at.staging / "Velmora.exe"));
}

TEST(ApplyMode, CreatesTheInstalledLoaderWhenThereIsNone) {
  const Installation at("apply-no-loader");
  fs::remove(at.install / "Velmora.exe");
  ExpectSilentSuccess(at.Apply({"--ad", PathToUtf8(at.install)}));
  ExpectInstalledLoaderRestarted(at);
  EXPECT_EQ(Snapshot(at.scene.tree), at.Updated());
}

// The loader that handed over may still be running from the installed loader's file.
TEST(ApplyMode, ReplacesAnInstalledLoaderThatIsStillRunning) {
  const Installation at("apply-busy");
  Started holder = at.HoldInstalledLoader();
  ASSERT_TRUE(at.HolderRunning());
  Started loader = at.StartApply({"--ad", PathToUtf8(at.install)});
#ifdef _WIN32
  // Windows keeps a running program's file from being replaced: the loader tries again until the
  // holder has ended.
  std::this_thread::sleep_for(seconds(1));
  EXPECT_TRUE(ProcessAlive(loader.Pid())) << "gave up at once";
  EXPECT_FALSE(holder.Wait(milliseconds(0)).finished);
  ExpectSilentSuccess(loader.Wait(kRunLimit));
#else
  // Linux lets a running program's file be replaced: the loader has not waited for the holder.
  ExpectSilentSuccess(loader.Wait(kRunLimit));
  EXPECT_FALSE(holder.Wait(milliseconds(0)).finished);
#endif
  ExpectInstalledLoaderRestarted(at);
  EXPECT_EQ(Snapshot(at.scene.tree), at.Updated());
}

// Every attempt fails, on Windows while the loader that handed over keeps running and on both
// platforms while a folder stands in the loader's place. The message comes once the budget has
// run out and not much later; the old loader is left as it was, and so is everything else.
TEST(ApplyMode, GivesUpWhenTheInstalledLoaderCannotBeReplaced) {
  for (const bool held : {false, true}) {
#ifndef _WIN32
    if (held) continue;
#endif
    SCOPED_TRACE(held ? "held by a running program" : "a folder in its place");
    const Installation at("apply-stuck");
    std::optional<Started> holder;
    if (held) {
      holder.emplace(at.HoldInstalledLoader());
      ASSERT_TRUE(at.HolderRunning());
    } else {
      fs::remove(at.install / "Velmora.exe");
      fs::create_directories(at.install / "Velmora.exe");
      WriteText(at.install / "Velmora.exe" / "file.txt", "not a loader\n");
    }
    const std::vector<std::string> before = Snapshot(at.scene.tree);
    const Outcome outcome = at.Apply({"--ad", PathToUtf8(at.install)});
    if (holder) {
      EXPECT_FALSE(holder->Wait(milliseconds(0)).finished) << "the installed loader stays busy for the whole run";
    }
    ExpectFailureMessage(outcome, CopyFailed(PathToUtf8(at.install), at));
    EXPECT_GE(outcome.firstMessageAfter, kCopyBudget);
    EXPECT_LE(outcome.firstMessageAfter, kCopyBudget + kMessageLatency);
    EXPECT_EQ(Snapshot(at.scene.tree), before);
    ExpectCurrentApplicationStarted(at);
  }
}

// Only a missing directory counts as absent: a regular file passes the test, and the copy into it
// fails for the whole budget.
TEST(ApplyMode, AnInstallDirectoryThatIsARegularFileFailsTheCopy) {
  const Installation at("apply-file");
  const fs::path file = at.scene.tree / "install.txt";
  WriteText(file, "not a directory\n");
  const std::vector<std::string> before = Snapshot(at.scene.tree);
  const Outcome outcome = at.Apply({"--ad", PathToUtf8(file)});
  ExpectFailureMessage(outcome, CopyFailed(PathToUtf8(file), at));
  EXPECT_GE(outcome.firstMessageAfter, kCopyBudget);
  EXPECT_LE(outcome.firstMessageAfter, kCopyBudget + kMessageLatency);
  EXPECT_EQ(Snapshot(at.scene.tree), before);
  ExpectNothingStarted(at);
}

TEST(ApplyMode, AMissingInstallDirectoryIsReportedAndNothingChanges) {
  const Installation at("apply-missing");
  const std::vector<std::string> before = Snapshot(at.scene.tree);
  for (const std::string& missing :
       {PathToUtf8(at.scene.tree / "missing"), PathToUtf8(at.scene.tree / "missing") + kSeparator,
        PathToUtf8(at.scene.tree / "missing" / "deeper")}) {
    SCOPED_TRACE(missing);
    ExpectFailureMessage(at.Apply({"--ad", missing}), "directory is not exists(" + missing + ")");
    EXPECT_EQ(Snapshot(at.scene.tree), before);
  }
  ExpectNothingStarted(at);
}

// A failed status test other than "not found" names the system's reason: on Linux, a name too
// long for the file system and a loop of symbolic links. On Windows the library counts a name it
// cannot take as not found, so the same long name is reported missing there, and no path a test
// can make without privileges fails the test otherwise.
TEST(ApplyMode, AnInstallDirectoryThatCannotBeTestedIsReportedWithTheReason) {
  const Installation at("apply-inaccessible");
  const std::vector<std::string> before = Snapshot(at.scene.tree);
  const std::string tooLong = PathToUtf8(at.scene.tree / std::string(300, 'n'));
#ifdef _WIN32
  ExpectFailureMessage(at.Apply({"--ad", tooLong}), "directory is not exists(" + tooLong + ")");
  EXPECT_EQ(Snapshot(at.scene.tree), before);
#else
  // Outside the tree: a snapshot cannot walk past a loop.
  fs::create_directories(at.scene.root / "links");
  fs::create_symlink("loop", at.scene.root / "links" / "loop");
  const std::string loop = PathToUtf8(at.scene.root / "links" / "loop");
  for (const auto& [directory, reason] : {std::pair{tooLong, ENAMETOOLONG}, std::pair{loop, ELOOP}}) {
    SCOPED_TRACE(directory);
    ExpectFailureMessage(at.Apply({"--ad", directory}),
                         "directory is not accessible(" + directory + ")\n" +
                             boost::system::error_code(reason, boost::system::system_category()).message());
    EXPECT_EQ(Snapshot(at.scene.tree), before);
  }
#endif
  ExpectNothingStarted(at);
}

// The restart route checks the staging as a start would: the installation's own loader is read.
TEST(ApplyMode, WaitsForTheGivenProcessBeforeLookingAtTheDisk) {
  const Installation at("apply-pid");
  InstallLoader(at.install);
  // The installation appears only while the loader waits: a loader that looked before the wait
  // would report it missing.
  const fs::path pending = at.scene.tree / "pending";
  fs::rename(at.install, pending);
  // The waited process never ends by itself: the test ends it once it has looked, so no look can
  // overlap the loader's work (on Windows an open file would make its renames fail).
  const fs::path sleeper = at.scene.root / "waited" / ("sleeper" + RecorderProgram().extension().string());
  InstallRecorderAs(sleeper, "waited");
  SetEnvironment("VELMORA_SLEEP_MS", "120000");
  Started waited = at.scene.Start(sleeper);
  UnsetEnvironment("VELMORA_SLEEP_MS");
  ASSERT_TRUE(WaitUntil([&] { return !RecordsTagged(at.scene.Records(), "waited").empty(); }, seconds(10)));
  const std::vector<std::string> before = Snapshot(at.scene.tree);

  Started loader = at.StartApply({"--ad", PathToUtf8(at.install), "--pid", std::to_string(waited.Pid())});
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(Snapshot(at.scene.tree), before);
  EXPECT_TRUE(ProcessAlive(loader.Pid()));
  fs::rename(pending, at.install);
  const std::vector<std::string> arrived = Snapshot(at.scene.tree);
  for (int look = 0; look < 5; ++look) {
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(Snapshot(at.scene.tree), arrived);
    EXPECT_TRUE(ProcessAlive(loader.Pid()));
  }
  EXPECT_FALSE(waited.Wait(milliseconds(0)).finished);

  ExpectSilentSuccess(loader.Wait(kRunLimit));
  ExpectInstalledLoaderRestarted(at);
  EXPECT_EQ(Snapshot(at.scene.tree), at.Updated());
}

// An ended process, 0 and the largest id name no process to wait for.
TEST(ApplyMode, DoesNotWaitForAProcessThatIsNotRunning) {
  std::string ended;
  {
    const Installation at("apply-ended");
    Started gone = at.scene.Start(RecorderProgram());
    ASSERT_TRUE(gone.Wait(seconds(10)).finished);
    ended = std::to_string(gone.Pid());
  }
  for (const std::string& pid : {ended, std::string("0"), std::string("4294967295")}) {
    SCOPED_TRACE("--pid " + pid);
    const Installation at("apply-no-wait");
    InstallLoader(at.install);
    ExpectSilentSuccess(at.Apply({"--ad", PathToUtf8(at.install), "--pid", pid}));
    ExpectInstalledLoaderRestarted(at);
    EXPECT_EQ(Snapshot(at.scene.tree), at.Updated());
  }
}

TEST(ApplyMode, NoApplicationInTheInstallationFailsTheFirstRename) {
  const Installation at("apply-no-app");
  fs::remove_all(at.install / "app");
  const fs::path expected = at.WithLoaderReplaced();
  ExpectFailureMessage(at.Apply({"--ad", PathToUtf8(at.install)}), RetireFailed(PathToUtf8(at.install)));
  EXPECT_EQ(Snapshot(at.scene.tree), Snapshot(expected));
  ExpectNothingStarted(at);
}

// A trailing separator stays as given, and no second one is added after it.
TEST(ApplyMode, AnInstallDirectoryWithATrailingSeparatorIsNotSeparatedTwice) {
  const Installation at("apply-trailing");
  fs::remove_all(at.install / "app");
  const fs::path expected = at.WithLoaderReplaced();
  const std::string installText = PathToUtf8(at.install) + kSeparator;
  ExpectFailureMessage(at.Apply({"--ad", installText}),
                       Failure("rename failed", installText + "app_old", installText + "app"));
  EXPECT_EQ(Snapshot(at.scene.tree), Snapshot(expected));
  ExpectNothingStarted(at);
}

// A leftover app_old is never replaced, not even an empty one, though a plain rename on Linux
// would replace an empty directory. No wait mends a folder in the way: it is reported at once.
TEST(ApplyMode, ALeftoverRetiredApplicationFailsTheFirstRename) {
  for (const bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "empty app_old" : "app_old with a file");
    const Installation at("apply-stale");
    fs::create_directories(at.install / "app_old");
    fs::create_directories(at.install / "data");
    if (!empty) WriteText(at.install / "app_old" / "left.txt", "from an earlier update\n");
    const fs::path expected = at.WithLoaderReplaced();
    const Outcome outcome = at.Apply({"--ad", PathToUtf8(at.install)});
    ExpectFailureMessage(outcome, RetireFailed(PathToUtf8(at.install)));
    EXPECT_LT(outcome.firstMessageAfter, kCopyBudget);
    EXPECT_EQ(Snapshot(at.scene.tree), Snapshot(expected));
    ExpectCurrentApplicationStarted(at);
    const std::string install = PathToUtf8(at.install);
    EXPECT_EQ(LogMisses(at.install, {LogFirstLine("apply", at.install),
                                     "copy " + LoaderJoined(at.staging, "Velmora.exe"),
                                     "failed: move " + LoaderJoined(at.install, "app") + " to ", "app_old, error ",
                                     "(1 attempt, ", "failure shown: " + LogEscaped(RetireFailed(install)),
                                     "starting the application " + LoaderJoined(at.install / "app", "velmora.exe")}),
              "");
  }
}

// The message's paths are the user's text: blanks and non-ASCII characters stay as they are.
TEST(ApplyMode, NoApplicationBesideTheRunningLoaderPutsTheOldOneBack) {
  const Installation at("apply-no-new-app", "install \xE6\xB5\x8B\xE8\xAF\x95");
  fs::remove_all(at.staging / "app");
  const fs::path expected = at.WithLoaderReplaced();
  ExpectFailureMessage(at.Apply({"--ad", PathToUtf8(at.install)}),
                       Failure("rename failed", LoaderJoined(at.install, "app"), LoaderJoined(at.staging, "app")));
  EXPECT_EQ(Snapshot(at.scene.tree), Snapshot(expected));
  ExpectCurrentApplicationStarted(at);
}

// "<install>/app/.." names the install directory only while "app" exists: once the first rename
// has moved app away, neither the second rename nor the move back can reach their targets. On
// Windows ".." is resolved in the text, before the file system sees it, so the same command line
// is an ordinary update there.
TEST(ApplyMode, AFailedMoveBackIsReportedAfterTheFailedRename) {
  const Installation at("apply-restore");
  const std::string installText = PathToUtf8(at.install / "app") + kSeparator + "..";
#ifdef _WIN32
  ExpectSilentSuccess(at.Apply({"--ad", installText}));
  ExpectInstalledLoaderRestarted(at);
  EXPECT_EQ(Snapshot(at.scene.tree), at.Updated());
#else
  const fs::path expected = at.WithLoaderReplaced();
  fs::rename(expected / at.install.filename() / "app", expected / at.install.filename() / "app_old");
  const std::string installedApp = installText + kSeparator + "app";
  ExpectFailureMessage(at.Apply({"--ad", installText}),
                       Failure("rename failed", installedApp, LoaderJoined(at.staging, "app")) + "\n" +
                           Failure("restore failed", installedApp, installText + kSeparator + "app_old"));
  EXPECT_EQ(Snapshot(at.scene.tree), Snapshot(expected));
  ExpectNothingStarted(at);
#endif
}

// One run at a time: a staged loader waits while another run holds the installation, and when its
// turn comes it finds the update taken, "app" gone from beside it. It ends quietly, having copied
// and started nothing, also with its own staging directory gone (Linux lets a running program's
// file be removed), and whatever spelling of the install directory it was given: with "." at its
// end, through a link natively, in other letters on Windows.
void ExpectUpdateTakenMeanwhileEndsQuietly(const std::string& spelling) {
  SCOPED_TRACE(spelling);
  const Scene scene("apply-taken");
  const fs::path install = scene.tree / "install";
  const fs::path staging = install / "data" / "update";
  InstallApplication(install / "app", "app v1");
  WriteText(install / "Velmora.exe", "installed loader\n");
  InstallLoader(staging, kStagedMark);
  InstallApplication(staging / "app", "app v2");
  std::string given = PathToUtf8(install) + (spelling == "with . at its end" ? kSeparator + "." : "");
  if (spelling == "another way") {
#ifdef _WIN32
    for (char& c : given) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
#else
    fs::create_directory_symlink(install, scene.root / "link");
    given = PathToUtf8(scene.root / "link");
#endif
  }
  LockHolder holder = HoldInstallationLock(scene, install);

  Started loader = scene.Start(staging / "Velmora.exe", {"--ad", given});
  const std::vector<std::string> before = Snapshot(scene.tree);
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_TRUE(ProcessAlive(loader.Pid())) << "did not wait for the lock";
  EXPECT_EQ(Snapshot(scene.tree), before);
  // What the run that took the update leaves: the new application in place, and the start of
  // the loader it restarted may already have removed the staging directory.
  fs::remove_all(install / "app");
  fs::rename(staging / "app", install / "app");
#ifndef _WIN32
  fs::remove_all(staging);
#endif
  const std::vector<std::string> taken = Snapshot(scene.tree);
  fs::remove(holder.release);

  EXPECT_TRUE(holder.process.Wait(kRunLimit).finished);
  ExpectSilentSuccess(loader.Wait(kRunLimit));
  EXPECT_EQ(Snapshot(scene.tree), taken);
  EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);
  EXPECT_TRUE(scene.Records().empty());
}

TEST(ApplyMode, AnUpdateTakenMeanwhileEndsQuietly) {
  for (const char* spelling : {"as it is", "with . at its end", "another way"}) ExpectUpdateTakenMeanwhileEndsQuietly(spelling);
}

// A lock held by a program that is no loader of this installation, of this user or (natively, as
// root) of another, is not waited for beyond a moment: the update goes in without it, and the
// restarted loader, finding the lock still held and no update being applied, runs the new
// application.
TEST(ApplyMode, ALockHeldByAProgramThatIsNoLoaderIsNotWaitedFor) {
  for (const bool anotherUser : {false, true}) {
    if (anotherUser && !CanHoldLockAsAnotherUser()) {
      std::cout << "left out: the lock held by another user, which needs root natively\n";
      continue;
    }
    SCOPED_TRACE(anotherUser ? "held by nobody" : "held by a program of this user");
    // Run from the installation's own staging directory, where a staged loader that took itself
    // for another loader of the installation would wait for itself for good.
    const Installation at("apply-held", "install", true);
    LockHolder holder = HoldInstallationLock(at.scene, at.install, anotherUser);
    ExpectSilentSuccess(at.Apply({"--ad", PathToUtf8(at.install)}));
    EXPECT_TRUE(WaitUntil([&] { return !RecordsTagged(at.scene.Records(), "app v2").empty(); }, kDetachedLimit));
    EXPECT_EQ(LogMisses(at.install, {LogFirstLine("apply", at.install),
                                     "installation locked by another run past 2.000 s, and no loader of this "
                                     "installation runs: going on without the lock",
                                     LogUpdateInstalled(), "; restarting " + LoaderJoined(at.install, "Velmora.exe"),
                                     "installation locked by another run past 2.000 s, no update being applied"}),
              "");
    EXPECT_TRUE(ProcessAlive(holder.process.Pid()));
    fs::remove(holder.release);
    EXPECT_TRUE(holder.process.Wait(kRunLimit).finished);
    ExpectInstalledLoaderRestarted(at);
    EXPECT_EQ(Snapshot(at.scene.tree), at.Updated());
  }
}
