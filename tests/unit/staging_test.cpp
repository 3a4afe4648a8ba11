// The pure decisions on a staging: its manifest's lines, how they pair with the files on disk,
// and what each of the system's answers about a signature means.

#include <gtest/gtest.h>

#include "launcher/manifest.hpp"
#include "launcher/trust.hpp"
#include "platform/file_ops.hpp"

namespace {
const std::string kDigit64(64, 'a');

NativeString N(const char* ascii) { return NativeFromAscii(ascii); }
}  // namespace

TEST(ParseManifest, TakesWhatSha256sumWritesAndNothingLooser) {
  const auto lines = ParseManifest(kDigit64 + "  Velmora.exe\n" + std::string(64, 'F') + " *app/velmora.exe");
  ASSERT_TRUE(lines);
  ASSERT_EQ(lines->size(), 2u);
  EXPECT_EQ((*lines)[1].digest, std::string(64, 'f'));
  EXPECT_TRUE((*lines)[1].path == N("app/velmora.exe"));
  EXPECT_TRUE(ParseManifest("") && ParseManifest("")->empty());
  // "\xC3\xA9" is e with an acute accent: on Windows one UTF-16 unit, elsewhere the same two bytes.
  const auto accented = ParseManifest(kDigit64 + "  app/caf\xC3\xA9.txt\n");
  ASSERT_TRUE(accented);
  EXPECT_EQ((*accented)[0].path.size(), sizeof(NativeChar) == 2 ? 12u : 13u);
  for (const std::string& bad :
       {kDigit64.substr(1) + "  a\n", kDigit64 + "g  a\n", kDigit64 + " a\n", kDigit64 + "  \n", kDigit64 + "  /a\n",
        kDigit64 + "  a//b\n", kDigit64 + "  a/./b\n", kDigit64 + "  ../a\n", kDigit64 + "  a/\n",
        kDigit64 + "  a\\b\n", kDigit64 + "  a\r\n", kDigit64 + "  a\n\n", kDigit64 + "  \xC3(\n",
        kDigit64 + "  \xED\xA0\x80\n", kDigit64 + "  \xC0\xAF\n", kDigit64 + "  a\tb\n"}) {
    EXPECT_FALSE(ParseManifest(bad)) << bad;
  }
}

TEST(PairLinesWithFiles, EveryFileListedOnceAndEveryLineAFile) {
  const auto lines = *ParseManifest(kDigit64 + "  b\n" + kDigit64 + "  A/x\n" + kDigit64 + "  c\n");
  const Listing paired = PairLinesWithFiles(lines, {N("c"), N("A/x"), N("b")}, CompareFileNames);
  ASSERT_EQ(paired.fault, ListingFault::kNone);
  ASSERT_EQ(paired.pairs.size(), 3u);
  const std::vector<NativeString> files = {N("c"), N("A/x"), N("b")};
  for (const auto& [line, file] : paired.pairs) EXPECT_TRUE(lines[line].path == files[file]);

  struct Row {
    std::vector<NativeString> files;
    ListingFault fault;
    const char* path;
  };
  for (const Row& row : {Row{{N("b"), N("c")}, ListingFault::kMissing, "A/x"},
                         Row{{N("A/x"), N("b"), N("c"), N("d")}, ListingFault::kUnlisted, "d"},
                         Row{{N("A/x"), N("a/x"), N("b"), N("c")}, ListingFault::kUnlisted, "a/x"}}) {
    const Listing listing = PairLinesWithFiles(lines, row.files, CompareFileNames);
    EXPECT_EQ(listing.fault, row.fault) << row.path;
    EXPECT_TRUE(listing.path == N(row.path)) << row.path;
  }
  const auto doubled = *ParseManifest(kDigit64 + "  b\n" + kDigit64 + "  a\n" + kDigit64 + "  B\n");
  const Listing twice = PairLinesWithFiles(doubled, {N("a"), N("b"), N("B")}, CompareFileNames);
  // Windows' file names ignore letter case: "b" and "B" are one file there, two elsewhere.
  EXPECT_EQ(twice.fault, sizeof(NativeChar) == 2 ? ListingFault::kDoubled : ListingFault::kNone);
}

// Only what is wrong with the files refuses; what depends on this machine and this moment waits.
TEST(MeaningOfTrustAnswer, OnlyTheFilesFaultsRefuse) {
  constexpr std::uint32_t kNoSignature = 0x800B0100;
  for (const std::uint32_t refused : {0x80096010u /* bad digest */, 0x80090006u /* bad signature */,
                                      0x80096004u /* certificate's signature */, 0x800B0108u /* malformed */,
                                      0x800B0106u /* not for code */, 0x800B0110u /* wrong usage */,
                                      0x800B010Cu /* revoked */, 0x80092010u /* revoked */,
                                      0x800B0111u /* explicit distrust */, 0x8009310Bu /* bad ASN.1 tag */,
                                      0x8009200Eu /* no signer */, 0x800B0003u /* subject form unknown */,
                                      0x8009100Fu /* no signed digest */, 0x80090008u /* not SHA-256 */}) {
    EXPECT_EQ(MeaningOfTrustAnswer(refused, 0), StagingVerdict::kRefused) << std::hex << refused;
  }
  EXPECT_EQ(MeaningOfTrustAnswer(kNoSignature, kNoSignature), StagingVerdict::kRefused);
  for (const std::uint32_t waits : {0x800B0109u /* untrusted root */, 0x800B010Au /* chaining */,
                                    0x800B0101u /* expired */, 0x80096005u /* time stamp */,
                                    0x800B0112u /* untrusted CA */, 0x80092026u /* security settings */,
                                    0x800B0004u /* subject not trusted */, 0x80092013u /* revocation offline */,
                                    0x80096001u /* system error */, 0x80092003u /* file error */, 0x80004005u}) {
    EXPECT_EQ(MeaningOfTrustAnswer(waits, 0), StagingVerdict::kNotNow) << std::hex << waits;
  }
  // "No signature" is also the answer for a file that could not be read: a sharing violation.
  EXPECT_EQ(MeaningOfTrustAnswer(kNoSignature, 0x80070020), StagingVerdict::kNotNow);
  EXPECT_EQ(MeaningOfTrustAnswer(0, 0), StagingVerdict::kTaken);

  struct Row {
    OriginStep step;
    std::uint32_t status;
    StagingVerdict verdict;
    std::uint32_t reason = 0;
    bool integrity = false;
  };
  for (const Row& row : {Row{OriginStep::kPassed, 0, StagingVerdict::kTaken},
                         Row{OriginStep::kInstalledLoader, 0, StagingVerdict::kNotNow},
                         Row{OriginStep::kLoaderPublisher, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestDigest, 0, StagingVerdict::kRefused, 0, true},
                         Row{OriginStep::kManifestSignature, 0x80093102, StagingVerdict::kRefused, 0, true},
                         Row{OriginStep::kManifestPublisher, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestSignature, 0x80090006, StagingVerdict::kRefused},
                         Row{OriginStep::kStagedLoader, 0x800B0109, StagingVerdict::kNotNow},
                         Row{OriginStep::kManifestChain, 0x800B0109, StagingVerdict::kNotNow},
                         Row{OriginStep::kManifestChain, 0x800B0111, StagingVerdict::kRefused},
                         // The chain's own trust bits where its policy said nothing: an untrusted
                         // root waits, a revoked certificate refuses.
                         Row{OriginStep::kManifestChain, 0, StagingVerdict::kNotNow, 0x20},
                         Row{OriginStep::kManifestChain, 0, StagingVerdict::kRefused, 0x24}}) {
    OriginAnswer answer;
    answer.step = row.step;
    answer.status = row.status;
    answer.reason = row.reason;
    EXPECT_EQ(VerdictOfOrigin(answer), row.verdict) << static_cast<int>(row.step) << std::hex << " " << row.status;
    EXPECT_EQ(RefusedForIntegrity(answer), row.integrity) << static_cast<int>(row.step) << std::hex << " " << row.status;
  }
}
