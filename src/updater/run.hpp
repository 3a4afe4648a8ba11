#pragma once
// What the parts of an updater run share: the run itself, how it ends early, the tree it fetches
// from and the files it reads and writes in the installation. Internal to src/updater/.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "launcher/run_log.hpp"
#include "platform/file_stream.hpp"
#include "platform/http.hpp"
#include "platform/lock.hpp"
#include "platform/signed_feed.hpp"
#include "updater/exit_codes.hpp"
#include "updater/feed.hpp"
#include "updater/feed_check.hpp"
#include "updater/plan.hpp"
#include "updater/state.hpp"
#include "updater/update.hpp"

inline constexpr std::size_t kChunk = 1 << 16;
// How long a run waits for another run of the updater to let go of the installation: a run
// started as the last one ends is not turned away busy.
inline constexpr std::chrono::milliseconds kOwnLockPatience{2000};

// How a run ends early: the exit code, the outcome's words and one sentence.
struct Stop {
  int exitCode;
  const char* outcome;
  std::string message;
};

[[noreturn]] inline void Fail(int exitCode, const char* outcome, const std::string& message) {
  LogLine(message);
  throw Stop{exitCode, outcome, message};
}

[[noreturn]] inline void FailLocally(const std::string& what, const boost::system::error_code& error) {
  if (DiskFull(error)) Fail(kUpdateDiskFull, "disk full", what + ": the disk is full, " + LogError(error));
  Fail(kUpdateLocalFailure, "local failure", what + ", " + LogError(error));
}

struct Run {
  UpdaterOptions options;
  boost::filesystem::path install, data, staging, incoming, superseded, partial;
  // `data`, held from the start of the run: what the updater makes, writes, renames or removes
  // there is reached from it, never through a link (platform/files_below.hpp).
  HeldFolder dataFolder;
  std::string base;  // the tree's base URL, or empty with `options.from`
  FeedAnchor anchor;
  KeyRecord keys;  // the publisher's keys: the record built in, or the last the updater took after it
  UpdaterState state;
  bool stateRead = false;  // `state` is what the state file held (or it held nothing)
  std::optional<InstallationLock> ownLock;  // the updater's own, one run at a time
  UpdateReport report;
};

// Runs `work`, and puts how it ended into `run.report`: a Stop as it says, a file system's failure
// as "local failure" (or "disk full"), anything else as "internal error", each in the log.
void Report(Run& run, const std::function<void()>& work);

// The installation `options` name (--install, or the folder above this program's own), made
// absolute; stops the run when it holds no loader.
boost::filesystem::path FindInstallation(const UpdaterOptions& options);


// ---------------------------------------------------------------- the tree (transfer.cpp)

struct Got {
  HttpMeaning meaning = HttpMeaning::kUnexpected;
  HttpAnswer answer;
  boost::system::error_code error;      // no complete answer: the network's failure, or the folder's
  std::uint64_t received = 0;  // the bytes of the body taken
  bool tooLong = false;  // more than the cap arrived
  bool tooSlow = false;  // the answer took longer than its size allows (a server trickling bytes)
};

using Body = std::function<bool(HttpMeaning meaning, const char* bytes, std::size_t size)>;

// The place of `relative` in the tree, as the log writes it: its URL, or its path in the folder.
std::string Where(const Run& run, const std::string& relative);
// `relative` (e.g. "objects/<sha256>") of the tree, its body passed to `body` up to `cap` bytes
// (the whole object's size). A folder answers as a server that ignores ranges and validators.
Got Request(Run& run, const std::string& relative, HttpRequest request, std::uint64_t cap, const Body& body);
// "HTTP 404", "curl error 28", "no answer".
std::string AnswerText(const Got& got);
// What `got` brought of an object of `size` bytes asked for from `resumeFrom`: whole, cut, or the
// server's damaged copy.
Delivery DeliveryOfObject(const Got& got, std::uint64_t resumeFrom, std::uint64_t size);
[[noreturn]] void FailFetching(const Run& run, const std::string& relative, const Got& got);
// A file of the release folder, whole, held to what the feed pinned: fetched again once when it
// does not match; then the release is refused.
std::string FetchPinned(Run& run, const std::string& relative, const PinnedFile& pinned);
// The object of `digest` into `target`: resumed from the partial download kept for it, streamed
// through SHA-256, held to `size`; fetched anew once when it does not match.
void Download(Run& run, const std::string& digest, std::uint64_t size, const boost::filesystem::path& target,
              const std::function<void(std::uint64_t)>& progress);

// ---------------------------------------------------------------- files on disk (local_files.cpp)

// Runs `attempt` (a rename or a removal below data/) again while its failure may pass (a file a
// scanner or an indexer holds for a moment; never a full disk, a link, a missing file), for up to
// 5 s, 100 ms apart, as the loader moves its own files. By then the run has learnt that data/ can
// be written (ProbeWriting), so that on Windows a denied access is a file held. The log says what
// (`what`) took more than one attempt. Returns the last attempt's failure, or a clear code.
boost::system::error_code RetriedInData(const std::string& what, const std::function<boost::system::error_code()>& attempt);
// Whether RetriedInData tries a failure again.
bool MayPassInData(const boost::system::error_code& failure);

// The whole file, or nothing when there is none; the failure to read it otherwise. Shared with
// readers only, unless `sharing` says more (status).
boost::system::error_code ReadIfThere(const boost::filesystem::path& file, std::optional<std::string>& bytes,
                                      ReadSharing sharing = ReadSharing::kReaders);
// Written beside its name, flushed, then moved over it: a run killed meanwhile leaves the old file.
// Its folder is held, and the file written and moved from it: never through a link.
void WriteWhole(const boost::filesystem::path& file, const std::string& bytes);
// Every plain file below `root` (links and anything else left out, none followed: the walk's), with
// relative paths, `/` between names, `skip` (a folder's relative path) not entered. Nothing when
// `root` is no folder (missing, or a link).
std::vector<FoundFile> FilesBelow(const boost::filesystem::path& root, const char* skip = nullptr);
std::optional<std::string> DigestOf(const boost::filesystem::path& file, ReadSharing sharing = ReadSharing::kReaders);
// `path`, below `run.data`, relative to it.
NativeString InData(const Run& run, const boost::filesystem::path& path);
// An attempt (RetriedInData) to remove what stands at `path`, below data, as RemoveBelow does,
// into `removal`; the failure, or a clear code.
std::function<boost::system::error_code()> RemovingBelow(const Run& run, const boost::filesystem::path& path,
                                                         Removal& removal);
// Whether the folder `relative` (`/` between names) lies deeper than any release may reach (more
// than 64 folders): nothing of a release is there, and a walk holding a descriptor per level never
// enters it.
bool BelowTheDeepestFolder(const NativeString& relative);
// Makes `folder`, below data, a folder of the updater's own: whatever else stands at its name (a
// file, a link, removed as the link) goes first. Stops the run where it cannot.
void OwnFolder(const Run& run, const boost::filesystem::path& folder);
// Removes what stands at `path`, below data, as RemoveTree does; a link this system can remove
// only by reaching what it points to (Wine) is left, and stops the run (local failure), named once
// in the log.
void RemoveInData(const Run& run, const boost::filesystem::path& path);
// Copies `from` to `to`, below data, through SHA-256, read once; false, with nothing left at `to`,
// when it is not `size` bytes with `digest` (it changed since it was looked at). Never a link: a
// copy, written never through a link.
bool CopyVerified(const Run& run, const boost::filesystem::path& from, const boost::filesystem::path& to,
                  std::uint64_t size, const std::string& digest);
// Local files of a folder found by digest, each hashed at most once, and only when a needed
// object has its size.
struct DigestIndex {
  boost::filesystem::path root;
  std::map<std::uint64_t, std::vector<NativeString>> unhashed;
  std::map<std::string, NativeString> byDigest;
};

DigestIndex IndexOf(const boost::filesystem::path& root, const std::vector<FoundFile>& files);
std::optional<NativeString> Find(DigestIndex& index, const std::string& digest, std::uint64_t size);
// The id of the staging in `directory` from its two manifest files; empty when it has none.
std::string StagedReleaseOf(const boost::filesystem::path& directory, ReadSharing sharing = ReadSharing::kReaders);
// Whether the installation runs `release`'s programs: its loader and application are the ones
// the release staged.
bool InstalledNow(const boost::filesystem::path& install, const KnownRelease& release,
                  ReadSharing sharing = ReadSharing::kReaders);
// Leaves nothing of a release no longer needed: the incoming tree and the partial download.
void ForgetDownloads(const Run& run);
// The bytes of `digest` a partial download keeps.
std::uint64_t PartialSize(const Run& run, const std::string& digest);

// ---------------------------------------------------------------- the publisher's keys (keys.cpp)

// The installation's current key record into `run.keys`; stops the run ("feed refused") when this
// build pins no key, before anything is asked of a server.
void ReadKeys(Run& run);
// Fetches and takes the key records that follow the current one from the tree (keys/<v>.keys), at
// most 16 a run and up to version `upTo` where one is named, stopping at the first missing or
// refused one; each taken is kept in data/velmora-update.keys/ as it came. Whether any was taken.
bool FetchKeyRecords(Run& run, std::optional<std::uint32_t> upTo);

// ---------------------------------------------------------------- the administrator's settings (settings.cpp)

struct AdministratorSettings;
// The policy's settings over the file's; stops the run ("settings refused") when either cannot be
// read or is malformed.
AdministratorSettings ReadAdministratorSettings(const boost::filesystem::path& dataDirectory,
                                                ReadSharing sharing = ReadSharing::kReaders);
// Applies the settings to `run` (the feed, unless it stages from a folder, and the channel) and
// returns the log's line about them, empty when none is set; stops the run as "turned off" when
// checks are off and it would ask a server.
std::string ApplyAdministratorSettings(Run& run);
