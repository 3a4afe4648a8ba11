// A signed installation takes only an update its publisher signed whole, never an older one, and
// keeps one it cannot check now: the real loader, signed with throw-away certificates, starting in
// installations with stagings made by scripts/sign-update.sh, under Wine.
// tests/release/update_origin.sh makes the signed files and runs this with VELMORA_SIGNED_FIXTURES.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/scene.hpp"
#include "support/text.hpp"

namespace fs = std::filesystem;

namespace {
constexpr std::chrono::seconds kDetachedLimit(20);

enum class Verdict { kTaken, kRefused, kKept };

fs::path Fixtures() {
  const char* fixtures = std::getenv("VELMORA_SIGNED_FIXTURES");
  return fixtures != nullptr ? Utf8ToPath(fixtures) : fs::path();
}

// An installation of `loader` and `application` ("app v1"), with the staging `staging` of the fixtures.
fs::path Install(const Scene& scene, const std::string& loader, const std::string& application,
                 const std::string& staging) {
  const fs::path install = scene.tree / "Velmora";
  fs::create_directories(install / "app");
  fs::copy_file(Fixtures() / loader, install / "Velmora.exe");
  fs::copy_file(Fixtures() / application, install / "app" / "velmora.exe");
  WriteText(install / "app" / "tag.txt", "app v1\n");
  fs::create_directories(install / "data");
  fs::copy(Fixtures() / "stagings" / staging, install / "data" / "update", fs::copy_options::recursive);
  return install;
}

// Starts the loader and checks that it ran `ran` and showed nothing; a taken update leaves the
// staged loader installed and the staging gone.
void StartAndExpect(const Scene& scene, const fs::path& install, const std::string& ran, std::size_t runs) {
  const Outcome outcome = scene.Start(install / "Velmora.exe").Wait();
  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_TRUE(WaitUntil([&] { return RecordsTagged(scene.Records(), ran).size() == 1; }, kDetachedLimit));
  EXPECT_EQ(EndProcessesRunningBelow(install, kDetachedLimit), 0u);
  EXPECT_EQ(scene.Records().size(), runs);
}
}  // namespace

TEST(Publisher, ASignedInstallationTakesOnlyAWholeUpdateOfItsPublisher) {
  if (Fixtures().empty()) GTEST_SKIP() << "needs the signed files of tests/release/update_origin.sh";
  struct Row {
    const char* installedLoader;
    const char* staging;
    Verdict outcome;
    const char* line;  // what the log says of it
  };
  const char* const taken = "staging taken";
  const char* const integrity = "staging refused for its integrity";
  const char* const origin = "staging refused for its origin";
  for (const Row& row : {Row{"signed.exe", "whole", Verdict::kTaken, taken},
                         Row{"signed.exe", "renewed", Verdict::kTaken, taken},
                         Row{"signed.exe", "changed", Verdict::kRefused, integrity},
                         Row{"signed.exe", "unlisted", Verdict::kRefused, integrity},
                         Row{"signed.exe", "missing", Verdict::kRefused, integrity},
                         Row{"signed.exe", "extended", Verdict::kRefused, integrity},
                         Row{"signed.exe", "no-manifest", Verdict::kRefused, integrity},
                         Row{"signed.exe", "unsigned-manifest", Verdict::kRefused, integrity},
                         Row{"signed.exe", "other-manifest", Verdict::kRefused, origin},
                         Row{"signed.exe", "other-loader", Verdict::kRefused, origin},
                         Row{"signed.exe", "tampered", Verdict::kRefused, origin},
                         Row{"signed.exe", "older", Verdict::kRefused, origin},
                         // Windows would take it once it trusts that root: never thrown away.
                         Row{"signed.exe", "foreign", Verdict::kKept, "staging kept for a later start"},
                         Row{"unsigned.exe", "plain", Verdict::kTaken, taken},
                         Row{"unsigned.exe", "plain-changed", Verdict::kRefused, integrity}}) {
    SCOPED_TRACE(std::string(row.installedLoader) + " with staging " + row.staging);
    const Scene scene("publisher");
    const bool signedInstallation = std::string(row.installedLoader) == "signed.exe";
    const fs::path install =
        Install(scene, row.installedLoader, signedInstallation ? "recorder-a.exe" : "recorder.exe", row.staging);
    const fs::path staging = install / "data" / "update";
    const std::vector<std::string> staged = Snapshot(staging);
    StartAndExpect(scene, install, row.outcome == Verdict::kTaken ? "app v2" : "app v1", 1);
    EXPECT_EQ(fs::exists(staging), row.outcome == Verdict::kKept);
    if (row.outcome == Verdict::kKept) {
      EXPECT_EQ(Snapshot(staging), staged);
    }
    const fs::path loader = Fixtures() / "stagings" / row.staging / "Velmora.exe";
    EXPECT_EQ(ReadText(install / "Velmora.exe"),
              ReadText(row.outcome == Verdict::kTaken ? loader : Fixtures() / row.installedLoader));
    EXPECT_TRUE(fs::exists(install / "data"));
    EXPECT_EQ(LogMisses(install, {row.line}), "");
  }
}

// Checked while a scanner holds the staged loader shared with nobody: the application runs and the
// staging waits, untouched, for the next start, which takes it.
TEST(Publisher, AStagingThatCannotBeCheckedNowWaitsForTheNextStart) {
  if (Fixtures().empty()) GTEST_SKIP() << "needs the signed files of tests/release/update_origin.sh";
  const Scene scene("publisher-held");
  const fs::path install = Install(scene, "signed.exe", "recorder-a.exe", "whole");
  const fs::path staging = install / "data" / "update";
  const std::vector<std::string> staged = Snapshot(staging);
  const fs::path release = scene.out / "held";
  Started holder = scene.Start(InstallProbe(scene.root / "probe"),
                               {"hold", PathToUtf8(staging / "Velmora.exe"), PathToUtf8(release)});
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(release); }, std::chrono::seconds(10)));
  ASSERT_EQ(ReadText(release), "held\n");
  StartAndExpect(scene, install, "app v1", 1);
  fs::remove(release);
  EXPECT_TRUE(holder.Wait().finished);
  EXPECT_EQ(Snapshot(staging), staged);
  StartAndExpect(scene, install, "app v2", 2);
  EXPECT_FALSE(fs::exists(staging));
}
