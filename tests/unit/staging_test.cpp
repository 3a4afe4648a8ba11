// The pure decisions on a staging: its manifest's lines, how they pair with the files on disk,
// which paths it may hold, what a listing says an entry is, and the check's line in the log.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "launcher/manifest.hpp"
#include "launcher/staged_names.hpp"
#include "launcher/staging_check.hpp"
#include "platform/file_ops.hpp"
#include "platform/file_tree.hpp"
#include "support/text.hpp"

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

// Windows' rule for names, applied alike on every platform, and the bounds of an installed path.
TEST(StagedPathFault, OnlyPathsWindowsCanHoldAndInstall) {
  const NativeString install = N(sizeof(NativeChar) == 2 ? "C:\\Velmora" : "/opt/Velmora");
  const auto fault = [&](const std::string& relative, bool folder = false) {
    return StagedPathFault(install, Utf8ToPath(relative).native(), folder);
  };
  for (const char* unfit : {"a:b", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "a\\b", "a\x01" "b", "a\x1F", "readme.",
                            "readme ", "CON", "con", "Con.txt", "nul.tar.gz", "NUL .txt", "aux", "PRN.x", "COM1",
                            "com9.log", "LPT1", "lpt9", "COM\xC2\xB9", "lpt\xC2\xB3.txt", "CONIN$", "conout$.txt"}) {
    EXPECT_EQ(fault(std::string("app/") + unfit), NameFault::kUnfitName) << unfit;
    EXPECT_EQ(fault(std::string(unfit) + "/x"), NameFault::kUnfitName) << unfit;
  }
  for (const char* fit : {"COM0", "COM10", "LPT", "CONSOLE", "con_", "nul-.txt", "aux2", " lead", ".hidden", "a.b",
                          "caf\xC3\xA9", "COM\xC2\xB9x", "\xF0\x9F\x98\x80"}) {
    EXPECT_EQ(fault(std::string("app/") + fit), NameFault::kNone) << fit;
  }
  if (sizeof(NativeChar) == 1) {
    EXPECT_EQ(fault("app/\xFF"), NameFault::kUnfitName) << "no UTF-8";
  }

  // 64 folders hold a file, and a folder may be the 64th; one more is too deep.
  std::string folders;
  for (int i = 0; i < 64; ++i) folders += "d/";
  EXPECT_EQ(fault(folders + "f"), NameFault::kNone);
  EXPECT_EQ(fault(folders + "d/f"), NameFault::kTooDeep);
  EXPECT_EQ(fault(folders.substr(0, folders.size() - 1), true), NameFault::kNone);
  EXPECT_EQ(fault(folders + "d", true), NameFault::kTooDeep);

  // `<install>` + separator + relative: 259 UTF-16 units pass, 260 do not; a character beyond
  // the Basic Multilingual Plane counts two. A drive root brings its own separator.
  const std::size_t room = kLongestInstalledPath - install.size() - 1;
  EXPECT_EQ(fault(std::string(room, 'a')), NameFault::kNone);
  EXPECT_EQ(fault(std::string(room + 1, 'a')), NameFault::kTooLong);
  EXPECT_EQ(fault(std::string(room - 2, 'a') + "\xF0\x9F\x98\x80"), NameFault::kNone);
  EXPECT_EQ(fault(std::string(room - 1, 'a') + "\xF0\x9F\x98\x80"), NameFault::kTooLong);
  const NativeString root = N(sizeof(NativeChar) == 2 ? "Q:\\" : "/");
  EXPECT_EQ(StagedPathFault(root, N(std::string(kLongestInstalledPath - root.size(), 'a').c_str()), false),
            NameFault::kNone);
}

// What a Windows listing's attributes and reparse tags make of an entry.
TEST(KindOfListedEntry, LinksAndPlaceholdersAreNoFiles) {
  struct Row {
    std::uint32_t attributes;
    std::uint32_t tag;
    EntryKind kind;
  };
  // Name surrogates (symbolic link, junction, WSL link), an app execution alias; a socket, a WSL
  // pipe, a cloud folder, a linked folder as Wine lists it, a placeholder not on disk, one recalled
  // when opened, an offline file, a device; a compressed, a deduplicated, a compact /exe and a
  // present cloud file.
  for (const Row& row : {Row{0x20, 0, EntryKind::kFile}, Row{0x10, 0, EntryKind::kFolder},
                         Row{0x420, 0xA000000C, EntryKind::kLink}, Row{0x410, 0xA0000003, EntryKind::kLink},
                         Row{0x400, 0xA000001D, EntryKind::kLink}, Row{0x400, 0x8000001B, EntryKind::kLink},
                         Row{0x420, 0x80000023, EntryKind::kSpecial}, Row{0x400, 0x80000024, EntryKind::kSpecial},
                         Row{0x410, 0x9000001A, EntryKind::kSpecial}, Row{0x410, 0, EntryKind::kSpecial},
                         Row{0x400420, 0x9000601A, EntryKind::kSpecial}, Row{0x40020, 0, EntryKind::kSpecial},
                         Row{0x1020, 0, EntryKind::kSpecial}, Row{0x40, 0, EntryKind::kSpecial},
                         Row{0x800, 0, EntryKind::kFile}, Row{0x420, 0x80000013, EntryKind::kFile},
                         Row{0x420, 0x80000017, EntryKind::kFile}, Row{0x420, 0x9000601A, EntryKind::kFile}}) {
    EXPECT_EQ(KindOfListedEntry(row.attributes, row.tag), row.kind) << std::hex << row.attributes << " " << row.tag;
  }
}

// The form in which Windows reads no name as a device and applies no length limit, made full
// first: the form itself would take `..`, `.` and `/` as names.
TEST(WindowsVerbatimForm, IsMadeFullAndNormalisedFirst) {
  const std::wstring current = L"C:\\Users\\me";
  for (const auto& [path, verbatim] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"C:\\Velmora\\app\\nul.txt", L"\\\\?\\C:\\Velmora\\app\\nul.txt"},
           {L"q:\\", L"\\\\?\\q:\\"},
           {L"C:/Velmora//data/", L"\\\\?\\C:\\Velmora\\data"},
           {L"\\\\server\\share\\Velmora", L"\\\\?\\UNC\\server\\share\\Velmora"},
           {L"//server/share/a/../b", L"\\\\?\\UNC\\server\\share\\b"},
           {L"\\\\server\\share\\..\\..", L"\\\\?\\UNC\\server\\share\\"},
           {L"\\\\?\\C:\\Velmora\\..\\x", L"\\\\?\\C:\\Velmora\\..\\x"},
           {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
           {L"relative\\aux.txt", L"\\\\?\\C:\\Users\\me\\relative\\aux.txt"},
           {L"..\\..\\..\\Velmora\\.\\app", L"\\\\?\\C:\\Velmora\\app"},
           {L"\\Velmora", L"\\\\?\\C:\\Velmora"},
           {L"c:app", L"\\\\?\\C:\\Users\\me\\app"},
           {L"D:app", L"\\\\?\\D:\\app"},
           {L"C:\\Velmora\\readme. ", L"\\\\?\\C:\\Velmora\\readme. "}}) {
    EXPECT_TRUE(WindowsVerbatimForm(path, current) == verbatim) << PathToUtf8(std::filesystem::path(path));
  }
  EXPECT_TRUE(WindowsVerbatimForm(L"..\\x", L"\\\\server\\share\\Velmora") == L"\\\\?\\UNC\\server\\share\\x");
  // Nothing to make it full against: left as it is.
  EXPECT_TRUE(WindowsVerbatimForm(L"relative", L"") == L"relative");
  EXPECT_TRUE(WindowsVerbatimForm(L"\\\\server", current) == L"\\\\server");
  if (sizeof(NativeChar) == 1) {
    EXPECT_TRUE(VerbatimPath(N("/opt/../velmora")) == N("/opt/../velmora"));
  }
}

// The log line's end, which programs match: the verdict's word, the manifest's digest and the
// versions known, whatever the path before them.
TEST(StagingCheckText, EndsInWordsProgramsMatch) {
  StagingCheck taken;
  taken.listed = true;
  taken.manifestDigest = Sha256{0xAB, 0x01};
  taken.versions.installedLoader = 0x0001000000000000;
  taken.versions.stagedApplication = 0x0002000300040005;
  EXPECT_EQ(StagingCheckText(taken), "staging taken; unsigned installation, every file as its manifest lists it; verdict "
                                     "taken, SHA256SUMS ab01" + std::string(60, '0') +
                                     ", installed loader 1.0.0.0, staged application 2.3.4.5");
  StagingCheck refused;
  refused.verdict = StagingVerdict::kRefused;
  refused.finding = "a name Windows cannot hold";
  refused.subject = N(std::string(600, 'a').c_str());
  const std::string text = StagingCheckText(refused);
  EXPECT_NE(text.find(": " + std::string(512, 'a') + "...; unsigned installation; verdict refused-origin"),
            std::string::npos)
      << text;
  refused.integrity = true;
  EXPECT_TRUE(StagingCheckText(refused).ends_with("; verdict refused-integrity"));
  StagingCheck kept;
  kept.verdict = StagingVerdict::kNotNow;
  kept.finding = "an unexpected error";
  kept.detail = "std::bad_alloc";
  EXPECT_EQ(StagingCheckText(kept), "staging kept for a later start: cannot be checked now: an unexpected error "
                                    "(std::bad_alloc); unsigned installation; verdict kept");
}
