#pragma once
// File operations whose semantics differ between platforms.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// Moves `from` to `to`. An existing file at `to` is replaced; an existing directory, even an
// empty one, is not, and the move fails. Returns the failure, or a clear code.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to);

// Removes `root` and everything below it, as the library's recursive removal does. Where that is
// refused for want of permission (a folder inside that its owner may not write), gives the owner
// every right on the folders below `root`, never through a link, and removes it again. Throws
// the library's error when the removal still fails.
void RemoveTree(const boost::filesystem::path& root);
