// A signed installation takes only its publisher's update: the real loader, signed with throw-away
// certificates, starting in an installation with a staging signed one way or another, under Wine.
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

void CopyFixture(const fs::path& from, const fs::path& to, const std::string& tag = "") {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to);
  if (!tag.empty()) WriteText(to.parent_path() / "tag.txt", tag + "\n");
}
}  // namespace

// Loaders: signed.exe (A), renewed.exe (A's name, another key), other.exe (B), tampered.exe (A, a
// byte changed since), unsigned.exe; applications: recorder.exe (unsigned), recorder-a.exe,
// recorder-b.exe. A refused staging is removed and the installed application runs; nothing is shown.
TEST(Publisher, ASignedInstallationTakesOnlyItsPublishersUpdate) {
  const char* fixturesText = std::getenv("VELMORA_SIGNED_FIXTURES");
  if (fixturesText == nullptr) GTEST_SKIP() << "needs the signed files of tests/release/update_origin.sh";
  const fs::path fixtures = Utf8ToPath(fixturesText);
  struct Row {
    const char* installedLoader;
    const char* installedApplication;
    const char* stagedLoader;
    const char* stagedApplication;
    bool taken;
  };
  for (const Row& row : {Row{"signed.exe", "recorder.exe", "unsigned.exe", "recorder.exe", false},
                         Row{"signed.exe", "recorder.exe", "other.exe", "recorder.exe", false},
                         Row{"signed.exe", "recorder.exe", "tampered.exe", "recorder.exe", false},
                         Row{"signed.exe", "recorder.exe", "renewed.exe", "recorder-b.exe", true},
                         Row{"signed.exe", "recorder-a.exe", "renewed.exe", "recorder-b.exe", false},
                         Row{"unsigned.exe", "recorder-a.exe", "other.exe", "recorder-b.exe", true},
                         Row{"unsigned.exe", "recorder.exe", "unsigned.exe", "recorder.exe", true}}) {
    SCOPED_TRACE(std::string(row.installedLoader) + " with " + row.installedApplication + " takes " +
                 row.stagedLoader + " with " + row.stagedApplication + ": " + (row.taken ? "yes" : "no"));
    const Scene scene("publisher");
    const fs::path install = scene.tree / "Velmora";
    CopyFixture(fixtures / row.installedLoader, install / "Velmora.exe");
    CopyFixture(fixtures / row.installedApplication, install / "app" / "velmora.exe", "app v1");
    CopyFixture(fixtures / row.stagedLoader, install / "data" / "update" / "Velmora.exe");
    CopyFixture(fixtures / row.stagedApplication, install / "data" / "update" / "app" / "velmora.exe", "app v2");

    const Outcome outcome = scene.Start(install / "Velmora.exe").Wait();
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.messages.empty());
    const std::string ran = row.taken ? "app v2" : "app v1";
    EXPECT_TRUE(WaitUntil([&] { return !RecordsTagged(scene.Records(), ran).empty() && !fs::exists(install / "data" / "update"); },
                          kDetachedLimit));
    EXPECT_EQ(EndProcessesRunningBelow(scene.root, kDetachedLimit), 0u);
    EXPECT_EQ(scene.Records().size(), 1u);
    EXPECT_TRUE(ReadText(install / "Velmora.exe") ==
                ReadText(fixtures / (row.taken ? row.stagedLoader : row.installedLoader)));
    EXPECT_TRUE(fs::exists(install / "data"));
  }
}
