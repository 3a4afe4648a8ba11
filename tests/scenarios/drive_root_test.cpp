// A loader at the root of a drive, under Wine: drive Q: is an empty folder that
// scripts/with-wine-display.sh maps for these tests alone. The loader is started from another
// folder of that drive, which holds a data\update of its own that must stay as it is.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/scene.hpp"
#include "support/text.hpp"

namespace fs = std::filesystem;

namespace {
const fs::path kRoot = L"Q:\\";

class DriveRoot : public testing::Test {
 protected:
  DriveRoot() {
    if (!fs::is_directory(kRoot)) throw std::runtime_error("no drive Q: (run under scripts/with-wine-display.sh)");
    Clear();
    InstallLoader(kRoot);
    InstallApplication(kRoot / "app", "app v1");
    InstallRecorderAs(kWork / "data" / "update" / "app" / "velmora.exe", "the user's own");
    WriteText(kWork / "data" / "update" / "notes.txt", "the user's file\n");
    work_ = Snapshot(kWork);
  }
  ~DriveRoot() override {
    EndProcessesRunningBelow(kRoot, std::chrono::seconds(10));
    Clear();
  }

  // An empty drive root has no entries at all, not even "." and "..": the listing fails.
  static void Clear() {
    std::error_code empty;
    for (auto it = fs::directory_iterator(kRoot, empty); !empty && it != fs::directory_iterator(); it.increment(empty)) {
      fs::remove_all(it->path());
    }
  }

  // The loader at the root runs from Q:\work and exits at once, quietly.
  void RunLoader() const {
    const Outcome outcome = Started(StartProgram(kRoot / "Velmora.exe", {}, kWork, scene_.out)).Wait();
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.output, "");
    EXPECT_TRUE(outcome.messages.empty());
  }

  // `tag` ran from Q:\app with Q:\ as its working directory, and Q:\work is as it was.
  void ExpectApplicationRan(const std::string& tag) const {
    EXPECT_TRUE(WaitUntil([&] { return !RecordsTagged(scene_.Records(), tag).empty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(EndProcessesRunningBelow(kRoot, std::chrono::seconds(20)), 0u);
    const std::vector<Record> records = scene_.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tag, tag);
    EXPECT_EQ(records[0].program, "Q:\\app\\velmora.exe");
    EXPECT_EQ(records[0].workingDirectory, "Q:\\");
    EXPECT_TRUE(records[0].arguments.empty());
    EXPECT_EQ(Snapshot(kWork), work_);
  }

  const fs::path kWork = kRoot / "work";
  Scene scene_{"drive-root"};
  std::vector<std::string> work_;
};
}  // namespace

TEST_F(DriveRoot, RunsTheApplicationAtTheRootAndLeavesTheCurrentFolderAlone) {
  RunLoader();
  ExpectApplicationRan("app v1");
  EXPECT_TRUE(fs::exists(kRoot / "Velmora.exe"));
}

// The hand-over passes "Q:\" with its backslash doubled before the closing quote, and the staged
// loader installs the update at the root.
TEST_F(DriveRoot, AppliesAnUpdateAtTheRoot) {
  InstallLoader(kRoot / "data" / "update", "staged loader");
  InstallApplication(kRoot / "data" / "update" / "app", "app v2");
  const fs::path expected = scene_.root / "expected";
  InstallLoader(expected, "staged loader");

  RunLoader();

  ExpectApplicationRan("app v2");
  EXPECT_EQ(ReadText(kRoot / "Velmora.exe"), ReadText(expected / "Velmora.exe"));
  EXPECT_FALSE(fs::exists(kRoot / "data" / "update"));
  EXPECT_FALSE(fs::exists(kRoot / "app_old"));
}
