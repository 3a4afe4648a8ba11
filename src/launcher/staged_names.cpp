#include "launcher/staged_names.hpp"

#include <algorithm>
#include <string_view>
#include <type_traits>

namespace {
using NativeView = std::basic_string_view<NativeChar>;

// The length of `text` in UTF-16 units, as Windows counts a path: UTF-16 is counted as it is,
// UTF-8 by its code points; nullopt for bytes that are not UTF-8.
template <typename Char>
std::optional<std::size_t> Utf16Length(std::basic_string_view<Char> text) {
  if constexpr (sizeof(Char) == 2) {
    return text.size();
  } else {
    std::size_t length = 0;
    for (std::size_t at = 0; at < text.size();) {
      // Most names are ASCII: one byte, one unit.
      if (static_cast<unsigned char>(text[at]) < 0x80) {
        ++at;
        ++length;
        continue;
      }
      const std::optional<std::uint32_t> point = NextUtf8CodePoint(text, at);
      if (!point) return std::nullopt;
      length += *point >= 0x10000 ? 2 : 1;
    }
    return length;
  }
}

// COM and LPT with a superscript one, two or three (U+00B9, U+00B2, U+00B3) are devices too.
template <typename Char>
bool IsSuperscriptDigit(std::basic_string_view<Char> tail) {
  if constexpr (sizeof(Char) == 2) {
    return tail.size() == 1 && (tail[0] == 0xB9 || tail[0] == 0xB2 || tail[0] == 0xB3);
  } else {
    return tail == "\xC2\xB9" || tail == "\xC2\xB2" || tail == "\xC2\xB3";
  }
}

// Windows opens a device for its name whatever follows the first dot, and blanks before that dot
// are dropped: "nul.txt" and "NUL .tar.gz" are both NUL.
bool IsDeviceName(NativeView name) {
  std::size_t end = std::min(name.find(static_cast<NativeChar>('.')), name.size());
  while (end > 0 && name[end - 1] == static_cast<NativeChar>(' ')) --end;
  if (end < 3 || end > 7) return false;
  std::string base;
  for (std::size_t i = 0; i < end; ++i) {
    const auto unit = static_cast<std::make_unsigned_t<NativeChar>>(name[i]);
    const auto upper = unit >= 'a' && unit <= 'z' ? unit - 'a' + 'A' : unit;
    base.push_back(upper < 0x80 ? static_cast<char>(upper) : '?');
  }
  for (const std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (base == device) return true;
  }
  if (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0) return false;
  const NativeView tail = name.substr(3, end - 3);
  return (tail.size() == 1 && tail[0] >= '1' && tail[0] <= '9') || IsSuperscriptDigit(tail);
}

// The length of `name` in UTF-16 units where Windows can hold it, nullopt where it cannot.
std::optional<std::size_t> HoldableLength(NativeView name) {
  constexpr std::string_view kReserved = "<>:\"|?*\\/";
  const bool unfitCharacter = std::any_of(name.begin(), name.end(), [&](NativeChar c) {
    const auto unit = static_cast<std::make_unsigned_t<NativeChar>>(c);
    return unit < 0x20 || (unit < 0x80 && kReserved.find(static_cast<char>(unit)) != std::string_view::npos);
  });
  if (name.empty() || unfitCharacter || name.back() == '.' || name.back() == ' ' || IsDeviceName(name)) {
    return std::nullopt;
  }
  return Utf16Length(name);
}
}  // namespace

std::optional<std::uint32_t> NextUtf8CodePoint(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || at + length > text.size()) return std::nullopt;
  std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return std::nullopt;
    point = (point << 6) | (byte(at + i) & 0x3F);
  }
  constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kShortest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return std::nullopt;
  at += length;
  return point;
}

bool WindowsCanHold(const NativeString& name) { return HoldableLength(name).has_value(); }

NameFault StagedPathFault(const NativeString& installDirectory, const NativeString& relative, bool folder) {
  std::size_t folders = folder ? 1 : 0;
  // The separators between the names count one each, as the backslashes they become.
  std::size_t length = 0;
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(relative.find(static_cast<NativeChar>('/'), start), relative.size());
    const std::optional<std::size_t> name = HoldableLength(NativeView(relative).substr(start, end - start));
    if (!name) return NameFault::kUnfitName;
    length += *name;
    if (end == relative.size()) break;
    ++folders;
    ++length;
    start = end + 1;
  }
  if (folders > kDeepestFolders) return NameFault::kTooDeep;
  // An install directory that is no UTF-8 (POSIX) is counted in bytes: it is this machine's, not
  // the release's, and no shorter than its characters.
  const NativeChar last = installDirectory.empty() ? NativeChar{} : installDirectory.back();
  const bool separated = last == '/' || (sizeof(NativeChar) == 2 && (last == '\\' || last == ':'));
  length += Utf16Length(NativeView(installDirectory)).value_or(installDirectory.size()) + (separated ? 0 : 1);
  return length > kLongestInstalledPath ? NameFault::kTooLong : NameFault::kNone;
}
