#pragma once
// The installation's log, <install>/data/Velmora.log: one line per decision the loader makes, for
// the vendor's support. Written only where "data" exists; a log that cannot be written changes
// nothing else.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/native_text.hpp"

// The loader's version: CMake's project version, compiled in.
extern const char kLoaderVersion[];

// Names <install>/data/Velmora.log for the rest of this run; writes nothing.
void StartRunLog(const boost::filesystem::path& installDirectory);
// Names `logFile` instead, for a program of the installation that keeps a log of its own.
void StartRunLogAt(const boost::filesystem::path& logFile);

// Appends one line: the time stamp and this process's id are added, and the text escaped as
// LogText does. After a failure the run writes no more lines.
void LogLine(const std::string& utf8Text);

// Holds the run's first line until the next LogLine, which writes it first.
void HoldFirstLine(const std::string& utf8Text);
// Writes the held first line with ", " and `ending` added; `ending` alone once it has been written.
void LogEndOfFirstLine(const std::string& utf8Ending);

// Text and paths as they go into the log: UTF-8 without control characters; see EscapedUtf8.
std::string LogText(const NativeString& text);
std::string LogText(const boost::filesystem::path& path);
// "error N", N the system's own number.
std::string LogError(const boost::system::error_code& error);
// Seconds with three decimals: "1.250 s".
std::string LogDuration(std::chrono::steady_clock::duration duration);
// "N attempt(s), <duration>".
std::string LogAttempts(int attempts, std::chrono::steady_clock::duration took);
// A program's file version, its four parts from the most significant: "2.1.0.7".
std::string LogVersion(std::uint64_t version);
// A name as the log quotes it: its LogText in double quotes.
std::string Quoted(const NativeString& name);

// The pure parts, for the tests.

// "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC) of a time in milliseconds since 1970.
std::string LogTimeStamp(std::int64_t millisecondsSinceEpoch);
// A whole line: the time stamp, a blank, the decimal process id, a blank, the escaped text cut
// to kLogTextLimit bytes, and a line feed.
inline constexpr std::size_t kLogTextLimit = 8192;
std::string LogLineText(std::int64_t millisecondsSinceEpoch, std::uint32_t processId, std::string_view utf8Text);
// Bytes as log text: valid UTF-8 stays as it is, a byte that is not part of valid UTF-8 becomes
// "\xHH", a C0 control character or DEL "\xHH" as well (below 0x80, so never taken for such a
// byte), a C1 control character or a line or paragraph separator "\uXXXX". A backslash stays, so
// that Windows paths read as they are.
std::string EscapedUtf8(std::string_view bytes);
// UTF-16 as log text: the same, an unpaired surrogate written "\uXXXX".
std::string EscapedUtf16(std::u16string_view units);
