// Splitting a command-line tail by the Windows rules, and the hand-over text surviving it.

#include <gtest/gtest.h>

#include "launcher/layout.hpp"
#include "platform/command_tail.hpp"
#include "support/text.hpp"

using Words = std::vector<std::string>;

TEST(SplitCommandTail, WindowsRules) {
  EXPECT_EQ(SplitCommandTail(""), Words{});
  EXPECT_EQ(SplitCommandTail("   \t "), Words{});
  EXPECT_EQ(SplitCommandTail("  a   b\tc "), (Words{"a", "b", "c"}));
  EXPECT_EQ(SplitCommandTail("--ad \"C:\\Program Files\\Example\""), (Words{"--ad", "C:\\Program Files\\Example"}));
  EXPECT_EQ(SplitCommandTail("a\"b c\"d"), (Words{"ab cd"}));
  // 2n backslashes before a quote give n and the quote toggles; 2n+1 give n and a literal quote.
  EXPECT_EQ(SplitCommandTail("\"a\\\\\" b"), (Words{"a\\", "b"}));
  EXPECT_EQ(SplitCommandTail("a\\\"b"), (Words{"a\"b"}));
  EXPECT_EQ(SplitCommandTail("a\\\\\\\"b"), (Words{"a\\\"b"}));
  EXPECT_EQ(SplitCommandTail("C:\\a\\b\\ c"), (Words{"C:\\a\\b\\", "c"}));
  EXPECT_EQ(SplitCommandTail("\"\""), (Words{""}));
  EXPECT_EQ(SplitCommandTail("a \"\" b"), (Words{"a", "", "b"}));
  EXPECT_EQ(SplitCommandTail("\"unterminated"), (Words{"unterminated"}));
  EXPECT_EQ(SplitCommandTail("\"line\nfeed\" x"), (Words{"line\nfeed", "x"}));
}

TEST(HandOverParameters, SplitBackToTheExactDirectory) {
  const std::vector<std::string> directories = {
      "/opt/Velmora",
      "/opt/A B",
      "/opt/with \"quotes\" inside",
      "/opt/trailing backslash\\",
      "/opt/\\\\server\\share\\\"",
      "/opt/line\nfeed\tand tab",
      "/opt/\xE6\xB5\x8B\xE8\xAF\x95",
      "\"",
      "\\",
      "",
  };
  for (const std::string& directory : directories) {
    const NativeString parameters = HandOverParameters(Utf8ToPath(directory).native());
    const std::string text = PathToUtf8(std::filesystem::path(parameters));
    EXPECT_EQ(SplitCommandTail(text), (Words{"--ad", directory})) << text;
  }
}
