#pragma once
// The files and folders below a held folder (HoldFolder), each named by its path relative to it,
// `/` between names, and reached one name at a time from it, never through a link: natively from
// the held folder's descriptor (openat, mkdirat, renameat2, unlinkat, none following a link); on
// Windows by the path below the held folder's own, every folder on the way opened as itself and
// held against renaming while the call runs, a reparse point refused, and what was opened compared
// with the path it should have (under Wine, which shows a Unix link as what it points to). A link
// on the way, or at a name where a folder is wanted, fails the call with
// `errc::too_many_symbolic_link_levels`: nothing is read, written or removed through it.

#include <boost/system/error_code.hpp>

#include "platform/file_ops.hpp"
#include "platform/native_text.hpp"

// What stands at `relative`; nothing (kAbsent) where a folder on the way is missing or a file.
boost::system::error_code KindBelow(const HeldFolder& folder, const NativeString& relative, PathKind& kind);

// Makes the folder `relative` and every folder missing on the way to it.
boost::system::error_code MakeFoldersBelow(const HeldFolder& folder, const NativeString& relative);

// Moves `from` to `to`, both below the held folder, as RenamePath does: a file (or a link) at `to`
// is replaced, on Windows even while a scanner holds it (Replacing::kEvenWhileOpen), a folder
// never. A link at `from` is moved as the link.
boost::system::error_code RenameBelow(const HeldFolder& folder, const NativeString& from, const NativeString& to);

// Whether this user may make files in the held folder now: a file made there and gone at once
// (natively one without a name where the file system allows, on Windows one deleted as it closes).
// The failure to make it (a denied access, a read-only file system, a full disk), or a clear code.
// Nothing another program holds can fail it: on Windows, where a held file and a denied access
// give one number, what fails afterwards in a folder that passed is a file held.
boost::system::error_code ProbeWriting(const HeldFolder& folder);

// Removes what stands at `relative` as RemoveTree does: a link, there or below it, is removed as a
// link, or left where this system can remove it only by reaching what it points to (kLinkLeft, the
// link named relative to the held folder). Throws the library's error when the removal fails, and
// when a folder on the way is a link.
Removal RemoveBelow(const HeldFolder& folder, const NativeString& relative);
