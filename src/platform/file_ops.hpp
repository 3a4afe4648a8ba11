#pragma once
// File operations whose semantics differ between platforms.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <string>

#include "platform/native_text.hpp"

// Moves `from` to `to` on the same volume, never by copying. An existing file at `to` is
// replaced; an existing directory, even an empty one, is not, and the move fails. Returns the
// failure, or a clear code.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to);

// Whether a failed move may pass when tried again a moment later: a file held open by a running
// program or a scanner. A missing source, a target in the way, another volume or, on POSIX, a
// permission stay as they are however long one waits. Decided on the platform's own error
// numbers: on Windows a held file and a denied access are the same number.
bool MayPassLater(const boost::system::error_code& failure);

// Removes `root` and everything below it, as the library's recursive removal does, but never
// through a link and never into another file system: a folder below `root` on another file
// system (a mount point) makes it throw before anything is removed. Where the removal is refused
// for want of permission (a folder inside that its owner may not write), gives the owner every
// right on the folders below `root` and removes it again. Throws the library's error when the
// removal still fails.
void RemoveTree(const boost::filesystem::path& root);

// Throws when a file system is mounted at `root` or anywhere below it: a removal would empty
// what is mounted there. On Windows a mount point is a reparse point, which the library's removal
// takes for a link and never enters: nothing is looked at.
void RequireOneFileSystem(const boost::filesystem::path& root);

// Orders two relative paths, `/` between their names, as this system's file names compare: on
// Windows letter case is ignored, as the file system ignores it; elsewhere byte by byte. Negative,
// zero or positive, as the first comes before, names the same file as, or comes after the second.
int CompareFileNames(const NativeString& first, const NativeString& second);

// The whole of the regular file at `file`, at most `limit` bytes, never through a link (on Windows
// by its verbatim path), into `bytes`. Returns `errc::no_such_file_or_directory` when nothing is
// at its name, `errc::invalid_argument` for anything but a regular file or one larger than
// `limit`, the failure to open or read it, or a clear code.
boost::system::error_code ReadWholeFile(const NativeString& file, std::uintmax_t limit, std::string& bytes);
