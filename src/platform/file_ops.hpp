#pragma once
// File operations whose semantics differ between platforms.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// Moves `from` to `to`. An existing file at `to` is replaced; an existing directory, even an
// empty one, is not, and the move fails. Returns the failure, or a clear code.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to);
