// Start mode: the real loader run with no arguments in a fresh install folder, with recorders as
// the main application and the staged loader.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/manifest.hpp"
#include "support/process.hpp"
#include "support/scene.hpp"
#include "support/text.hpp"

#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>
#endif


namespace fs = std::filesystem;
using Words = std::vector<std::string>;

namespace {
const std::string kProgramExtension = OwnExecutablePath().extension().string();

class StartMode : public testing::Test {
 protected:
  StartMode() { UseInstallDirectory("install"); }

  // The loader and the main application, installed in a folder of this name in the sandbox.
  void UseInstallDirectory(const std::string& name) {
    install_ = scene_.tree / Utf8ToPath(name);
    InstallLoader(install_);
    InstallApplication(install_ / "app", "main app");
  }

  fs::path MainApplication() const { return install_ / "app" / "velmora.exe"; }
  fs::path Staging() const { return install_ / "data" / "update"; }
  fs::path StagedLoader() const { return Staging() / "Velmora.exe"; }

  void StageLoader() { InstallRecorderAs(StagedLoader(), "staged loader"); }
  void StageApplication() { InstallApplication(Staging() / "app", "app v2"); }

  // A manifest of every file of the staging, as an updater writes it.
  void WriteManifest() const { ::WriteManifest(Staging()); }

  // The loader runs from the scene's own folder unless told otherwise, never the install folder.
  Outcome RunLoader(const Words& arguments = {}, const fs::path& workingDirectory = {}) {
    return scene_.Start(install_ / "Velmora.exe", arguments, workingDirectory).Wait();
  }

  // The loader ended normally, silently, with 0.
  static void ExpectQuietSuccess(const Outcome& outcome) {
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.errors, "");
    EXPECT_TRUE(outcome.messages.empty());
  }

  // The main application ran once, bare, in the install folder, and nothing else ran.
  void ExpectOnlyTheMainApplicationRan() const {
    const std::vector<Record> records = scene_.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tag, "main app");
    EXPECT_EQ(records[0].program, PathToUtf8(MainApplication()));
    EXPECT_EQ(records[0].workingDirectory, PathToUtf8(install_));
    EXPECT_EQ(records[0].arguments, Words{});
  }

  // The staged loader was handed the install folder, in the install folder, and nothing else ran.
  // The hand-over is asynchronous, so its record may arrive after the loader has ended.
  void ExpectOnlyTheHandOver() const {
    const std::vector<Record> records = scene_.WaitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tag, "staged loader");
    EXPECT_EQ(records[0].program, PathToUtf8(StagedLoader()));
    EXPECT_EQ(records[0].workingDirectory, PathToUtf8(install_));
    EXPECT_EQ(records[0].arguments, (Words{"--ad", PathToUtf8(install_)}));
#ifdef _WIN32
    // SW_SHOWNORMAL: Windows gives it to the staged loader's first window, its failure box.
    EXPECT_EQ(records[0].show, "1");
#endif
  }

  // Both rows that start something, in an install folder of this name.
  void ExpectBothRowsIn(const std::string& name) {
    fs::remove_all(install_);
    UseInstallDirectory(name);
    ExpectQuietSuccess(RunLoader());
    ExpectOnlyTheMainApplicationRan();

    fs::remove(scene_.record);
    StageLoader();
    StageApplication();
    ExpectQuietSuccess(RunLoader());
    ExpectOnlyTheHandOver();
  }

  // An incomplete staging folder is removed, "data" and its other entries stay, the main
  // application runs, and the log names the program missing.
  // `why` is the line that says why it goes.
  void ExpectIncompleteStagingRemoved(const std::string& why) {
    WriteText(install_ / "data" / "settings.ini", "kept\n");
    ExpectQuietSuccess(RunLoader());
    ExpectOnlyTheMainApplicationRan();
    EXPECT_FALSE(fs::exists(fs::symlink_status(Staging())));
    EXPECT_EQ(ReadText(install_ / "data" / "settings.ini"), "kept\n");
    EXPECT_EQ(LogMisses(install_, {LogFirstLine("start", install_), why, "removed " + PathToUtf8(Staging())}), "");
  }

  Scene scene_{"start-mode"};
  fs::path install_;
};
}  // namespace

TEST_F(StartMode, NothingStagedRunsTheMainApplicationAndWaitsForIt) {
  fs::create_directories(install_ / "data");
  SetEnvironment("VELMORA_SLEEP_MS", "700");
  // The application's own exit code is not the loader's.
  SetEnvironment("VELMORA_EXIT_CODE", "5");
  const std::vector<std::string> before = Snapshot(install_);

  ExpectQuietSuccess(RunLoader());

  // Had the loader not waited, the application would still be sleeping.
  EXPECT_TRUE(ProcessesRunning(MainApplication()).empty());
  ExpectOnlyTheMainApplicationRan();
  EXPECT_EQ(Snapshot(install_), before);
  EXPECT_EQ(LogTexts(install_), std::vector<std::string>{LogFirstLine("start", install_) + ", nothing staged"});
}

// No "data": no updater has run, and the log is not written.
TEST_F(StartMode, NoDataFolderRunsTheMainApplicationAndCreatesNothing) {
  const std::vector<std::string> before = Snapshot(install_);

  ExpectQuietSuccess(RunLoader());

  ExpectOnlyTheMainApplicationRan();
  EXPECT_EQ(Snapshot(install_), before);
}

// While another run holds the installation, a start waits a moment and then decides on what it
// finds. Held longer by anything but a staged loader of this installation (another user, any
// program: nothing can keep them from taking it), the application runs all the same and the
// staging waits for a later start; held while a staged loader runs, an update is being applied,
// which starts the application when done: the start ends quietly and changes nothing.
TEST_F(StartMode, ALockHeldLongerKeepsTheApplicationFromRunningOnlyWhileAnUpdateIsApplied) {
  StageLoader();
  StageApplication();
  const std::vector<std::string> before = Snapshot(install_);
  for (const bool anotherUser : {false, true}) {
    if (anotherUser && !CanHoldLockAsAnotherUser()) {
      std::cout << "left out: the lock held by another user, which needs root natively\n";
      continue;
    }
    SCOPED_TRACE(anotherUser ? "held by nobody" : "held by a program of this user");
    fs::remove(scene_.record);
    LockHolder holder = HoldInstallationLock(scene_, install_, anotherUser);
    ExpectQuietSuccess(RunLoader());
    ExpectOnlyTheMainApplicationRan();
    EXPECT_EQ(Snapshot(install_), before);
    EXPECT_EQ(LogMisses(install_, {LogFirstLine("start", install_),
                                   "installation locked by another run past 2.000 s, no update being applied: running "
                                   "the application"}),
              "");
    fs::remove(holder.release);
    EXPECT_TRUE(holder.process.Wait().finished);
  }

  fs::remove(scene_.record);
  LockHolder holder = HoldInstallationLock(scene_, install_);
  SetEnvironment("VELMORA_SLEEP_MS", "60000");
  Started stagedLoader = scene_.Start(StagedLoader());
  UnsetEnvironment("VELMORA_SLEEP_MS");
  ASSERT_EQ(scene_.WaitForRecords(1).size(), 1u);
  ExpectQuietSuccess(RunLoader());
  EXPECT_EQ(scene_.Records().size(), 1u) << "started something while an update was applied";
  EXPECT_EQ(LogMisses(install_, {"installation locked by another run past 2.000 s while the staged loader " +
                                 PathToUtf8(StagedLoader()) + " runs: an update is being applied"}),
            "");
  stagedLoader.Wait(std::chrono::milliseconds(0));

  fs::remove(scene_.record);
  Started loader = scene_.Start(install_ / "Velmora.exe");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(ProcessAlive(loader.Pid())) << "did not wait for the lock";
  EXPECT_TRUE(scene_.Records().empty());
  fs::remove(holder.release);

  EXPECT_TRUE(holder.process.Wait().finished);
  ExpectQuietSuccess(loader.Wait());
  ExpectOnlyTheHandOver();
}

// Started from inside "app" (a shortcut's "Start in", or the application updating itself), the
// staged loader still gets the install folder as its current folder: Windows will not rename a
// folder that a process has as its current one.
TEST_F(StartMode, CompleteStagingIsHandedOverWithoutWaitingAndTheMainApplicationDoesNotRun) {
  SetEnvironment("VELMORA_SLEEP_MS", "3000");
  // An unsigned installation takes a staging without a manifest, and one whose files match it.
  for (const bool manifest : {false, true}) {
    SCOPED_TRACE(manifest ? "with a manifest" : "without a manifest");
    fs::remove_all(install_ / "data");
    fs::remove(scene_.record);
    StageLoader();
    StageApplication();
    if (manifest) WriteManifest();
    const std::vector<std::string> before = Snapshot(install_);

    ExpectQuietSuccess(RunLoader({}, install_ / "app"));

    ExpectOnlyTheHandOver();
    // The loader has ended while the staged loader still sleeps.
    EXPECT_EQ(ProcessesRunning(StagedLoader()).size(), 1u);
    EXPECT_EQ(Snapshot(install_), before);
    EndProcessesRunningBelow(install_, std::chrono::seconds(10));
  }
}

// While a program runs from "app" (the application, however started, or a helper of it) nothing
// is handed over: Windows would refuse to replace or rename what it runs from. The start waits a
// moment for it to end, then runs the application and leaves the staging for a later start.
// While a staged loader of this installation runs, an update is being applied: the start ends
// quietly. Found however the loader is reached: through a link natively, in other letters on
// Windows.
TEST_F(StartMode, WhileAProgramOfTheInstallationRunsNothingIsHandedOver) {
  struct Case {
    const char* running;
    fs::path program;
    bool otherSpelling;  // the loader started through another spelling of the install folder
    bool programOtherSpelling = false;  // the running program started so
    bool holds = true;  // whether the program keeps the update from being handed over
  };
  for (const Case& c : {Case{"the application", "app/velmora.exe", false},
                        Case{"a helper of the application", "app/tools/helper.exe", true},
                        Case{"the application started through another spelling", "app/velmora.exe", false, true},
                        Case{"a program of a folder whose name begins with app", "app2/velmora.exe", false, false, false},
                        Case{"a staged loader", "data/update/Velmora.exe", false}}) {
    SCOPED_TRACE(c.running);
    fs::remove_all(install_);
    fs::remove(scene_.record);
    UseInstallDirectory("install");
    StageLoader();
    StageApplication();
    const bool stagedLoader = c.program.filename() == "Velmora.exe";
    if (!fs::exists(install_ / c.program)) InstallRecorderAs(install_ / c.program, "running");
    // In other letters on Windows, through a link natively.
    const auto otherSpelling = [&](const fs::path& path) {
#ifdef _WIN32
      std::string upper = PathToUtf8(path);
      for (char& letter : upper) letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
      return Utf8ToPath(upper);
#else
      if (!fs::exists(scene_.root / "link")) fs::create_directory_symlink(install_, scene_.root / "link");
      return scene_.root / "link" / path.lexically_relative(install_);
#endif
    };
    const fs::path loader = c.otherSpelling ? otherSpelling(install_ / "Velmora.exe") : install_ / "Velmora.exe";
    SetEnvironment("VELMORA_SLEEP_MS", "60000");
    Started running = scene_.Start(c.programOtherSpelling ? otherSpelling(install_ / c.program) : install_ / c.program);
    UnsetEnvironment("VELMORA_SLEEP_MS");
    ASSERT_EQ(scene_.WaitForRecords(1).size(), 1u);
    const std::size_t applicationRuns = RecordsTagged(scene_.Records(), "main app").size();
    const std::vector<std::string> before = Snapshot(install_);

    const Clock::time_point started = Clock::now();
    ExpectQuietSuccess(scene_.Start(loader).Wait());
    const std::vector<Record> records = scene_.Records();
    const fs::path program = (install_ / c.program).make_preferred();
    if (!c.holds) {
      EXPECT_LT(Clock::now() - started, std::chrono::seconds(3)) << "waited for a program of another folder";
      EXPECT_EQ(RecordsTagged(scene_.WaitForRecords(2), "staged loader").size(), 1u);
      EXPECT_EQ(LogMisses(install_, {"handing over to " + PathToUtf8(StagedLoader())}), "");
      running.Wait(std::chrono::milliseconds(0));
      continue;
    }
    if (stagedLoader) {
      EXPECT_EQ(records.size(), 1u);
      EXPECT_EQ(LogMisses(install_, {"the staged loader runs already (" + PathToUtf8(program) + ")"}), "");
    } else {
      EXPECT_GE(Clock::now() - started, std::chrono::seconds(3)) << "did not wait for the program to end";
      EXPECT_EQ(RecordsTagged(records, "main app").size(), applicationRuns + 1);
      EXPECT_TRUE(RecordsTagged(records, "staged loader").empty());
      // Named as it was started: through a link resolved natively, in its letters on Windows.
      EXPECT_EQ(LogMisses(install_, {"staging " + PathToUtf8(Staging().make_preferred()) + " complete",
                                     "installation in use by " + PathToUtf8(program) + ", waited 3.",
                                     "running the application, the staging waits for a later start"},
                          c.otherSpelling || c.programOtherSpelling),
                "");
    }
    EXPECT_EQ(Snapshot(install_), before);

    running.Wait(std::chrono::milliseconds(0));
    fs::remove(scene_.record);
    fs::remove(scene_.root / "link");
    ExpectQuietSuccess(RunLoader());
    ExpectOnlyTheHandOver();
  }
}

// An update stopped between its two renames leaves "app_old" without "app"; one stopped before it
// removed "app_old" leaves both. Either is finished first, and a complete update is then handed
// over as usual.
TEST_F(StartMode, AnInterruptedUpdateIsFinishedFirst) {
  struct Case {
    const char* state;
    bool app;
    bool staged;
  };
  for (const Case& c : {Case{"app_old without app", false, false}, Case{"app_old without app, update staged", false, true},
                        Case{"app and app_old", true, false}, Case{"app and app_old, update staged", true, true}}) {
    SCOPED_TRACE(c.state);
    fs::remove_all(install_);
    fs::remove(scene_.record);
    UseInstallDirectory("install");
    if (c.app) {
      InstallApplication(install_ / "app_old", "retired app");
      WriteText(install_ / "app_old" / "data" / "left.txt", "from the old version\n");
    } else {
      fs::rename(install_ / "app", install_ / "app_old");
    }
    if (c.staged) {
      StageLoader();
      StageApplication();
    }
    fs::create_directories(install_ / "data");
    fs::remove_all(scene_.root / "expected");
    const fs::path expected = scene_.CopyOfTree("expected") / "install";
    fs::remove_all(expected / "app_old");
    InstallApplication(expected / "app", "main app");

    ExpectQuietSuccess(RunLoader());

    if (c.staged) {
      ExpectOnlyTheHandOver();
    } else {
      ExpectOnlyTheMainApplicationRan();
    }
    EXPECT_EQ(Snapshot(install_), Snapshot(expected));
    const std::string old = PathToUtf8(install_ / "app_old");
    EXPECT_EQ(LogMisses(install_, {"interrupted update found: " + old,
                                   c.app ? "removed " + old : "; moved it back (1 attempt, ",
                                   c.staged ? "handing over" : "nothing staged"}),
              "");
  }
}

// A file system mounted below a leftover "app_old" is not the installation's: its removal never
// enters it, and until it is unmounted the start runs the application instead of handing over an
// update that would fail on "app_old". On Windows a mount point is a reparse point, which the
// removal takes for a link.
TEST_F(StartMode, TheRemovalOfAnOldApplicationNeverEntersAnotherFileSystem) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine cannot mount a volume in a folder";
#else
  // A mount namespace of this test's own, gone with it.
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "mounting a file system needs root";
  }
  StageLoader();
  StageApplication();
  InstallApplication(install_ / "app_old", "retired app");
  const fs::path mounted = install_ / "app_old" / "cache dir";
  fs::create_directories(mounted);
  ASSERT_EQ(::mount("velmora-test", mounted.c_str(), "tmpfs", 0, nullptr), 0);
  const std::shared_ptr<void> unmount(nullptr, [&](void*) { ::umount2(mounted.c_str(), MNT_DETACH); });
  fs::create_directories(mounted / "lib");
  WriteText(mounted / "lib" / "kept.txt", "not the installation's\n");
  fs::permissions(mounted / "lib", fs::perms::owner_read | fs::perms::owner_exec);
  const std::vector<std::string> before = Snapshot(mounted);

  ExpectQuietSuccess(RunLoader());

  ExpectOnlyTheMainApplicationRan();
  EXPECT_EQ(Snapshot(mounted), before);
  EXPECT_EQ(fs::status(mounted / "lib").permissions(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_TRUE(fs::exists(Staging() / "app" / "velmora.exe"));

  ASSERT_EQ(::umount(mounted.c_str()), 0);
  fs::remove(scene_.record);
  ExpectQuietSuccess(RunLoader());
  ExpectOnlyTheHandOver();
  EXPECT_FALSE(fs::exists(install_ / "app_old"));
#endif
}

// A staging counts only when its loader and its application could run: a folder at either
// program's name, or a missing one, makes it incomplete. Applied, an "app" without its program
// would replace a working application with one that cannot start.
TEST_F(StartMode, AnIncompleteOrAlteredStagingIsRemovedAndTheMainApplicationRuns) {
  const fs::path app = Staging() / "app";
  const std::string integrity = "staging refused for its integrity (stage it again, downloaded anew): ";
  const std::string origin = "staging refused for its origin (never stage these files again): ";
  const auto staged = [&](const std::function<void()>& add = [] {}) {
    StageLoader();
    StageApplication();
    add();
  };
  // A complete staging with a file of this very name (joined as text: to the library "a:b" is a
  // root name, which a join does not put below a folder).
  const auto stagedWith = [&](const char* name) {
    return [&, name] {
      staged([&] { WriteTextExactly(app.native() + fs::path::preferred_separator + Utf8ToPath(name).native(), "x\n"); });
    };
  };
  struct Case {
    const char* state;
    std::function<void()> make;
    std::string refusal = {};  // the check's line, for a complete staging
    bool stays = false;        // its removal leaves it: refused again at every start
  };
  const std::vector<Case> cases = {
      {"only a loader", [&] { StageLoader(); }},
      {"only an app", [&] { StageApplication(); }},
      {"empty", [&] { fs::create_directories(Staging()); }},
      {"a file",
       [&] {
         fs::create_directories(Staging().parent_path());
         WriteText(Staging(), "not a folder\n");
       }},
      {"a loader that is a folder",
       [&] {
         fs::create_directories(StagedLoader());
         StageApplication();
       }},
      {"an app that is a file",
       [&] {
         StageLoader();
         WriteText(app, "not a folder\n");
       }},
      {"an app without its program",
       [&] {
         StageLoader();
         fs::create_directories(app);
         WriteText(app / "readme.txt", "the program was quarantined\n");
       }},
      {"an app whose program is a folder",
       [&] {
         StageLoader();
         fs::create_directories(app / "velmora.exe");
       }},
      // A torn or altered download never goes in, signed or not.
      {"a file that does not match the manifest",
       [&] {
         staged([&] { WriteManifest(); });
         WriteText(app / "tag.txt", "app v3\n");
       },
       integrity + "a file does not match its hash: app/tag.txt; unsigned installation; verdict refused-integrity"},
      // Names Windows maps to something else, or cannot hold: refused before anything is read,
      // manifest or none, on every platform alike.
      {"a device name", stagedWith("nul.txt"),
       origin + "a name Windows cannot hold: app/nul.txt; unsigned installation; verdict refused-origin"},
      {"a device name whatever follows its dot", stagedWith("aux.txt"),
       origin + "a name Windows cannot hold: app/aux.txt"},
      // Under Wine the removal finds a name with a trailing dot at another final path, as if it
      // were a link, and leaves it.
      {"a trailing dot", stagedWith("readme."), origin + "a name Windows cannot hold: app/readme.",
       !kProgramExtension.empty()},
      {"a colon", stagedWith("a:b"), origin + "a name Windows cannot hold: app/a:b"},
      {"a device name in the manifest",
       [&] {
         staged([&] { WriteManifest(); });
         WriteText(Staging() / "SHA256SUMS", ReadText(Staging() / "SHA256SUMS") + std::string(64, '0') + "  app/con\n");
       },
       origin + "a name Windows cannot hold: app/con; unsigned installation; verdict refused-origin, SHA256SUMS "},
#ifndef _WIN32
      // Wine 8 shows a link to a file as that file.
      {"a link", [&] { staged([&] { fs::create_symlink("tag.txt", app / "link.txt"); }), WriteManifest(); },
       integrity + "a link or a special file: app/link.txt; unsigned installation; verdict refused-integrity"},
      {"a second name of a file outside",
       [&] {
         WriteText(scene_.root / "shared.txt", "the outside's\n");
         staged([&] { fs::create_hard_link(scene_.root / "shared.txt", app / "lib.txt"); });
         WriteManifest();
       },
       integrity + "a link or a special file: app/lib.txt"},
#endif
      // Far deeper than the loader's descriptors (512 here, below) would let a walk or a removal go
      // that held one per folder; on Windows past MAX_PATH, where Wine cannot read a handle's final
      // path: refused, and gone after that start.
      {"folders nested deeper than a path and a descriptor limit reach",
       [&] {
         staged();
         fs::path deep = app;
         for (int level = 0; level < (kProgramExtension.empty() ? 1500 : 130); ++level) CreateFolderExactly(deep /= "d");
       },
       origin + "below more than 64 folders: app/d"},
  };
#ifndef _WIN32
  rlimit descriptors{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &descriptors), 0);
  const rlimit few{std::min<rlim_t>(descriptors.rlim_cur, 512), descriptors.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  const std::shared_ptr<void> restore(nullptr, [&](void*) { ::setrlimit(RLIMIT_NOFILE, &descriptors); });
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    ASSERT_TRUE(RemoveTreeExactly(install_ / "data"));
    fs::remove(scene_.record);
    c.make();
    if (c.stays) {
      ExpectQuietSuccess(RunLoader());
      ExpectOnlyTheMainApplicationRan();
      EXPECT_TRUE(fs::exists(Staging()));
      EXPECT_EQ(LogMisses(install_, {c.refusal}), "");
      continue;
    }
    // The loader is looked at first: where it is a file, the application's program is missing.
    const fs::path missing = fs::is_regular_file(StagedLoader()) ? app / "velmora.exe" : StagedLoader();
    ExpectIncompleteStagingRemoved(!c.refusal.empty() ? c.refusal
                                                      : "staging " + PathToUtf8(Staging()) + " incomplete: " +
                                                            PathToUtf8(missing) + " missing or a folder");
  }
  EXPECT_EQ(ReadText(scene_.root / "shared.txt"), kProgramExtension.empty() ? "the outside's\n" : "");
}

// A staging that cannot be read now (here by a loader whose user may not read its manifest or a
// file of it) is kept as it is, and checked again at the next start; the application runs.
TEST_F(StartMode, AStagingThatCannotBeReadNowIsKeptAndTheMainApplicationRuns) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine runs every program as one user, whom no permission stops";
#else
  // Root reads anything: as root the loader runs as nobody, who owns the installation.
  const bool asNobody = ::geteuid() == 0;
  for (const auto& [unreadable, line] :
       std::vector<std::pair<std::string, std::string>>{
           {"SHA256SUMS", "the manifest could not be read, error 13; unsigned installation; verdict kept"},
           {"app/tag.txt", "a file could not be read: app/tag.txt, error 13; unsigned installation; verdict kept, "
                           "SHA256SUMS "}}) {
    SCOPED_TRACE(unreadable);
    fs::remove_all(install_ / "data");
    fs::remove(scene_.record);
    StageLoader();
    StageApplication();
    WriteManifest();
    fs::permissions(Staging() / unreadable, fs::perms::none);
    if (asNobody) {
      ASSERT_EQ(std::system(("chown -R 65534:65534 '" + PathToUtf8(install_) + "'").c_str()), 0);
      fs::permissions(scene_.out, fs::perms::all);
    }
    const std::vector<std::string> before = Snapshot(install_);
    ExpectQuietSuccess(asNobody ? scene_.Start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                                   "--", PathToUtf8(install_ / "Velmora.exe")})
                                      .Wait()
                                : RunLoader());
    ExpectOnlyTheMainApplicationRan();
    EXPECT_EQ(Snapshot(install_), before);
    EXPECT_EQ(LogMisses(install_, {"staging kept for a later start: cannot be checked now: " + line}), "");
  }
#endif
}

// A staging whose folders its owner may not enter or change, and whose files are read-only (kept
// from a read-only medium, say), is removed whole all the same, each opened up on the way: as the
// owner natively (root ignores rights: the loader runs as nobody, who owns it), by the read-only
// attribute on Windows.
TEST_F(StartMode, AStagingItsOwnerMayNotChangeIsRemovedWhole) {
  StageLoader();
  const fs::path app = Staging() / "app";
  fs::create_directories(app / "locked" / "deeper");
  fs::create_directories(app / "sealed");
  WriteText(app / "locked" / "deeper" / "a.txt", "a\n");
  WriteText(app / "sealed" / "b.txt", "b\n");
  fs::permissions(app / "sealed" / "b.txt", fs::perms::owner_read);
  fs::permissions(app / "sealed", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(app / "locked", fs::perms::none);
#ifdef _WIN32
  const bool asNobody = false;
#else
  const bool asNobody = ::geteuid() == 0;
  if (asNobody) {
    ASSERT_EQ(std::system(("chown -R 65534:65534 '" + PathToUtf8(install_) + "'").c_str()), 0);
    fs::permissions(scene_.out, fs::perms::all);
  }
#endif
  ExpectQuietSuccess(asNobody ? scene_.Start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                                 "--", PathToUtf8(install_ / "Velmora.exe")})
                                    .Wait()
                              : RunLoader());
  ExpectOnlyTheMainApplicationRan();
  EXPECT_FALSE(fs::exists(fs::symlink_status(Staging())));
  EXPECT_EQ(LogMisses(install_, {"removed " + PathToUtf8(Staging())}), "");
}

TEST_F(StartMode, AMissingMainApplicationIsReportedOnStandardOutputOnly) {
  fs::remove(MainApplication());
  fs::create_directories(install_ / "data");

  const Outcome outcome = RunLoader();

  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, "CreateProcess failed (2).\n");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_TRUE(scene_.Records().empty());
  EXPECT_EQ(LogMisses(install_, {"the application " + PathToUtf8(MainApplication()) + " could not be started, error 2"}),
            "");
}

TEST_F(StartMode, AMissingAppFolderIsReportedWithThePlatformsOwnNumber) {
  fs::remove_all(install_ / "app");

  const Outcome outcome = RunLoader();

  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
#ifdef _WIN32
  // Windows tells a missing folder (ERROR_PATH_NOT_FOUND) from a missing file.
  EXPECT_EQ(outcome.output, "CreateProcess failed (3).\n");
#else
  EXPECT_EQ(outcome.output, "CreateProcess failed (2).\n");
#endif
  EXPECT_TRUE(outcome.messages.empty());
}

TEST_F(StartMode, AFileHeldBelowAnIncompleteStagingFolderDoesNotStopTheMainApplication) {
  const fs::path held = Staging() / "tools" / "held.exe";
  InstallRecorderAs(held, "held");
  SetEnvironment("VELMORA_SLEEP_MS", "60000");
  Started holder = scene_.Start(held);
  ASSERT_EQ(scene_.WaitForRecords(1).size(), 1u);
  UnsetEnvironment("VELMORA_SLEEP_MS");
  fs::remove(scene_.record);

  const Outcome outcome = RunLoader();
  const bool heldStillRan = ProcessAlive(holder.Pid());
  holder.Wait(std::chrono::milliseconds(0));

  ExpectQuietSuccess(outcome);
  ExpectOnlyTheMainApplicationRan();
  EXPECT_TRUE(heldStillRan);
#ifdef _WIN32
  // A running program's file cannot be deleted: the removal stops there and what is left stays.
  EXPECT_TRUE(fs::exists(held));
#else
  // Nothing holds a file against deletion here: the removal completes.
  EXPECT_FALSE(fs::exists(Staging()));
#endif
  EXPECT_TRUE(fs::is_directory(install_ / "data"));
}

// A symbolic link that loops makes an existence test fail (ELOOP) rather than answer: the staging
// is kept, untouched, for a later start.
TEST_F(StartMode, AFailingExistenceTestNeverHandsOverAndRemovesNothing) {
#ifdef _WIN32
  GTEST_SKIP() << "a Unix link that loops is not found at all under Wine";
#else
  StageLoader();
  StageApplication();
  fs::remove(StagedLoader());
  fs::create_symlink("Velmora.exe", StagedLoader());

  ExpectQuietSuccess(RunLoader());

  ExpectOnlyTheMainApplicationRan();
  EXPECT_TRUE(fs::is_symlink(StagedLoader()));
  EXPECT_TRUE(fs::exists(Staging() / "app" / "velmora.exe"));
  EXPECT_EQ(LogMisses(install_, {"staging kept for a later start: cannot be checked now: the staging could not be "
                                 "tested or removed: " + PathToUtf8(StagedLoader()) + ", error 40"}),
            "");
#endif
}

// A link where "data", the staging directory or a leftover "app_old" should be is never followed:
// not to check, hand over or remove what it points to, nor to write the log there. The staging is
// refused and only the link is removed; Wine removes a Unix link only by deleting what it points
// to, so there the link stays, and the log says so once.
TEST_F(StartMode, ALinkAtTheStagingDataOrAnOldApplicationIsNeverFollowed) {
  struct Case {
    const char* state;
    const char* link;    // below the installation
    const char* target;  // below the folder outside
  };
  int round = 0;
  for (const Case& c : {Case{"data/update a link to a complete staging", "data/update", "update"},
                        Case{"data/update a link to a file", "data/update", "notes.txt"},
                        Case{"data a link to a folder with a complete staging", "data", ""},
                        Case{"app_old a link to an application beside app", "app_old", "app"}}) {
    SCOPED_TRACE(c.state);
    UseInstallDirectory("install " + std::to_string(++round));
    fs::remove(scene_.record);
    const fs::path outside = scene_.root / ("elsewhere " + std::to_string(round));
    InstallRecorderAs(outside / "update" / "Velmora.exe", "staged loader");
    InstallApplication(outside / "update" / "app", "app v2");
    InstallApplication(outside / "app", "outside app");
    WriteText(outside / "notes.txt", "the user's own\n");
    const fs::path link = (install_ / c.link).make_preferred();
    const bool app_old = std::string(c.link) == "app_old";
    if (std::string(c.link) != "data") fs::create_directories(install_ / "data");
    ASSERT_TRUE(MakeLink(outside / c.target, link));
    const std::shared_ptr<void> unlink(nullptr, [&](void*) { RemoveLink(link); });
    if (app_old) {
      StageLoader();
      StageApplication();
    }
    const std::vector<std::string> before = Snapshot(outside);

    ExpectQuietSuccess(RunLoader());

    if (app_old && !UnderWine()) {
      ExpectOnlyTheHandOver();
    } else {
      ExpectOnlyTheMainApplicationRan();
    }
    EXPECT_EQ(Snapshot(outside), before);
    EXPECT_EQ(fs::exists(fs::symlink_status(link)), UnderWine());
    const std::string left = PathToUtf8(link) + " is a link, left in place: this system removes it only by reaching "
                                                "what it points to";
    if (std::string(c.link) == "data/update") {
      EXPECT_EQ(LogMisses(install_, {"staging refused for its integrity (stage it again, downloaded anew): a link or a "
                                     "special file: " + PathToUtf8(link),
                                     UnderWine() ? left : "removed " + PathToUtf8(link)}),
                "");
    } else if (app_old) {
      EXPECT_EQ(LogMisses(install_, {UnderWine() ? left + "; the staging waits for a later start"
                                                 : "removed " + PathToUtf8(link)}),
                "");
    }
  }
}

// Whatever the handling of a staging throws (here: no memory for a manifest of 60 MB under a
// limit of 32 MB), the staging is kept for a later start, untouched, and the application runs.
TEST_F(StartMode, AStagingWhoseHandlingFailsUnexpectedlyIsKeptAndTheApplicationRuns) {
#ifdef _WIN32
  GTEST_SKIP() << "a process's memory is limited natively only";
#else
  StageLoader();
  StageApplication();
  WriteText(Staging() / "SHA256SUMS", "");
  fs::resize_file(Staging() / "SHA256SUMS", 60 << 20);
  const std::vector<std::string> before = Snapshot(install_);

  ExpectQuietSuccess(
      scene_.Start("/usr/bin/prlimit", {"--as=" + std::to_string(32 << 20), "--", PathToUtf8(install_ / "Velmora.exe")})
          .Wait());

  ExpectOnlyTheMainApplicationRan();
  EXPECT_EQ(Snapshot(install_), before);
  EXPECT_EQ(LogMisses(install_, {"staging kept for a later start: cannot be checked now: an unexpected error "
                                 "(std::bad_alloc); unsigned installation; verdict kept"}),
            "");
#endif
}

TEST_F(StartMode, AStagedLoaderTheShellCannotStartLeavesTheStagingAndRunsTheMainApplication) {
  fs::create_directories(Staging());
  WriteText(StagedLoader(), "not a program\n");
  StageApplication();
  const std::vector<std::string> before = Snapshot(install_);

  ExpectQuietSuccess(RunLoader());

  ExpectOnlyTheMainApplicationRan();
  EXPECT_EQ(Snapshot(install_), before);
}

TEST_F(StartMode, AStagedLoaderWithoutTheExecBitLeavesTheStagingAndRunsTheMainApplication) {
#ifdef _WIN32
  GTEST_SKIP() << "only POSIX has an exec bit";
#else
  StageLoader();
  StageApplication();
  fs::permissions(StagedLoader(), fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::remove);
  const std::vector<std::string> before = Snapshot(install_);

  ExpectQuietSuccess(RunLoader());

  ExpectOnlyTheMainApplicationRan();
  EXPECT_EQ(Snapshot(install_), before);
#endif
}

TEST_F(StartMode, AnInstallFolderWithBlanks) { ExpectBothRowsIn("Velmora install  dir"); }

TEST_F(StartMode, AnInstallFolderWithNonAsciiCharacters) {
  ExpectBothRowsIn("Velmora \xE6\xB5\x8B\xE8\xAF\x95 dir");
}

// Windows names cannot hold these; on POSIX the hand-over's quoting must bring them back exactly.
TEST_F(StartMode, AnInstallFolderWithQuotesBackslashesAndALineFeed) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows folder names hold no quote or line feed";
#else
  ExpectBothRowsIn("Velmora \"quoted\" back\\slash\\\" \\\\ line\nfeed");
#endif
}

TEST_F(StartMode, AnInstallFolderEndingInBackslashes) {
#ifdef _WIN32
  GTEST_SKIP() << "a backslash separates Windows folder names";
#else
  ExpectBothRowsIn("Velmora dir\\\\");
#endif
}

TEST_F(StartMode, RejectedCommandLinesTouchNothingAndStartNothing) {
  // Start mode would remove this incomplete staging folder and run the main application.
  StageApplication();
  const std::vector<std::string> before = Snapshot(install_);

  for (const Words& arguments : {Words{"--pid", "abc"}, Words{"--ad"}, Words{"--pid", "4294967296"},
                                 Words{"--ad", PathToUtf8(install_), "--pid", "x"}, Words{"--pid=-1"},
                                 Words{"--ad", PathToUtf8(install_), "--pid=-4294967295"}}) {
    const Outcome outcome = RunLoader(arguments);
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exitCode, 2) << arguments[0];
    EXPECT_NE(outcome.errors, "") << arguments[0];
    EXPECT_TRUE(outcome.messages.empty());
  }

  EXPECT_EQ(Snapshot(install_), before);
  EXPECT_TRUE(scene_.Records().empty());
}

TEST_F(StartMode, HelpTouchesNothingAndStartsNothing) {
  StageApplication();
  const std::vector<std::string> before = Snapshot(install_);

  for (const Words& arguments : {Words{"--help"}, Words{"-h"}, Words{"--help", "--ad", PathToUtf8(install_)}}) {
    const Outcome outcome = RunLoader(arguments);
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exitCode, 1) << arguments[0];
    EXPECT_EQ(outcome.output, "");
    EXPECT_TRUE(outcome.messages.empty());
  }

  EXPECT_EQ(Snapshot(install_), before);
  EXPECT_TRUE(scene_.Records().empty());
}

TEST_F(StartMode, UnknownArgumentsStillRunStartMode) {
  StageApplication();

  ExpectQuietSuccess(RunLoader({"--unknown", "word"}));

  ExpectOnlyTheMainApplicationRan();
  EXPECT_FALSE(fs::exists(Staging()));
}
