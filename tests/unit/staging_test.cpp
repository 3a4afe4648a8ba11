// The pure decisions on a staging: its manifest's lines and how they pair with the files on disk.

#include <gtest/gtest.h>

#include "launcher/manifest.hpp"
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
