#pragma once
// What a HeldFolder holds on Windows, and the way down from it one name at a time: private to the
// platform's own files.

#include <windows.h>

#include <boost/system/error_code.hpp>
#include <string>
#include <vector>

#include "platform/file_ops.hpp"

struct HeldDirectory {
  HANDLE handle;
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
};

inline const HeldDirectory* HeldOf(const HeldFolder& held) { return static_cast<const HeldDirectory*>(held.get()); }

// The folders on the way to a name below a held folder, each open as itself and sharing no
// deletion, so that none is renamed, removed or replaced by a link while they are held.
struct FoldersOnTheWay {
  std::vector<HANDLE> handles;
  FoldersOnTheWay() = default;
  FoldersOnTheWay(const FoldersOnTheWay&) = delete;
  FoldersOnTheWay& operator=(const FoldersOnTheWay&) = delete;
  ~FoldersOnTheWay() {
    for (const HANDLE handle : handles) CloseHandle(handle);
  }
};

// The full path, in the system's form, of `relative` (`/` or `\` between names) below the held
// folder, every folder on the way to its last name opened as itself into `way` (made first where
// missing, with `make`): a link on the way (a reparse point, or under Wine a final path that is
// not the one expected) fails with `errc::too_many_symbolic_link_levels`, a file with
// `errc::not_a_directory`. With `make` the last name is made a folder too.
boost::system::error_code WalkBelow(const HeldFolder& held, const std::wstring& relative, bool make,
                                    FoldersOnTheWay& way, std::wstring& full);
