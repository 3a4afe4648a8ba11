#pragma once
// The entries below a folder, found by a walk that follows nothing: no link is entered or read
// through, and each name is taken from the folder's own listing, joined to the names above it.

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/digest.hpp"
#include "platform/native_text.hpp"

// What an entry is, as its folder's listing tells it.
enum class EntryKind {
  kFolder,
  kFile,     // also a deduplicated or compressed file, and a cloud file present on disk
  kLink,     // a name surrogate: a symbolic link, a junction, a WSL link; an app execution alias
  kSpecial,  // anything else: a socket, a pipe, a device, a folder that is a reparse point of
             // another kind, a cloud placeholder whose data is not on disk (reading would fetch it)
};

struct TreeEntry {
  NativeString relative;  // below the walk's root, `/` between names
  EntryKind kind = EntryKind::kFile;
  bool read = false;      // the file has been read: what follows holds what that found
  FileDigest digest;
  boost::system::error_code error;  // the failure to open or read it
};

// What the walk does after a visit.
enum class WalkStep {
  kGoOn,  // on to the next entry; a folder is entered first
  kRead,  // a file: read it once, then visit it again with what the read found
  kSkip,  // a folder: not entered; on to the next entry
  kStop,  // the walk ends here
};

// Visits every entry below `root`, depth first, in the order of each folder's listing. A link at
// `root` itself is not followed either: the walk fails. Natively one descriptor is held per
// folder level, so the depth that `visit` lets the walk enter bounds the descriptors it takes.
// Returns the failure to list a folder, or a clear code (also when a visit stopped the walk).
boost::system::error_code WalkTree(const NativeString& root, const std::function<WalkStep(const TreeEntry&)>& visit);

// What Windows' listing of an entry means: its attributes (`dwFileAttributes`) and, where they
// mark a reparse point, its tag.
EntryKind KindOfListedEntry(std::uint32_t attributes, std::uint32_t reparseTag);

// `path` in the form the system takes as it is: on Windows the `\\?\` form (`\\?\C:\...`,
// `\\?\UNC\server\share\...`), in which no name is read as a device, no dot or blank is dropped
// and no length limit applies, made full against the process's current folder first
// (WindowsVerbatimForm); elsewhere `path` itself.
NativeString VerbatimPath(const NativeString& path);

// `path` in Windows' verbatim form, made full first as Windows makes a path full, since the
// verbatim form takes every name literally: a relative path joined to `current` (a full path),
// `/` read as `\`, empty names and `.` dropped, `..` taking away the name before it (never the
// drive or the share). Each name is kept as it is otherwise, so that the form names exactly it. A
// path verbatim already or of a device (`\\.\`) comes back as it is, and so does one that cannot
// be made full (a relative path with no full `current`). Decided alike on every platform.
std::wstring WindowsVerbatimForm(const std::wstring& path, const std::wstring& current);
