// Which outcome a command line leads to, and what reaches the chosen mode.

#include <gtest/gtest.h>

#include <optional>

#include "launcher/command_line.hpp"
#include "launcher/exit_codes.hpp"
#include "support/text.hpp"

namespace {
constexpr int kStartModeCode = 70;
constexpr int kApplyModeCode = 71;

struct Calls {
  int start = 0;
  int apply = 0;
  NativeString installDirectory;
  std::optional<std::uint32_t> processId;
};

NativeString Native(const std::string& utf8) { return Utf8ToPath(utf8).native(); }

int Decide(const std::vector<std::string>& words, Calls& calls) {
  std::vector<NativeString> arguments;
  for (const std::string& word : words) arguments.push_back(Native(word));
  return RunCommandLine(
      [&] { return arguments; },
      [&](const NativeString& installDirectory, std::optional<std::uint32_t> processId) {
        ++calls.apply;
        calls.installDirectory = installDirectory;
        calls.processId = processId;
        return kApplyModeCode;
      },
      [&] {
        ++calls.start;
        return kStartModeCode;
      });
}
}  // namespace

TEST(CommandLine, NoArgumentsOrUnknownOnesRunStartMode) {
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{}, {"--AD", "C:\\Example"}, {"/h"}, {"--foo", "--foo=bar", "-x", "word"}}) {
    Calls calls;
    EXPECT_EQ(Decide(words, calls), kStartModeCode);
    EXPECT_EQ(calls.start, 1);
    EXPECT_EQ(calls.apply, 0);
  }
}

TEST(CommandLine, HelpWinsOverEverythingAndRunsNoMode) {
  for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
           {"-h"}, {"--help"}, {"--he"}, {"--help", "--ad", "C:\\A"}, {"--ad", "C:\\A", "-h", "--pid", "7"}}) {
    Calls calls;
    EXPECT_EQ(Decide(words, calls), kExitHelp);
    EXPECT_EQ(calls.start + calls.apply, 0);
  }
}

TEST(CommandLine, PidWithoutAdIsParsedButStartModeRuns) {
  Calls calls;
  EXPECT_EQ(Decide({"--pid", "42"}, calls), kStartModeCode);
  EXPECT_EQ(calls.start, 1);
}

TEST(CommandLine, AdSelectsApplyModeWithItsExactText) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
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
    Calls calls;
    EXPECT_EQ(Decide(words, calls), kApplyModeCode);
    EXPECT_EQ(calls.apply, 1);
    EXPECT_EQ(calls.installDirectory, Native(expected));
    EXPECT_FALSE(calls.processId.has_value());
  }
}

TEST(CommandLine, PidReachesApplyModeAsAn32BitNumber) {
  const std::vector<std::pair<std::vector<std::string>, std::uint32_t>> cases = {
      {{"--ad", "C:\\A", "--pid", "42"}, 42u},
      {{"--p", "7", "--a", "C:\\A"}, 7u},
      {{"--ad", "C:\\A", "--pid=4294967295"}, 4294967295u},
      {{"--ad", "C:\\A", "--pid", "0"}, 0u},
      // The library's unsigned conversion wraps a leading minus.
      {{"--ad", "C:\\A", "--pid=-1"}, 4294967295u},
      {{"--ad", "C:\\A", "--pid", "-1"}, 4294967295u},
  };
  for (const auto& [words, expected] : cases) {
    Calls calls;
    EXPECT_EQ(Decide(words, calls), kApplyModeCode);
    ASSERT_TRUE(calls.processId.has_value());
    EXPECT_EQ(*calls.processId, expected);
  }
}

TEST(CommandLine, RejectionsRunNoModeAndExitWith2) {
  for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
           {"--pid", "abc"},
           {"--pid", "4294967296"},
           {"--pid", "99999999999999999999"},
           {"--ad"},
           {"--ad", "-h"},
           {"--pid", "--ad", "C:\\A"},
           {"--pid"},
           {"--help=1"},
           {"--ad="},
           {"--ad", "C:\\A", "--ad", "C:\\B"},
           {"-h", "--help"},
           {"--help", "--pid", "x"},
           // Placeholders of the library's own messages in the rejected text.
           {"--pid=%value%"},
           {"--pid=a%value%b"},
           {"--pid", "%canonical_option%"},
       }) {
    Calls calls;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Decide(words, calls), kExitRejected) << ::testing::PrintToString(words);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    EXPECT_EQ(calls.start + calls.apply, 0);
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
