#pragma once
// What start mode and apply mode's restart route share about a staged update: whether the
// installation is free to take it, and the log's words for what became of a staging.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <string>

#include "platform/file_ops.hpp"
#include "platform/native_text.hpp"

enum class InstallationUse {
  kFree,
  kInUse,         // a program kept running from "app" or the update's folder
  kBeingApplied,  // the staged loader of that folder runs already, and starts the application when done
};

// Waits up to 3 s for the installation to become free, and says what it found in the log. Windows
// neither replaces the file of a running program nor renames a folder that one runs from, so an
// update handed over while a program runs from "app" (the application, however it was started,
// or a helper of it) or from `updateDirectory` would fail. The installed loader does not count:
// one waiting for its application is seen through the application.
InstallationUse WaitUntilFree(const boost::filesystem::path& applicationDirectory,
                              const boost::filesystem::path& updateDirectory);

// The log line of a staging kept for a later start because its handling failed with `error` at
// `subject`, or threw `detail`: the check's own words for a staging that cannot be checked now.
// Never throws.
std::string KeptAfterFailureText(const boost::filesystem::path& installDirectory, const char* finding,
                                 const NativeString& subject, const boost::system::error_code& error,
                                 const std::string& detail);

// The log line of a staging refused as a link where the update's folder should be, which is never
// followed: its integrity (stage it again, as a folder).
std::string RefusedLinkText(const boost::filesystem::path& installDirectory, const boost::filesystem::path& link);

// The log line of what a removal of `what` left: "removed <what>", a link left in place, or a
// folder replaced meanwhile and so left alone.
std::string RemovalText(const boost::filesystem::path& what, const Removal& removal);
