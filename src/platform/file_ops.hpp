#pragma once
// File operations whose semantics differ between platforms.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/native_text.hpp"

// How a move replaces a file that stands at its target.
enum class Replacing {
  kByName,  // as the system's move does; on Windows refused while anyone holds the old file open
  // On Windows with POSIX semantics where the system offers them (Windows 10 1607 on, NTFS): the
  // name takes the new file at once, while programs that opened the old one sharing deletion (a
  // scanner, an indexer) keep reading it; by name where it refuses them (Wine 8). A rename always
  // does so elsewhere.
  kEvenWhileOpen,
};

// Moves `from` to `to` on the same volume, never by copying. An existing file at `to` is
// replaced as `replacing` says; an existing directory, even an empty one, is not, and the move
// fails. Returns the failure, or a clear code.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to,
                                     Replacing replacing = Replacing::kByName);

// Whether a failed move may pass when tried again a moment later: a file held open by a running
// program or a scanner. A missing source, a target in the way, another volume or, on POSIX, a
// permission stay as they are however long one waits. Decided on the platform's own error
// numbers: on Windows a held file and a denied access are the same number.
bool MayPassLater(const boost::system::error_code& failure);

// What stands at a path, told from the path's own attributes and, where something was opened
// there, from the final path of what was opened: a link is never followed to tell.
enum class PathKind {
  kAbsent,
  kFolder,
  kLink,   // a symbolic link, a junction, a mount point: what names another place; under Wine a Unix link
  kOther,  // a file, or anything else that is no folder
};

// The kind of what stands at `path`; the failure to tell, or a clear code.
boost::system::error_code KindOfPath(const boost::filesystem::path& path, PathKind& kind);

// What a removal left behind.
enum class Removed {
  kAll,
  // A link this system can remove only by reaching what it points to (Wine 8, whose calls delete a
  // Unix link's target and keep the link): it is left in place, and so are the folders above it.
  kLinkLeft,
  // The held folder's path names another folder now: nothing was removed.
  kNotHeld,
};
struct Removal {
  Removed outcome = Removed::kAll;
  boost::filesystem::path link;  // the link left in place, for kLinkLeft
};

// Removes `root` and everything below it, never through a link and never into another file
// system: a link, at `root` or below it, is removed as a link, and a folder below `root` on another
// file system (a mount point) makes it throw before anything is removed. Where the removal is
// refused for want of permission (a folder inside that its owner may not write, a read-only file
// on Windows), gives the owner the rights needed and removes it again. Nothing at `root` is
// nothing to do. Throws the library's error when the removal still fails.
Removal RemoveTree(const boost::filesystem::path& root);

// Throws when a file system is mounted at `root` or anywhere below it: a removal would empty
// what is mounted there. On Windows a mount point is a reparse point, which the removal takes for
// a link and never enters: nothing is looked at.
void RequireOneFileSystem(const boost::filesystem::path& root);

// A folder held open until the last copy of this goes: natively a directory descriptor, on
// Windows a handle that shares no deletion, so that nobody renames or removes the folder while it
// is held. Empty where nothing is held.
using HeldFolder = std::shared_ptr<void>;

// Opens the folder at `folder` and holds it in `held` when `kind` comes back kFolder; a link there
// (kLink) is never opened through, nor is anything else held.
boost::system::error_code HoldFolder(const boost::filesystem::path& folder, HeldFolder& held, PathKind& kind);

// Whether `folder` still names the folder in `held`: the same device and inode natively, the same
// volume and file id on Windows.
bool NamesHeldFolder(const HeldFolder& held, const boost::filesystem::path& folder);

// Removes what the held folder holds, as RemoveTree does, then lets it go and removes the folder
// at `folder`, which only an empty folder can be: a staging put at that name meanwhile stays.
// Removes nothing when `folder` no longer names the held folder (kNotHeld). Throws as RemoveTree.
Removal RemoveHeldFolder(HeldFolder& held, const boost::filesystem::path& folder);

// Orders two relative paths, `/` between their names, as this system's file names compare: on
// Windows letter case is ignored, as the file system ignores it; elsewhere byte by byte. Negative,
// zero or positive, as the first comes before, names the same file as, or comes after the second.
int CompareFileNames(const NativeString& first, const NativeString& second);

// Orders two relative paths as Windows compares file names, whatever this system: letter case
// ignored, each character upper-cased by the system's table on Windows and natively by the C
// library's Unicode table, both for the characters of the Basic Multilingual Plane only, as
// Windows folds them; text that is not UTF-8 is compared byte by byte. A release is built once for
// every platform: what Windows would take for one file is told so everywhere.
int CompareFileNamesAsWindows(const NativeString& first, const NativeString& second);

// Whom a file is shared with while it is read (on Windows; elsewhere nothing keeps a file).
enum class ReadSharing {
  kReaders,  // other readers only: nothing writes, replaces or removes it meanwhile
  // readers, and whoever replaces or removes it meanwhile (the file, or a folder above it): what a
  // run that only looks must never keep from changing
  kReadersAndDeletion,
};

// The whole of the regular file at `file`, at most `limit` bytes, never through a link (on Windows
// by its verbatim path), into `bytes`, shared as `sharing` says. Returns
// `errc::no_such_file_or_directory` when nothing is at its name, `errc::invalid_argument` for
// anything but a regular file or one larger than `limit`, the failure to open or read it, or a
// clear code.
boost::system::error_code ReadWholeFile(const NativeString& file, std::uintmax_t limit, std::string& bytes,
                                        ReadSharing sharing = ReadSharing::kReaders);
