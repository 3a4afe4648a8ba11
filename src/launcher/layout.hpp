#pragma once
// The installation layout: fixed names, how paths are joined, and texts built from paths.

#include <boost/filesystem/path.hpp>

#include "platform/native_text.hpp"

// Every name the loader forms on disk. The loader and the main application differ only in case.
inline constexpr char kLoaderFile[] = "Velmora.exe";
inline constexpr char kMainApplicationFile[] = "velmora.exe";
inline constexpr char kApplicationDirectory[] = "app";
// What a release is for (release_file.hpp), in its application directory.
inline constexpr char kReleaseFileName[] = "velmora.release";
inline constexpr char kRetiredApplicationDirectory[] = "app_old";
inline constexpr char kDataDirectory[] = "data";
inline constexpr char kStagingDirectory[] = "update";
// The new loader, complete on disk before it is moved over the installed one. Not a program
// name, so nothing takes it for one.
inline constexpr char kIncomingLoaderFile[] = "Velmora.exe.new";
// The installation's log, in the data directory.
inline constexpr char kLogFile[] = "Velmora.log";
// The file whose lock every run that changes the installation takes, where the system needs one
// (Windows), in the data directory.
inline constexpr char kLockFile[] = "Velmora.lock";
// The key records the updater took after the one built in, read by both programs, in the data
// directory.
inline constexpr char kKeyRecordsDirectory[] = "velmora-update.keys";

// `base` joined with `name`: one separator between them, none after a trailing separator or a
// drive colon, the bare name for an empty base.
boost::filesystem::path Join(const boost::filesystem::path& base, const char* name);

// The derived paths of an installation, each built here alone.
boost::filesystem::path InstalledLoader(const boost::filesystem::path& installDirectory);
boost::filesystem::path IncomingLoader(const boost::filesystem::path& installDirectory);
boost::filesystem::path ApplicationDirectory(const boost::filesystem::path& installDirectory);
boost::filesystem::path MainApplication(const boost::filesystem::path& installDirectory);
boost::filesystem::path RetiredApplicationDirectory(const boost::filesystem::path& installDirectory);
boost::filesystem::path DataDirectory(const boost::filesystem::path& installDirectory);
boost::filesystem::path StagingDirectory(const boost::filesystem::path& installDirectory);
boost::filesystem::path LogFile(const boost::filesystem::path& installDirectory);
boost::filesystem::path LockFile(const boost::filesystem::path& installDirectory);
boost::filesystem::path KeyRecordsDirectory(const boost::filesystem::path& installDirectory);

// What an update holds, in a staging directory or, in apply mode, the running loader's own
// directory: the staged loader, the staged application directory and its program.
boost::filesystem::path StagedLoader(const boost::filesystem::path& updateDirectory);
boost::filesystem::path StagedApplicationDirectory(const boost::filesystem::path& updateDirectory);
boost::filesystem::path StagedApplication(const boost::filesystem::path& updateDirectory);
boost::filesystem::path StagedReleaseFile(const boost::filesystem::path& updateDirectory);

// True when something other than a folder stands at `program`: a link, or a file Windows keeps
// as a reparse point (compressed, a cloud placeholder), counts. Throws when that cannot be told.
bool ProgramPresent(const boost::filesystem::path& program);

// The staged loader's command line: --ad and the install directory in double quotes, quoted
// so that the receiving side's splitting gives back the directory's exact text.
NativeString HandOverParameters(const NativeString& installDirectory);

// A failure message from an ASCII printf-style format whose %s placeholders take the paths' text.
NativeString FailureMessage(const char* format, const boost::filesystem::path& first);
NativeString FailureMessage(const char* format, const boost::filesystem::path& first,
                            const boost::filesystem::path& second);
