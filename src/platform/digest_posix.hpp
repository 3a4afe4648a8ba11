#pragma once
// The POSIX digest of a file named relative to an open folder, for the walk that holds it.

#include "platform/digest.hpp"

// Sha256OfFile for `name` in the folder open as `folder` (AT_FDCWD: the current one).
boost::system::error_code Sha256OfFileAt(int folder, const char* name, FileDigest& digest);
