#include "updater/paths.hpp"

#include "launcher/layout.hpp"

namespace fs = boost::filesystem;

fs::path IncomingDirectory(const fs::path& dataDirectory) { return Join(dataDirectory, "update.incoming"); }
fs::path SupersededDirectory(const fs::path& dataDirectory) { return Join(dataDirectory, "update.superseded"); }
fs::path PartialDirectory(const fs::path& dataDirectory) { return Join(dataDirectory, "velmora-update.partial"); }
fs::path PartialObject(const fs::path& dataDirectory, const std::string& sha256) {
  return Join(PartialDirectory(dataDirectory), sha256.c_str());
}
fs::path StateFile(const fs::path& dataDirectory) { return Join(dataDirectory, "velmora-update.state"); }
fs::path CachedFeed(const fs::path& dataDirectory, const std::string& channel) {
  // A channel's name is letters, digits and . _ - only (ValidChannel): it can name a file.
  return Join(dataDirectory, ("velmora-update." + channel + ".feed2").c_str());
}
fs::path RetiredCachedFeed(const fs::path& dataDirectory, const std::string& channel) {
  return Join(dataDirectory, ("velmora-update." + channel + ".feed").c_str());
}
fs::path UpdaterLog(const fs::path& dataDirectory) { return Join(dataDirectory, "velmora-update.log"); }
fs::path SettingsFile(const fs::path& dataDirectory) { return Join(dataDirectory, "velmora-update.ini"); }
fs::path UpdaterLockFile(const fs::path& dataDirectory) { return Join(dataDirectory, "velmora-update.lock"); }
