// The whole update cycle from outside: the installed loader hands a staged update to the staged
// loader, which installs it and restarts the installed loader, which runs the new application.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
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

  // The staged loader is installed byte for byte, app v2 replaced app v1, app_old and the staging
  // directory are gone, and "data" stays.
  const fs::path expected = scene.root / "expected";
  fs::remove_all(expected);
  InstallLoader(expected, kStagedMark);
  InstallApplication(expected / "app", "app v2");
  fs::create_directories(expected / "data");
  EXPECT_EQ(Snapshot(install), Snapshot(expected));
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
