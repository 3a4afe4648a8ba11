// A signed installation takes only an update its publisher signed whole, never an older one, and
// keeps one it cannot check now: the real loader, signed with throw-away certificates, starting in
// installations with stagings made by scripts/sign-update.sh, under Wine.
// tests/release/update_origin.sh makes the signed files and runs this with VELMORA_SIGNED_FIXTURES,
// in a Wine prefix of its own whose machine trusts the throw-away root of their certificates.

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
    std::string line;  // what the log says of it
  };
  const char* const taken = "staging taken";
  const char* const integrity = "staging refused for its integrity";
  const char* const origin = "staging refused for its origin (never stage these files again): the publisher's signature: ";
  const char* const kept = "staging kept for a later start: cannot be checked now: the publisher's signature: ";
  const std::string publisher = " \"Velmora Test Publisher\"";
  // The root of A's chain is trusted here (tests/release/update_origin.sh), the self-made one not.
  const std::string selfMade = publisher + ", system code 0x800B0109";
  const std::string expired = publisher + ", system code 0x800B0101";
  const std::string manifestChain = "the manifest signer's certificate chain";
  const std::string loaderChain = "the staged loader signer's certificate chain";
  const std::string unpinned = "the manifest is signed by a key that is not the publisher's";
  for (const Row& row : {Row{"signed.exe", "whole", Verdict::kTaken, taken},
                         Row{"signed.exe", "renewed", Verdict::kTaken, taken},
                         Row{"signed.exe", "changed", Verdict::kRefused, integrity},
                         Row{"signed.exe", "unlisted", Verdict::kRefused, integrity},
                         Row{"signed.exe", "missing", Verdict::kRefused, integrity},
                         Row{"signed.exe", "extended", Verdict::kRefused, integrity},
                         Row{"signed.exe", "no-manifest", Verdict::kRefused, integrity},
                         Row{"signed.exe", "unsigned-manifest", Verdict::kRefused, integrity},
                         Row{"signed.exe", "other-manifest", Verdict::kRefused, origin},
                         Row{"signed.exe", "other-loader", Verdict::kRefused,
                             std::string(origin) + "the manifest is signed by another publisher"},
                         // No reason but the system's for that step; the bits of the chain built
                         // with the machine's roots (a revocation status the cache cannot tell).
                         Row{"signed.exe", "other-loader-only", Verdict::kRefused,
                             std::string(origin) + "the staged loader is signed by another publisher "
                                                   "\"Velmora Other Publisher\", chain trust 0x01000040; signed installation"},
                         Row{"signed.exe", "tampered", Verdict::kRefused, origin},
                         Row{"signed.exe", "older", Verdict::kRefused, "refused for its origin (never stage these files "
                                                                        "again): an older application"},
                         Row{"signed.exe", "unversioned", Verdict::kRefused, "refused for its origin (never stage these "
                                                                              "files again): an older application"},
                         // The publisher's name from any root is not the publisher's without a pinned key.
                         Row{"signed.exe", "foreign", Verdict::kRefused, origin + unpinned + publisher},
                         Row{"signed.exe", "self-made", Verdict::kRefused, origin + unpinned + publisher},
                         // What its publisher signed says it is for something else, or for nothing.
                         Row{"signed.exe", "other-product", Verdict::kRefused, "refused for its origin (never stage these "
                                                                                "files again): a release for another product"},
                         Row{"signed.exe", "no-release-file", Verdict::kRefused,
                             "refused for its origin (never stage these files again): no release file: it names no product"},
                         // Windows takes these once it trusts that root, or once its clock is right:
                         // never thrown away.
                         Row{"signed.exe", "foreign-pinned", Verdict::kKept, kept + manifestChain + selfMade},
                         Row{"signed.exe", "self-made-loader", Verdict::kKept, kept + loaderChain + selfMade},
                         Row{"signed.exe", "expired-manifest", Verdict::kKept, kept + manifestChain + expired},
                         Row{"signed.exe", "expired-loader", Verdict::kKept, kept + loaderChain + expired},
                         Row{"signed.exe", "server-manifest", Verdict::kRefused,
                             origin + std::string("the manifest's signer is not for code signing") + publisher},
                         Row{"signed.exe", "server-loader", Verdict::kRefused,
                             origin + std::string("the staged loader's signer is not for code signing") + publisher},
                         Row{"signed.exe", "no-certificate", Verdict::kRefused,
                             origin + std::string("the manifest's signature, system code 0x8009202B")},
                         Row{"signed.exe", "two-signers", Verdict::kRefused,
                             origin + std::string("the manifest is not signed by exactly one signer")},
                         Row{"signed.exe", "sha1", Verdict::kRefused,
                             origin + std::string("the manifest is not signed with SHA-256")},
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
