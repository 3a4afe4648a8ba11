// The entry's splitting of a real Windows command-line tail, and the hand-over text read back
// by it. Built for Windows only.

#include <gtest/gtest.h>

#include <boost/program_options/parsers.hpp>

#include "launcher/command_line.hpp"
#include "launcher/exit_codes.hpp"
#include "launcher/layout.hpp"
#include "platform/command_tail.hpp"
#include "support/text.hpp"

namespace po = boost::program_options;

namespace {
struct Received {
  int code = 0;
  bool apply = false;
  std::wstring installDirectory;
};

Received RunTail(const std::wstring& tail) {
  Received received;
  received.code = RunCommandLine(
      [&] { return po::split_winmain(tail); },
      [&](const NativeString& installDirectory, std::optional<std::uint32_t>) {
        received.apply = true;
        received.installDirectory = installDirectory;
        return 0;
      },
      [] { return 0; });
  return received;
}
}  // namespace

TEST(WindowsTail, QuotedBlanksBackslashesAndNonAscii) {
  EXPECT_EQ(RunTail(L"--ad \"C:\\Program Files\\Example\"").installDirectory, L"C:\\Program Files\\Example");
  EXPECT_EQ(RunTail(L"   --ad   C:\\A\\B\\  ").installDirectory, L"C:\\A\\B\\");
  EXPECT_EQ(RunTail(L"--ad \"C:\\a\\\\\"").installDirectory, L"C:\\a\\");
  EXPECT_EQ(RunTail(L"--ad C:\\a\\\"b").installDirectory, L"C:\\a\"b");
  EXPECT_EQ(RunTail(L"--ad \"D:\\\u6D4B\u8BD5\\\u76EE\u5F55\"").installDirectory, L"D:\\\u6D4B\u8BD5\\\u76EE\u5F55");
  EXPECT_EQ(RunTail(L"--foo \"\" --ad X").installDirectory, L"X");
  EXPECT_FALSE(RunTail(L"").apply);
  EXPECT_FALSE(RunTail(L" \t ").apply);
}

TEST(WindowsTail, EmptyQuotedArgumentIsAWord) {
  EXPECT_EQ(po::split_winmain(std::wstring(L"a \"\" b")), (std::vector<std::wstring>{L"a", L"", L"b"}));
}

TEST(WindowsTail, HandOverParametersComeBackUnchanged) {
  for (const std::wstring directory : {L"C:\\Program Files\\Example", L"C:", L"\\\\server\\share\\dir",
                                       L"D:\\\u6D4B\u8BD5 100% %1%", L"E:\\a b\\c  d"}) {
    const Received received = RunTail(HandOverParameters(directory));
    EXPECT_TRUE(received.apply);
    EXPECT_EQ(received.installDirectory, directory);
  }
}

// The POSIX port splits hand-over parameters itself; it must agree with the library here.
TEST(WindowsTail, PortableSplitterAgreesWithTheLibrary) {
  for (const std::string tail : {"", "  ", "a b", "\"a b\" c", "a\\\\\"b c\" d", "a\\\"b", "\"\"", "x \"\" \"\"",
                                 "\\\\\\\"", "\"a\\\\\"", "tab\there", "\"open", "a\\\\b\\", "\"\"\"\"", "x\"\"y"}) {
    EXPECT_EQ(SplitCommandTail(tail), po::split_winmain(tail)) << tail;
  }
}
