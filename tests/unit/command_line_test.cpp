// Which outcome a command line leads to, and what reaches the chosen mode.

#include <gtest/gtest.h>

#include <optional>

#include "launcher/exit_codes.hpp"
#include "support/decision.hpp"
#include "support/text.hpp"

namespace {
using Words = std::vector<std::string>;

Decision DecideWords(const Words& words) {
  std::vector<NativeString> arguments;
  for (const std::string& word : words) arguments.push_back(Utf8ToPath(word).native());
  return Decide(arguments);
}
}  // namespace

// A pid without --ad is parsed and checked, but start mode does not use it.
TEST(CommandLine, NoArgumentsOrUnknownOnesRunStartMode) {
  for (const Words& words : {Words{}, Words{"--AD", "C:\\Example"}, Words{"/h"}, Words{"--foo", "--foo=bar", "-x", "word"},
                             Words{"--pid", "42"}}) {
    const Decision decision = DecideWords(words);
    EXPECT_EQ(decision.code, kStartModeCode);
    EXPECT_EQ(decision.startRuns, 1);
    EXPECT_EQ(decision.applyRuns, 0);
    EXPECT_EQ(decision.errors, "");
  }
}

TEST(CommandLine, HelpWinsOverEverythingAndRunsNoMode) {
  for (const Words& words : {Words{"-h"}, Words{"--help"}, Words{"--he"}, Words{"--help", "--ad", "C:\\A"},
                             Words{"--ad", "C:\\A", "-h", "--pid", "7"}}) {
    const Decision decision = DecideWords(words);
    EXPECT_EQ(decision.code, kExitHelp);
    EXPECT_EQ(decision.startRuns + decision.applyRuns, 0);
    EXPECT_EQ(decision.errors, "");
  }
}

TEST(CommandLine, AdSelectsApplyModeWithItsExactText) {
  const std::vector<std::pair<Words, std::string>> cases = {
      {{"--ad", "C:\\Program Files\\Example"}, "C:\\Program Files\\Example"},
      {{"--ad=C:\\Example"}, "C:\\Example"},
      {{"--a", "C:\\Example"}, "C:\\Example"},
      {{"--foo", "bar", "--ad", "C:\\Example"}, "C:\\Example"},
      {{"--ad", "C:\\\xE6\xB5\x8B\xE8\xAF\x95\\\xE7\x9B\xAE\xE5\xBD\x95"}, "C:\\\xE6\xB5\x8B\xE8\xAF\x95\\\xE7\x9B\xAE\xE5\xBD\x95"},
      {{"--ad", "/a \"b\" \\c\nd"}, "/a \"b\" \\c\nd"},
      // The library takes a following long-option word as the value; apply mode then reports
      // that no such directory exists.
      {{"--ad", "--pid", "3"}, "--pid"},
  };
  for (const auto& [words, expected] : cases) {
    const Decision decision = DecideWords(words);
    EXPECT_EQ(decision.code, kApplyModeCode);
    EXPECT_EQ(decision.applyRuns, 1);
    EXPECT_EQ(decision.installDirectory, Utf8ToPath(expected).native());
    EXPECT_FALSE(decision.processId.has_value());
  }
}

TEST(CommandLine, PidReachesApplyModeAsAn32BitNumber) {
  const std::vector<std::pair<Words, std::uint32_t>> cases = {
      {{"--ad", "C:\\A", "--pid", "42"}, 42u},
      {{"--p", "7", "--a", "C:\\A"}, 7u},
      {{"--ad", "C:\\A", "--pid=4294967295"}, 4294967295u},
      {{"--ad", "C:\\A", "--pid", "0"}, 0u},
      {{"--ad", "C:\\A", "--pid=007"}, 7u},
  };
  for (const auto& [words, expected] : cases) {
    const Decision decision = DecideWords(words);
    EXPECT_EQ(decision.code, kApplyModeCode);
    ASSERT_TRUE(decision.processId.has_value());
    EXPECT_EQ(*decision.processId, expected);
  }
}

// A rejection says why in the parser's own words; a text holding '%', where the parser's message
// would never finish, gets one that names the option.
TEST(CommandLine, RejectionsRunNoModeAndExitWith2) {
  for (const Words& words : {
           Words{"--pid", "abc"},
           Words{"--pid", "4294967296"},
           Words{"--pid", "99999999999999999999"},
           Words{"--ad"},
           Words{"--ad", "-h"},
           Words{"--pid", "--ad", "C:\\A"},
           Words{"--pid"},
           Words{"--help=1"},
           Words{"--ad="},
           Words{"--ad", "C:\\A", "--ad", "C:\\B"},
           Words{"-h", "--help"},
           Words{"--help", "--pid", "x"},
           // Signs, which the library's unsigned conversion would take, a minus wrapping around.
           Words{"--ad", "C:\\A", "--pid=-1"},
           Words{"--ad", "C:\\A", "--pid", "-1"},
           Words{"--ad", "C:\\A", "--pid=-4294967295"},
           Words{"--pid=+7"},
           Words{"--pid", " 7"},
       }) {
    const Decision decision = DecideWords(words);
    EXPECT_EQ(decision.code, kExitRejected) << ::testing::PrintToString(words);
    EXPECT_EQ(decision.startRuns + decision.applyRuns, 0);
    EXPECT_NE(decision.errors, "");
    EXPECT_EQ(decision.errors.find("invalid command line at option"), std::string::npos) << decision.errors;
  }
  EXPECT_EQ(DecideWords({"--pid", "abc"}).errors, "the argument ('abc') for option '--pid' is invalid\n");
  EXPECT_EQ(DecideWords({"--p=-1"}).errors, "the argument ('-1') for option '--pid' is invalid\n");
  EXPECT_EQ(DecideWords({"--ad", "C:\\A", "--ad", "C:\\B"}).errors, "option '--ad' cannot be specified more than once\n");

  // The library's own placeholders in the rejected text.
  for (const Words& words : {Words{"--pid=%value%"}, Words{"--pid=a%value%b"}, Words{"--pid", "%canonical_option%"},
                             Words{"--pid", "1%", "--ad", "x"}}) {
    const Decision decision = DecideWords(words);
    EXPECT_EQ(decision.code, kExitRejected) << ::testing::PrintToString(words);
    EXPECT_EQ(decision.startRuns + decision.applyRuns, 0);
    EXPECT_EQ(decision.errors, "invalid command line at option '--pid'\n");
  }
}

TEST(CommandLine, AnEscapingExceptionFromAModeIsAnExitCodeNotACrash) {
  testing::internal::CaptureStderr();
  const int code = RunCommandLine([] { return std::vector<NativeString>{}; },
                                  [](const NativeString&, std::optional<std::uint32_t>) { return 0; },
                                  []() -> int { throw std::runtime_error("boom"); });
  EXPECT_EQ(code, kExitInternalError);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("boom"), std::string::npos);
}
