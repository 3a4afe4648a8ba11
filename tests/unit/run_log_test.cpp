// The log's pure parts: time stamps, whole lines and the escaping of text and paths.

#include <gtest/gtest.h>

#include <boost/system/error_code.hpp>

#include "launcher/run_log.hpp"

TEST(LogTimeStamp, UtcWithMillisecondsAcrossLeapDaysAndCenturies) {
  EXPECT_EQ(LogTimeStamp(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(LogTimeStamp(951782400123), "2000-02-29T00:00:00.123Z");
  EXPECT_EQ(LogTimeStamp(4107542399999), "2100-02-28T23:59:59.999Z");
  EXPECT_EQ(LogTimeStamp(4107542400000), "2100-03-01T00:00:00.000Z");
  EXPECT_EQ(LogTimeStamp(1798759445006), "2026-12-31T23:24:05.006Z");
  // A clock set before 1970 still gives a date, not a negative remainder.
  EXPECT_EQ(LogTimeStamp(-1), "1969-12-31T23:59:59.999Z");
}

TEST(LogLineText, TimeStampProcessIdTextAndOneLineFeed) {
  EXPECT_EQ(LogLineText(0, 4242, "start mode"), "1970-01-01T00:00:00.000Z 4242 start mode\n");
  EXPECT_EQ(LogLineText(0, 7, "a\nb\r"), "1970-01-01T00:00:00.000Z 7 a\\x0Ab\\x0D\n");
  // Cut to its limit, never inside a character, and marked as cut.
  std::string characters;
  for (std::size_t i = 0; i < kLogTextLimit; ++i) characters += "\xC3\xA9";
  const std::string line = LogLineText(0, 1, characters);
  EXPECT_EQ(line.size(), std::string("1970-01-01T00:00:00.000Z 1 ").size() + kLogTextLimit);
  EXPECT_EQ(line.substr(line.size() - 6), "\xC3\xA9...\n");
}

TEST(EscapedUtf8, ValidTextStaysControlsAndStrayBytesAreEscaped) {
  EXPECT_EQ(EscapedUtf8("C:\\Program Files\\Velmora \xE6\xB5\x8B \xF0\x9F\x98\x80"),
            "C:\\Program Files\\Velmora \xE6\xB5\x8B \xF0\x9F\x98\x80");
  EXPECT_EQ(EscapedUtf8(std::string("a\0b\tc\x7F", 6)), "a\\x00b\\x09c\\x7F");
  // A byte that is no UTF-8: alone, cut short, overlong, a surrogate, past U+10FFFF.
  EXPECT_EQ(EscapedUtf8("\xFF\xC3"), "\\xFF\\xC3");
  EXPECT_EQ(EscapedUtf8("\xE6\xB5x"), "\\xE6\\xB5x");
  EXPECT_EQ(EscapedUtf8("\xC0\xAF\xE0\x80\xAF"), "\\xC0\\xAF\\xE0\\x80\\xAF");
  EXPECT_EQ(EscapedUtf8("\xED\xA0\x80"), "\\xED\\xA0\\x80");
  EXPECT_EQ(EscapedUtf8("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
  // C1 controls and the line and paragraph separators, which some readers take for a line end.
  EXPECT_EQ(EscapedUtf8("\xC2\x85\xE2\x80\xA8\xE2\x80\xA9\xC2\xA0"), "\\u0085\\u2028\\u2029\xC2\xA0");
  // Escaping twice changes nothing: a whole line may be escaped again.
  const std::string once = EscapedUtf8("\xFF\n\xC2\x85");
  EXPECT_EQ(EscapedUtf8(once), once);
}

TEST(EscapedUtf16, PairsJoinedAndUnpairedSurrogatesEscaped) {
  EXPECT_EQ(EscapedUtf16(u"C:\\Velmora \u6D4B"), "C:\\Velmora \xE6\xB5\x8B");
  EXPECT_EQ(EscapedUtf16(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(EscapedUtf16(std::u16string{u'a', 0xD800, u'b', 0xDC00, 0xDBFF}), "a\\uD800b\\uDC00\\uDBFF");
  EXPECT_EQ(EscapedUtf16(u"\n\u0085\u2028"), "\\x0A\\u0085\\u2028");
}

TEST(LogText, PathsOfThisPlatformAndSystemErrors) {
  // Paths are UTF-16 on Windows and bytes elsewhere: each goes through its own escaping.
  NativeString text = NativeFromAscii("dir");
  text.push_back(boost::filesystem::path::preferred_separator);
  text += NativeFromAscii("a\n");
  text.push_back(static_cast<NativeChar>(sizeof(NativeChar) == 1 ? 0xFF : 0xD800));
  const boost::filesystem::path path(text);
  EXPECT_EQ(LogText(path), std::string("dir") + static_cast<char>(boost::filesystem::path::preferred_separator) +
                               "a\\x0A" + (sizeof(NativeChar) == 1 ? "\\xFF" : "\\uD800"));
  EXPECT_EQ(LogError(boost::system::error_code(32, boost::system::system_category())), "error 32");
  EXPECT_EQ(LogDuration(std::chrono::milliseconds(5012)), "5.012 s");
}
