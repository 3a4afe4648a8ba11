#pragma once
// Which paths a staged update may hold: only those Windows can hold and an application installed
// there can open, on every platform, so that a release meant for both is refused alike on both.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/native_text.hpp"

// What keeps a staged path from being installed.
enum class NameFault {
  kNone,
  kUnfitName,  // a name Windows cannot hold
  kTooLong,    // the installed path would reach 260 characters (MAX_PATH)
  kTooDeep,    // it would lie below more than 64 folders
};

inline constexpr std::size_t kLongestInstalledPath = 259;
inline constexpr std::size_t kDeepestFolders = 64;

// Whether Windows can hold `name` as one name of a path: none of <>:"|?*\ or U+0001-U+001F in it,
// no dot or blank at its end, no device name (CON, PRN, AUX, NUL, COM1-COM9, COM¹-COM³, LPT1-LPT9,
// LPT¹-LPT³, CONIN$, CONOUT$) before its first dot, in any letter case. On POSIX it must be UTF-8
// as well: Windows has no form for other bytes.
bool WindowsCanHold(const NativeString& name);

// What keeps `relative` (below the staging directory, `/` between names; a folder when `folder`)
// from being installed below `installDirectory`: a name Windows cannot hold, an installed path
// `<install>\<relative>` of 260 UTF-16 units or more, or more than 64 folders in `relative`, a
// folder counting itself. kNone when nothing does.
NameFault StagedPathFault(const NativeString& installDirectory, const NativeString& relative, bool folder);

// The code point starting at `at` of well-formed UTF-8 (shortest form, no surrogates), moving `at`
// past it; nullopt for anything else.
std::optional<std::uint32_t> NextUtf8CodePoint(std::string_view text, std::size_t& at);
