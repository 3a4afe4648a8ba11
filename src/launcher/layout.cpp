#include "launcher/layout.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>

#include "platform/command_tail.hpp"

namespace fs = boost::filesystem;

fs::path Join(const fs::path& base, const char* name) {
  fs::path joined = base;
  joined /= name;
  return joined;
}

fs::path InstalledLoader(const fs::path& installDirectory) { return Join(installDirectory, kLoaderFile); }
fs::path IncomingLoader(const fs::path& installDirectory) { return Join(installDirectory, kIncomingLoaderFile); }
fs::path ApplicationDirectory(const fs::path& installDirectory) { return Join(installDirectory, kApplicationDirectory); }
fs::path MainApplication(const fs::path& installDirectory) {
  return Join(ApplicationDirectory(installDirectory), kMainApplicationFile);
}
fs::path RetiredApplicationDirectory(const fs::path& installDirectory) {
  return Join(installDirectory, kRetiredApplicationDirectory);
}
fs::path DataDirectory(const fs::path& installDirectory) { return Join(installDirectory, kDataDirectory); }
fs::path StagingDirectory(const fs::path& installDirectory) {
  return Join(DataDirectory(installDirectory), kStagingDirectory);
}
fs::path LogFile(const fs::path& installDirectory) { return Join(DataDirectory(installDirectory), kLogFile); }
fs::path LockFile(const fs::path& installDirectory) { return Join(DataDirectory(installDirectory), kLockFile); }
fs::path KeyRecordsDirectory(const fs::path& installDirectory) {
  return Join(DataDirectory(installDirectory), kKeyRecordsDirectory);
}

fs::path StagedLoader(const fs::path& updateDirectory) { return Join(updateDirectory, kLoaderFile); }
fs::path StagedApplicationDirectory(const fs::path& updateDirectory) {
  return Join(updateDirectory, kApplicationDirectory);
}
fs::path StagedApplication(const fs::path& updateDirectory) {
  return Join(StagedApplicationDirectory(updateDirectory), kMainApplicationFile);
}
fs::path StagedReleaseFile(const fs::path& updateDirectory) {
  return Join(StagedApplicationDirectory(updateDirectory), kReleaseFileName);
}

bool ProgramPresent(const fs::path& program) {
  const fs::file_status status = fs::status(program);
  return fs::exists(status) && !fs::is_directory(status);
}

// On Windows the quoting changes nothing but a drive root's backslash, which it doubles so that
// the closing quote stays a quote.
NativeString HandOverParameters(const NativeString& installDirectory) {
  boost::basic_format<NativeChar> parameters(NativeFromAscii("--ad \"%1%\""));
  parameters % QuotedArgumentBody(installDirectory);
  return parameters.str();
}

NativeString FailureMessage(const char* format, const fs::path& first) {
  boost::basic_format<NativeChar> message(NativeFromAscii(format));
  message % first.native();
  return message.str();
}

NativeString FailureMessage(const char* format, const fs::path& first, const fs::path& second) {
  boost::basic_format<NativeChar> message(NativeFromAscii(format));
  message % first.native() % second.native();
  return message.str();
}
