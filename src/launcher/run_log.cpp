#include "launcher/run_log.hpp"

#include <cstdio>
#include <optional>

#include "launcher/layout.hpp"
#include "platform/log.hpp"

const char kLoaderVersion[] = VELMORA_LOADER_VERSION;

namespace {
struct RunLog {
  NativeString file;  // empty: no log this run, or no more of it
  bool written = false;
  std::optional<std::string> heldFirstLine;
};
RunLog runLog;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendEscape(std::string& out, const char* format, unsigned value) {
  char escape[8];
  std::snprintf(escape, sizeof escape, format, value);
  out += escape;
}

// A character of valid text, escaped where a reader or a terminal would take it for something else.
void AppendCharacter(std::string& out, char32_t c) {
  if (c < 0x20 || c == 0x7F) {
    AppendEscape(out, "\\x%02X", static_cast<unsigned>(c));
  } else if ((c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029) {
    AppendEscape(out, "\\u%04X", static_cast<unsigned>(c));
  } else {
    AppendUtf8(out, c);
  }
}

// Escaped as the code units of this platform's paths.
template <typename Char>
std::string EscapedNative(const std::basic_string<Char>& text) {
  if constexpr (sizeof(Char) == 1) {
    return EscapedUtf8(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
  } else {
    static_assert(sizeof(Char) == 2, "paths are bytes or UTF-16");
    const std::u16string units(text.begin(), text.end());
    return EscapedUtf16(units);
  }
}

std::int64_t NowInMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Append(const std::string& utf8Text) {
  if (runLog.file.empty()) return;
  const std::string line = LogLineText(NowInMilliseconds(), CurrentProcessId(), utf8Text);
  // No retry and no second try later: a log that failed once stays silent for this run.
  if (!AppendLogLine(runLog.file, line, !runLog.written)) runLog.file.clear();
  runLog.written = true;
}
}  // namespace

void StartRunLog(const boost::filesystem::path& installDirectory) {
  runLog = RunLog{LogFile(installDirectory).native(), false, std::nullopt};
}

void StartRunLogAt(const boost::filesystem::path& logFile) { runLog = RunLog{logFile.native(), false, std::nullopt}; }

void LogLine(const std::string& utf8Text) {
  if (runLog.heldFirstLine) {
    const std::string first = *runLog.heldFirstLine;
    runLog.heldFirstLine.reset();
    Append(first);
  }
  Append(utf8Text);
}

void HoldFirstLine(const std::string& utf8Text) { runLog.heldFirstLine = utf8Text; }

void LogEndOfFirstLine(const std::string& utf8Ending) {
  if (!runLog.heldFirstLine) return LogLine(utf8Ending);
  const std::string first = *runLog.heldFirstLine + ", " + utf8Ending;
  runLog.heldFirstLine.reset();
  Append(first);
}

std::string LogText(const NativeString& text) { return EscapedNative(text); }
std::string LogText(const boost::filesystem::path& path) { return EscapedNative(path.native()); }

std::string LogError(const boost::system::error_code& error) { return "error " + std::to_string(error.value()); }

std::string LogDuration(std::chrono::steady_clock::duration duration) {
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld s", static_cast<long long>(milliseconds / 1000),
                static_cast<long long>(milliseconds % 1000));
  return text;
}

std::string LogAttempts(int attempts, std::chrono::steady_clock::duration took) {
  return std::to_string(attempts) + (attempts == 1 ? " attempt, " : " attempts, ") + LogDuration(took);
}

std::string Quoted(const NativeString& name) { return "\"" + LogText(name) + "\""; }

std::string LogVersion(std::uint64_t version) {
  std::string text;
  for (int shift = 48; shift >= 0; shift -= 16) {
    text += std::to_string((version >> shift) & 0xFFFF) + (shift != 0 ? "." : "");
  }
  return text;
}

// Days to a civil date in the proleptic Gregorian calendar, in eras of 400 years.
std::string LogTimeStamp(std::int64_t millisecondsSinceEpoch) {
  const std::int64_t dayMs = 86'400'000;
  std::int64_t days = millisecondsSinceEpoch / dayMs;
  std::int64_t rest = millisecondsSinceEpoch % dayMs;
  if (rest < 0) {
    rest += dayMs;
    --days;
  }
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  const std::int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3'600'000),
                static_cast<long long>(rest / 60'000 % 60), static_cast<long long>(rest / 1000 % 60),
                static_cast<long long>(rest % 1000));
  return text;
}

std::string LogLineText(std::int64_t millisecondsSinceEpoch, std::uint32_t processId, std::string_view utf8Text) {
  std::string text = EscapedUtf8(utf8Text);
  if (text.size() > kLogTextLimit) {
    // Cut before a character's continuation bytes, and say so.
    std::size_t end = kLogTextLimit - 3;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text = text.substr(0, end) + "...";
  }
  return LogTimeStamp(millisecondsSinceEpoch) + " " + std::to_string(processId) + " " + text + "\n";
}

std::string EscapedUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    const unsigned lead = byte(i);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                      : lead >= 0xF0 && lead < 0xF5  ? 4 : 0;
    char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= bytes.size() || (byte(i + k) & 0xC0) != 0x80) {
        length = 0;
        break;
      }
      c = (c << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((length == 3 && (c < 0x800 || (c >= 0xD800 && c < 0xE000))) || (length == 4 && (c < 0x10000 || c > 0x10FFFF))) {
      length = 0;
    }
    if (length == 0) {
      AppendEscape(out, "\\x%02X", lead);
      ++i;
    } else {
      AppendCharacter(out, c);
      i += length;
    }
  }
  return out;
}

std::string EscapedUtf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t unit = units[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      AppendCharacter(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit < 0xE000) {
      AppendEscape(out, "\\u%04X", static_cast<unsigned>(unit));
    } else {
      AppendCharacter(out, unit);
    }
  }
  return out;
}
