// The whole update cycle from outside: the installed loader hands a staged update to the staged
// loader, which installs it and restarts the installed loader, which runs the new application.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/apply_fixture.hpp"
#include "support/installation.hpp"
#include "support/process.hpp"
#include "support/sandbox.hpp"
#include "support/text.hpp"

namespace fs = std::filesystem;

namespace {
using std::chrono::seconds;

constexpr seconds kRunLimit(30);
// The runs after the first are detached: they are waited for through what they leave behind.
constexpr seconds kDetachedLimit(20);
const char kStagedMark[] = "staged loader, next version";

// Installs the loader under test with app v1 in `installName` below a fresh sandbox, stages a
// marked loader with app v2 in data/update, starts the installed loader without arguments and
// checks everything the cycle leaves behind.
void RunUpdateCycle(const std::string& installName) {
  const Scene scene("cycle");
  const fs::path install = scene.tree / Utf8ToPath(installName);
  InstallLoader(install);
  InstallApplication(install / "app", "app v1");
  InstallMarkedLoader(install / "data" / "update", kStagedMark);
  InstallApplication(install / "data" / "update" / "app", "app v2");

  const Outcome first = Started(StartProgram(install / "Velmora.exe", {}, scene.out, scene.out)).Wait(kRunLimit);
  EXPECT_TRUE(first.finished);
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_TRUE(first.messages.empty());
  EXPECT_EQ(first.output, "");
  EXPECT_EQ(first.errors, "");

  EXPECT_TRUE(WaitUntil(
      [&] { return !RecordsTagged(scene.Records(), "app v2").empty() && !fs::exists(install / "data" / "update"); },
      kDetachedLimit));
  EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);

  const std::vector<Record> runs = scene.Records();
  ASSERT_EQ(runs.size(), 1u) << "only the new application runs, once";
  EXPECT_EQ(runs[0].tag, "app v2");
  EXPECT_EQ(runs[0].program, PathToUtf8(install / "app" / "velmora.exe"));
  EXPECT_EQ(runs[0].workingDirectory, PathToUtf8(install));
  EXPECT_TRUE(runs[0].arguments.empty());

  // The staged loader is installed byte for byte, app v2 replaced app v1, app_old and the staging
  // directory are gone, and "data" stays.
  const fs::path expected = scene.root / "expected";
  InstallMarkedLoader(expected, kStagedMark);
  InstallApplication(expected / "app", "app v2");
  fs::create_directories(expected / "data");
  EXPECT_EQ(Snapshot(install), Snapshot(expected));
  EXPECT_TRUE(ReadText(install / "Velmora.exe") == ReadText(expected / "Velmora.exe"));
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
