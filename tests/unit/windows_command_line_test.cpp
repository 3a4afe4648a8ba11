// The entry's splitting of a real Windows command-line tail, and the hand-over text read back
// by it. Built for Windows only.

#include <gtest/gtest.h>

#include <boost/program_options/parsers.hpp>

#include "launcher/layout.hpp"
#include "platform/command_tail.hpp"
#include "support/decision.hpp"

namespace po = boost::program_options;

namespace {
Decision RunTail(const std::wstring& tail) {
  return Decide([&] { return po::split_winmain(tail); });
}
}  // namespace

TEST(WindowsTail, QuotedBlanksBackslashesAndNonAscii) {
  EXPECT_EQ(RunTail(L"--ad \"C:\\Program Files\\Example\"").installDirectory, L"C:\\Program Files\\Example");
  EXPECT_EQ(RunTail(L"   --ad   C:\\A\\B\\  ").installDirectory, L"C:\\A\\B\\");
  EXPECT_EQ(RunTail(L"--ad \"C:\\a\\\\\"").installDirectory, L"C:\\a\\");
  EXPECT_EQ(RunTail(L"--ad C:\\a\\\"b").installDirectory, L"C:\\a\"b");
  EXPECT_EQ(RunTail(L"--ad \"D:\\\u6D4B\u8BD5\\\u76EE\u5F55\"").installDirectory, L"D:\\\u6D4B\u8BD5\\\u76EE\u5F55");
  EXPECT_EQ(RunTail(L"--foo \"\" --ad X").installDirectory, L"X");
  EXPECT_EQ(RunTail(L"").startRuns, 1);
  EXPECT_EQ(RunTail(L" \t ").startRuns, 1);
  // A pair of quotes standing alone is an empty word.
  EXPECT_EQ(po::split_winmain(std::wstring(L"a \"\" b")), (std::vector<std::wstring>{L"a", L"", L"b"}));
}

TEST(WindowsTail, HandOverParametersComeBackUnchanged) {
  for (const std::wstring directory : {L"C:\\Program Files\\Example", L"Q:\\", L"C:", L"\\\\server\\share\\dir",
                                       L"D:\\\u6D4B\u8BD5 100% %1%", L"E:\\a b\\c  d"}) {
    const Decision decision = RunTail(HandOverParameters(directory));
    EXPECT_EQ(decision.applyRuns, 1);
    EXPECT_EQ(decision.installDirectory, directory);
  }
}

// The POSIX port splits hand-over parameters itself; it must agree with the library here.
TEST(WindowsTail, PortableSplitterAgreesWithTheLibrary) {
  for (const std::string tail : {"", "  ", "a b", "\"a b\" c", "a\\\\\"b c\" d", "a\\\"b", "\"\"", "x \"\" \"\"",
                                 "\\\\\\\"", "\"a\\\\\"", "tab\there", "\"open", "a\\\\b\\", "\"\"\"\"", "x\"\"y"}) {
    EXPECT_EQ(SplitCommandTail(tail), po::split_winmain(tail)) << tail;
  }
}
