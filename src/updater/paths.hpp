#pragma once
// The updater's own names in the installation's data folder, each formed here alone.

#include <boost/filesystem/path.hpp>
#include <string>

// The tree being filled before it becomes the staging, in one rename.
boost::filesystem::path IncomingDirectory(const boost::filesystem::path& dataDirectory);
// A waiting staging moved aside for a newer one, removed once the newer one is in place.
boost::filesystem::path SupersededDirectory(const boost::filesystem::path& dataDirectory);
// The one object being downloaded, kept between runs so that a download resumes.
boost::filesystem::path PartialDirectory(const boost::filesystem::path& dataDirectory);
// The partial download of the object `sha256`, in PartialDirectory.
boost::filesystem::path PartialObject(const boost::filesystem::path& dataDirectory, const std::string& sha256);
// What the updater remembers: each channel's newest feed, the staged and installed releases.
boost::filesystem::path StateFile(const boost::filesystem::path& dataDirectory);
// The last feed of `channel` this installation accepted, as the server sent it (its second feed).
boost::filesystem::path CachedFeed(const boost::filesystem::path& dataDirectory, const std::string& channel);
// The first feed of `channel` that an updater before the second feed kept: removed once one is taken.
boost::filesystem::path RetiredCachedFeed(const boost::filesystem::path& dataDirectory, const std::string& channel);
// The administrator's settings for this installation's updater.
boost::filesystem::path SettingsFile(const boost::filesystem::path& dataDirectory);
// The updater's log, beside the loader's.
boost::filesystem::path UpdaterLog(const boost::filesystem::path& dataDirectory);
// The file of the lock that keeps a second run of the updater out while one works.
boost::filesystem::path UpdaterLockFile(const boost::filesystem::path& dataDirectory);
