// Joining fixed names to a base, and the texts built from paths.

#include <gtest/gtest.h>

#include "launcher/layout.hpp"
#include "platform/process.hpp"
#include "support/text.hpp"

namespace fs = boost::filesystem;

namespace {
std::string Text(const fs::path& path) { return PathToUtf8(std::filesystem::path(path.native())); }
std::string Text(const NativeString& text) { return PathToUtf8(std::filesystem::path(text)); }
fs::path PathOf(const std::string& utf8) { return fs::path(Utf8ToPath(utf8).native()); }
}  // namespace

TEST(Join, OneSeparatorBetweenBaseAndName) {
#ifdef _WIN32
  EXPECT_EQ(Text(Join(PathOf("C:\\Program Files\\Example"), kApplicationDirectory)), "C:\\Program Files\\Example\\app");
  EXPECT_EQ(Text(StagingDirectory(PathOf("C:\\Program Files\\Example"))),
            "C:\\Program Files\\Example\\data\\update");
  EXPECT_EQ(Text(Join(PathOf("C:\\A\\"), kApplicationDirectory)), "C:\\A\\app");
  EXPECT_EQ(Text(Join(PathOf("C:/A/"), kApplicationDirectory)), "C:/A/app");
  EXPECT_EQ(Text(Join(PathOf("C:/A/b"), kApplicationDirectory)), "C:/A/b\\app");
  // A drive designator alone gets no separator: the result is drive-relative.
  EXPECT_EQ(Text(Join(PathOf("C:"), kApplicationDirectory)), "C:app");
  EXPECT_EQ(Text(StagingDirectory(PathOf("C:"))), "C:data\\update");
#else
  EXPECT_EQ(Text(Join(PathOf("/opt/Example Dir"), kApplicationDirectory)), "/opt/Example Dir/app");
  EXPECT_EQ(Text(StagingDirectory(PathOf("/opt/x"))), "/opt/x/data/update");
  EXPECT_EQ(Text(Join(PathOf("/opt/x/"), kApplicationDirectory)), "/opt/x/app");
  // A backslash and a colon are ordinary characters here.
  EXPECT_EQ(Text(Join(PathOf("/opt/x\\"), kApplicationDirectory)), "/opt/x\\/app");
  EXPECT_EQ(Text(Join(PathOf("C:"), kApplicationDirectory)), "C:/app");
#endif
  EXPECT_EQ(Text(Join(PathOf(""), kApplicationDirectory)), "app");
  const fs::path base = PathOf("base");
  Join(base, kRetiredApplicationDirectory);
  EXPECT_EQ(Text(base), "base");
  // The names exactly as written: the loader and the application differ only in case.
  EXPECT_EQ(Text(Join(PathOf(""), kLoaderFile)), "Velmora.exe");
  EXPECT_EQ(Text(Join(PathOf(""), kMainApplicationFile)), "velmora.exe");
  EXPECT_EQ(Text(Join(PathOf(""), kRetiredApplicationDirectory)), "app_old");
}

TEST(HandOverParameters, TheDirectoryBetweenQuotesUnchanged) {
  EXPECT_EQ(Text(HandOverParameters(Utf8ToPath("C:\\Program Files\\Example").native())),
            "--ad \"C:\\Program Files\\Example\"");
  // A drive root's backslash is doubled, so that the closing quote stays a quote.
  EXPECT_EQ(Text(HandOverParameters(Utf8ToPath("Q:\\").native())), "--ad \"Q:\\\\\"");
  EXPECT_EQ(Text(HandOverParameters(Utf8ToPath("D:\\\xE6\xB5\x8B\xE8\xAF\x95 %1% 100%").native())),
            "--ad \"D:\\\xE6\xB5\x8B\xE8\xAF\x95 %1% 100%\"");
}

TEST(FailureMessage, PathsTakeThePlaceholdersOnLinesOfTheirOwn) {
  EXPECT_EQ(Text(FailureMessage("copy failed\ndst:%s\nsrc:%s", PathOf("C:\\P F\\Velmora.exe"),
                                PathOf("C:\\P F\\data\\update\\Velmora.exe"))),
            "copy failed\ndst:C:\\P F\\Velmora.exe\nsrc:C:\\P F\\data\\update\\Velmora.exe");
  EXPECT_EQ(Text(FailureMessage("directory is not exists(%s)", PathOf("X:\\100% %s \xE7\x9B\xAE"))),
            "directory is not exists(X:\\100% %s \xE7\x9B\xAE)");
}

// The loader's own directory: at a root it is the root itself, never the bare drive or nothing,
// which would name the current directory of that drive or of the process.
TEST(ModuleDirectoryOf, TheDirectoryPartOrTheRoot) {
  const auto directoryOf = [](const std::string& modulePath) { return Text(ModuleDirectoryOf(PathOf(modulePath).native())); };
#ifdef _WIN32
  EXPECT_EQ(directoryOf("C:\\Program Files\\Velmora\\Velmora.exe"), "C:\\Program Files\\Velmora");
  EXPECT_EQ(directoryOf("Q:\\Velmora.exe"), "Q:\\");
  EXPECT_EQ(directoryOf("\\\\?\\Q:\\Velmora.exe"), "\\\\?\\Q:\\");
  EXPECT_EQ(directoryOf("\\\\server\\share\\Velmora.exe"), "\\\\server\\share");
  // Only a backslash separates.
  EXPECT_EQ(directoryOf("C:\\x\\a/b/Velmora.exe"), "C:\\x");
  EXPECT_EQ(directoryOf("C:/a/Velmora.exe"), "");
  const std::string separator = "\\";
  std::string deep = "\\\\?\\C:";
#else
  EXPECT_EQ(directoryOf("/opt/Velmora dir/Velmora.exe"), "/opt/Velmora dir");
  EXPECT_EQ(directoryOf("/Velmora.exe"), "/");
  EXPECT_EQ(directoryOf("/opt/a\\b/Velmora.exe"), "/opt/a\\b");
  const std::string separator = "/";
  std::string deep;
#endif
  EXPECT_EQ(directoryOf("Velmora.exe"), "");
  EXPECT_EQ(directoryOf(""), "");
  // As long a path as the system reports keeps every character.
  while (deep.size() < 65000) deep += separator + std::string(250, 'd');
  EXPECT_EQ(directoryOf(deep + separator + "Velmora.exe"), deep);
}

// Windows passes an absent command line as the unquoted program path, which the program would
// split at its blanks.
TEST(ProgramCommandLine, TheProgramPathInQuotes) {
  EXPECT_EQ(Text(ProgramCommandLine(PathOf("C:\\Program Files\\Velmora\\app\\velmora.exe").native())),
            "\"C:\\Program Files\\Velmora\\app\\velmora.exe\"");
  EXPECT_EQ(Text(ProgramCommandLine(PathOf("/opt/Velmora dir/app/velmora.exe").native())), "\"/opt/Velmora dir/app/velmora.exe\"");
}
