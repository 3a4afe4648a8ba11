#include "updater/update.hpp"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <numeric>
#include <set>
#include <utility>
#include <vector>

#include "launcher/installation_lock.hpp"
#include "launcher/layout.hpp"
#include "launcher/manifest.hpp"
#include "launcher/release_file.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staged_names.hpp"
#include "launcher/staged_update.hpp"
#include "launcher/staging_check.hpp"
#include "launcher/trust.hpp"
#include "platform/digest.hpp"
#include "platform/file_ops.hpp"
#include "platform/file_stream.hpp"
#include "platform/file_tree.hpp"
#include "platform/files_below.hpp"
#include "platform/http.hpp"
#include "platform/lock.hpp"
#include "platform/process.hpp"
#include "platform/publisher.hpp"
#include "platform/signed_feed.hpp"
#include "platform/version_record.hpp"
#include "updater/exit_codes.hpp"
#include "updater/feed.hpp"
#include "updater/feed_check.hpp"
#include "updater/paths.hpp"
#include "updater/plan.hpp"
#include "updater/state.hpp"
#include "updater/run.hpp"
#include "updater/settings.hpp"
#include "product.hpp"
#include "updater_defaults.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
using Clock = std::chrono::steady_clock;
// The loader's own patience with a lock held by anything but a loader; while a loader of the
// installation runs, the lock is waited for this much longer at most.
constexpr std::chrono::milliseconds kLockPatience(2000);
constexpr Clock::duration kLoaderPatience = std::chrono::minutes(5);
// Kept free beyond what the release needs: the log, the state, the file system's own blocks.
constexpr std::uint64_t kSpaceMargin = 4u << 20;

// ---------------------------------------------------------------- trust and the feed

void ChooseAnchor(Run& run) {
  const fs::path loader = InstalledLoader(run.install);
  const std::optional<bool> signedInstallation = CarriesSignature(loader.native());
  if (signedInstallation.value_or(false)) {
    const SignatureAnswer installed = ReadProgramSigner(loader.native());
    run.anchor.publisher = installed.signer;
    if (installed.status != 0 || run.anchor.publisher.empty()) {
      Fail(kUpdateFeedNotNow, "feed cannot be checked now",
           "trust: the installed loader's publisher could not be read: the feed cannot be checked now");
    }
    LogLine("trust: signed installation of " + Quoted(run.anchor.publisher) + ", the feed's signer must be its publisher");
    return;
  }
  run.anchor.publisher = !run.options.publisher.empty() ? run.options.publisher : NativeString(kBuiltInPublisher);
  run.anchor.roots = !run.options.cafile.empty() ? run.options.cafile : NativeString(kBuiltInRoots);
  if (run.anchor.publisher.empty() || (!kSystemRoots && run.anchor.roots.empty())) {
    run.anchor = FeedAnchor{};
    LogLine("trust: no publisher named for this installation: the feed's signer must hold one of the publisher's "
            "keys, whatever its certificate's name and chain");
    return;
  }
  LogLine("trust: the feed's signer must be " + Quoted(run.anchor.publisher) +
          (kSystemRoots ? std::string(", under the system's roots") : ", under the roots in " + LogText(run.anchor.roots)));
}

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The channel's feed as the server has it now; when the server says it has not changed since the
// one kept in `cached`, that one (`unchanged`).
struct FetchedFeed {
  std::string bytes;
  bool unchanged = false;
  HttpAnswer answer;
};

FetchedFeed FetchFeed(Run& run, const std::optional<std::string>& cached, const ChannelState& channel) {
  const std::string relative = run.options.channel + ".feed2";
  HttpRequest request;
  if (cached) {
    request.ifNoneMatch = channel.etag;
    request.ifModifiedSince = channel.lastModified;
  }
  FetchedFeed fetched;
  const Got got = Request(run, relative, request, kLargestFeed, [&](HttpMeaning, const char* data, std::size_t size) {
    fetched.bytes.append(data, size);
    return true;
  });
  if (got.tooLong) Fail(kUpdateFeedRefused, "feed refused", "feed refused: " + Where(run, relative) + " is larger than 64 KiB");
  if (got.error || (got.meaning != HttpMeaning::kBody && !(got.meaning == HttpMeaning::kNotModified && cached))) {
    FailFetching(run, relative, got);
  }
  fetched.unchanged = got.meaning == HttpMeaning::kNotModified;
  if (fetched.unchanged) fetched.bytes = *cached;
  fetched.answer = got.answer;
  LogLine("feed " + Where(run, relative) + ": " +
          (fetched.unchanged ? "not modified, the one accepted before" : std::to_string(fetched.bytes.size()) + " bytes"));
  return fetched;
}

// The channel's second feed, fetched (or, when the server says nothing changed, the one taken
// before), verified and judged; stops the run when it is not taken. Only a feed taken is kept.
Feed TakeFeed(Run& run) {
  const fs::path cachedFile = CachedFeed(run.data, run.options.channel);
  std::optional<std::string> cached;
  if (const error_code error = ReadIfThere(cachedFile, cached)) FailLocally("could not read " + LogText(cachedFile), error);
  ChannelState& channel = run.state.channels[run.options.channel];
  const FeedPurpose purpose{kProduct, kPlatform, run.options.channel};
  FetchedFeed fetched = FetchFeed(run, cached, channel);
  FeedCheck check = CheckSignedFeed(fetched.bytes, run.anchor, run.keys, purpose, channel.history, Now());
  // The server's 304 is about the feed taken then: a copy on disk that no longer verifies, or is
  // another, is the disk's fault, and the server's feed is fetched whole.
  if (fetched.unchanged && (check.feed ? check.digest != channel.history.digest : check.verdict == FeedVerdict::kRefused)) {
    LogLine("feed kept in " + LogText(cachedFile) + " is not the one taken before: fetching it whole");
    channel.etag.clear();
    channel.lastModified.clear();
    fetched = FetchFeed(run, std::nullopt, channel);
    check = CheckSignedFeed(fetched.bytes, run.anchor, run.keys, purpose, channel.history, Now());
  }
  // A signer the current record does not pin may be one a newer record of the tree names, and a
  // feed that names a newer record may come after one that retires a key: the records are fetched,
  // each verified by the chain alone, and the feed judged again.
  const bool newerNamed = check.keysNamed > run.keys.version;
  if ((check.unpinned || newerNamed) &&
      FetchKeyRecords(run, newerNamed ? std::optional<std::uint32_t>(check.keysNamed) : std::nullopt)) {
    check = CheckSignedFeed(fetched.bytes, run.anchor, run.keys, purpose, channel.history, Now());
  }
  if (check.verdict == FeedVerdict::kRefused) Fail(kUpdateFeedRefused, "feed refused", "feed refused: " + check.why);
  if (check.verdict == FeedVerdict::kNotNow) {
    Fail(kUpdateFeedNotNow, "feed cannot be checked now", "feed cannot be checked now: " + check.why);
  }
  const Feed& feed = check.feed->feed;
  LogLine("feed taken: product " + check.feed->product + ", platform " + check.feed->platform + ", channel " +
          feed.channel + ", issued " + UtcTimeText(feed.issued) + ", expires " + UtcTimeText(feed.expires) +
          ", release " + feed.release + ", version " + feed.version);
  channel.history = {feed.issued, check.digest};
  if (!fetched.unchanged) {
    channel.etag = KeptValidator(fetched.answer.etag);
    channel.lastModified = KeptValidator(fetched.answer.lastModified);
    WriteWhole(cachedFile, fetched.bytes);
  }
  WriteWhole(StateFile(run.data), StateText(run.state));
  error_code ignored;
  fs::remove(RetiredCachedFeed(run.data, run.options.channel), ignored);
  run.report.release = feed.release;
  run.report.version = feed.version;
  run.report.notes = feed.notes;
  return feed;
}

// ---------------------------------------------------------------- which release is where

// What is installed and staged now. A release this updater staged that is no longer in
// data/update went in when the installed programs are its own; otherwise the loader removed it.
InstalledState Observe(Run& run) {
  InstalledState observed;
  observed.stagedRelease = StagedReleaseOf(run.staging);
  if (run.state.staged && run.state.staged->release != observed.stagedRelease) {
    const KnownRelease staged = *run.state.staged;
    const bool installed = InstalledNow(run.install, staged);
    LogLine("release " + staged.release + (installed ? " staged before is installed now" : " staged before is gone"));
    if (installed) run.state.installed = staged;
    run.state.staged.reset();
    WriteWhole(StateFile(run.data), StateText(run.state));
  }
  if (run.state.installed) observed.installedRelease = run.state.installed->release;
  std::optional<std::uint64_t> version;
  ProgramVersion(MainApplication(run.install).native(), version);
  observed.installedVersion = version ? version : run.state.installed ? std::optional(run.state.installed->versionNumber)
                                                                      : std::nullopt;
  observed.refusedReleases = run.state.refused;
  return observed;
}

// ---------------------------------------------------------------- the plan and the fetching

struct Resolved {
  FileSource source = FileSource::kServer;
  fs::path from;  // the local file copied
};

struct Release {
  std::string manifestText, signatureBytes;
  std::vector<ManifestLine> lines;
  std::map<std::string, std::uint64_t> sizes;
  std::vector<FilePlan> plans;
  std::vector<Resolved> resolved;  // per plan
  std::uint64_t toFetch = 0, toWrite = 0;
};

// What a refused release fetched: kept for the run that finds the release refused before, or
// removed once the refusal is remembered.
enum class Fetched { kKept, kRemoved };

// Remembered before anything is removed, so that a removal that fails (a file a scanner still
// holds) neither loses the refusal nor makes it a local failure: what stays goes at the next run,
// which finds the release refused before.
[[noreturn]] void RefuseRelease(Run& run, const Feed& feed, const std::string& why, Fetched fetched = Fetched::kKept) {
  RememberRefused(run.state, feed.release);
  WriteWhole(StateFile(run.data), StateText(run.state));
  if (fetched == Fetched::kRemoved) {
    try {
      ForgetDownloads(run);
    } catch (const Stop&) {
      // Said in the log; the refusal stands.
    }
  }
  Fail(kUpdateReleaseRefused, "release refused",
       "release refused for its origin (never staged): " + feed.release + ": " + why);
}

// The release file the manifest lists, from a file of this machine that matches it or else fetched
// alone; nullopt when the manifest lists none.
std::optional<std::string> ListedReleaseFile(Run& run, const std::vector<ManifestLine>& lines,
                                             const std::map<std::string, std::uint64_t>& sizes) {
  const NativeString path = NativeFromAscii(kApplicationDirectory) + NativeFromAscii("/") + NativeFromAscii(kReleaseFileName);
  const auto line = std::find_if(lines.begin(), lines.end(), [&](const ManifestLine& listed) { return listed.path == path; });
  if (line == lines.end()) return std::nullopt;
  const std::uint64_t size = sizes.at(line->digest);
  // Larger than any release file: not one, and not fetched.
  if (size > kLargestReleaseFile) return std::string();
  for (const fs::path& root : {run.install, run.incoming}) {
    std::string bytes;
    Sha256 digest{};
    if (!ReadWholeFile((root / fs::path(path)).native(), kLargestReleaseFile, bytes) && Sha256OfBytes(bytes, digest) &&
        HexOf(digest) == line->digest) {
      return bytes;
    }
  }
  return FetchPinned(run, "objects/" + line->digest, {line->digest, size});
}

// Where each file comes from, every local source verified by its digest, and what is still to
// fetch and to write.
Release PlanRelease(Run& run, const Feed& feed) {
  Release release;
  const std::string folder = "releases/" + feed.release + "/";
  release.manifestText = FetchPinned(run, folder + kManifestFile, feed.manifest);
  release.signatureBytes = FetchPinned(run, folder + kManifestSignatureFile, feed.signature);
  const std::optional<std::vector<ManifestLine>> lines = ParseManifest(release.manifestText);
  if (!lines) RefuseRelease(run, feed, "its manifest is malformed");
  // Before any file is written: on Windows such a name would open a device, or another file.
  for (const ManifestLine& line : *lines) {
    if (StagedPathFault(run.install.native(), line.path, false) != NameFault::kNone) {
      RefuseRelease(run, feed, "it lists a path Windows cannot hold or install here: " + LogText(line.path));
    }
  }
  if (const auto twice = PathsTakenForOne(*lines, CompareFileNamesAsWindows)) {
    RefuseRelease(run, feed, "it lists two paths Windows takes for one file: " + LogText(twice->first) + " and " +
                                 LogText(twice->second));
  }
  const std::optional<std::map<std::string, std::uint64_t>> sizes =
      ParseSizes(FetchPinned(run, folder + kSizesFile, feed.sizes));
  if (!sizes || !SizesCoverManifest(*sizes, *lines)) RefuseRelease(run, feed, "its SIZES does not cover its manifest");
  // What the release is for, before any other object is fetched.
  const std::optional<std::string> releaseFile = ListedReleaseFile(run, *lines, *sizes);
  if (const ReleaseFit fit = FitOfRelease(releaseFile); fit != ReleaseFit::kOurs) {
    const std::optional<ReleaseFile> named = releaseFile ? ParseReleaseFile(*releaseFile) : std::nullopt;
    RefuseRelease(run, feed, ReleaseFitText(fit) + (named ? " (" + named->product + " for " + named->platform + ")" : std::string()) +
                                 ", this is " + kProduct + " for " + kPlatform);
  }
  release.lines = *lines;
  release.sizes = *sizes;

  std::vector<FoundFile> installed = FilesBelow(run.install, kDataDirectory);
  std::vector<FoundFile> incoming = FilesBelow(run.incoming);
  std::erase_if(installed, [](const FoundFile& file) {
    const NativeString application = NativeFromAscii(kApplicationDirectory) + NativeFromAscii("/");
    return file.path != NativeFromAscii(kLoaderFile) && file.path.rfind(application, 0) != 0;
  });
  release.plans = PlanSources(release.lines, release.sizes, installed, incoming);
  DigestIndex installedIndex = IndexOf(run.install, installed);
  DigestIndex incomingIndex = IndexOf(run.incoming, incoming);
  std::set<std::string> fetched;
  std::size_t local = 0, kept = 0;
  for (const FilePlan& plan : release.plans) {
    const ManifestLine& line = release.lines[plan.line];
    const fs::path path(line.path);
    Resolved resolved;
    for (const FileSource source : plan.sources) {
      std::optional<NativeString> found;
      if (source == FileSource::kIncoming && DigestOf(run.incoming / path) == line.digest) found = line.path;
      if (source == FileSource::kInstalled && DigestOf(run.install / path) == line.digest) found = line.path;
      if (source == FileSource::kIncomingByDigest) found = Find(incomingIndex, line.digest, plan.size);
      if (source == FileSource::kInstalledByDigest) found = Find(installedIndex, line.digest, plan.size);
      if (source == FileSource::kServer) {
        if (fetched.insert(line.digest).second) release.toFetch += plan.size - std::min(plan.size, PartialSize(run, line.digest));
        resolved.source = source;
        break;
      }
      if (found) {
        const bool fromInstallation = source == FileSource::kInstalled || source == FileSource::kInstalledByDigest;
        resolved = {source, (fromInstallation ? run.install : run.incoming) / fs::path(*found)};
        break;
      }
    }
    if (resolved.source == FileSource::kIncoming) {
      ++kept;
    } else {
      release.toWrite += plan.size;
      if (resolved.source != FileSource::kServer) ++local;
    }
    // What is fetched or copied for this line is the object of its digest for the lines after it.
    incomingIndex.byDigest.emplace(line.digest, line.path);
    release.resolved.push_back(resolved);
  }
  LogLine("release " + feed.release + ": " + std::to_string(release.lines.size()) + " files; " + std::to_string(kept) +
          " in place, " + std::to_string(local) + " copied from this machine, " + std::to_string(fetched.size()) +
          " objects from the server, " + std::to_string(release.toFetch) + " bytes to fetch");
  return release;
}

// Every file of the release into the incoming tree, the two manifest files last; what is there
// and listed nowhere removed.
void FillIncoming(Run& run, Release& release) {
  std::uint64_t done = 0;
  // Against the signed sizes, never a server's length.
  const auto progress = [&](std::uint64_t count) {
    done += count;
    if (run.options.progress) run.options.progress(done, release.toFetch, false);
  };
  // Listed nowhere: left from another release, in the way of this one's files (a file where it
  // needs a folder, a folder where it needs a file) and of its check; a link, never followed. Gone
  // before anything is written.
  OwnFolder(run, run.incoming);
  std::set<NativeString> listed;
  for (const ManifestLine& line : release.lines) listed.insert(line.path);
  std::vector<NativeString> stray;
  const error_code walked = WalkTree(run.incoming.native(), [&](const TreeEntry& entry) {
    const bool isListed = listed.count(entry.relative) != 0;
    const bool kept = entry.kind == EntryKind::kFolder ? !isListed && !BelowTheDeepestFolder(entry.relative)
                                                       : entry.kind == EntryKind::kFile && isListed;
    if (kept) return WalkStep::kGoOn;
    stray.push_back(entry.relative);
    return WalkStep::kSkip;
  });
  if (walked) FailLocally("could not read " + LogText(run.incoming), walked);
  for (const NativeString& path : stray) RemoveInData(run, run.incoming / fs::path(path));
  if (run.options.progress) run.options.progress(0, release.toFetch, false);
  // The object a partial download is kept for comes first: one partial download at a time.
  std::vector<std::size_t> order(release.plans.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_partition(order.begin(), order.end(), [&](std::size_t i) {
    return release.resolved[i].source == FileSource::kServer &&
           PartialSize(run, release.lines[release.plans[i].line].digest) > 0;
  });
  for (const std::size_t i : order) {
    const ManifestLine& line = release.lines[release.plans[i].line];
    const std::uint64_t size = release.plans[i].size;
    const fs::path target = run.incoming / fs::path(line.path);
    Resolved& resolved = release.resolved[i];
    if (resolved.source == FileSource::kIncoming) continue;
    if (resolved.source != FileSource::kServer && CopyVerified(run, resolved.from, target, size, line.digest)) continue;
    // Fetched earlier in this run for another line: a copy of that.
    bool copied = false;
    for (const std::size_t j : order) {
      if (j == i || copied) break;
      const ManifestLine& earlier = release.lines[release.plans[j].line];
      if (earlier.digest == line.digest) {
        copied = CopyVerified(run, run.incoming / fs::path(earlier.path), target, size, line.digest);
      }
    }
    if (!copied) Download(run, line.digest, size, target, progress);
  }
  if (run.options.progress) run.options.progress(release.toFetch, release.toFetch, true);
  WriteWhole(Join(run.incoming, kManifestFile), release.manifestText);
  WriteWhole(Join(run.incoming, kManifestSignatureFile), release.signatureBytes);
}

// ---------------------------------------------------------------- staging

// Removes `folder`, below data, once the staging no longer needs it: nothing when it went, else
// what the log says of it (a link left, a failure); never a reason to fail a run that has staged.
std::optional<std::string> RemoveAfterStaging(const Run& run, const fs::path& folder) {
  Removal removal;
  if (const error_code error = RetriedInData("removed " + LogText(folder), RemovingBelow(run, folder, removal))) {
    return "could not remove " + LogText(folder) + ", " + LogError(error) + "; removed at the next run";
  }
  if (removal.outcome == Removed::kAll) return std::nullopt;
  return RemovalText(folder, {removal.outcome, run.data / removal.link});
}

// Moves `from` to `to`, both below data, tried again while a file held there may let go.
error_code MoveInData(const Run& run, const fs::path& from, const fs::path& to) {
  return RetriedInData("moved " + LogText(from) + " to " + LogText(to),
                       [&] { return RenameBelow(run.dataFolder, InData(run, from), InData(run, to)); });
}

// The lock every run that changes data/update takes: waited for as the loader waits, and for as
// long as a loader of the installation runs, which may hold it through a long check.
std::optional<InstallationLock> LockForStaging(const Run& run) {
  const Clock::time_point deadline = Clock::now() + kLoaderPatience;
  for (;;) {
    if (std::optional<InstallationLock> lock = LockInstallation(run.install.native(), kLockPatience)) return lock;
    const std::vector<RunningProgram> loaders =
        RunningFrom({InstalledLoader(run.install).native(), StagedLoader(run.staging).native()});
    if (loaders.empty() || Clock::now() >= deadline) return std::nullopt;
    LogLine("the installation's lock is held while a loader of the installation runs: waiting for it");
  }
}

// The incoming tree becomes data/update in one rename, under the lock; a waiting staging goes
// aside first and is removed once the lock is let go.
void PutInPlace(Run& run) {
  const Clock::time_point start = Clock::now();
  bool replaced = false;
  {
    const std::optional<InstallationLock> lock = LockForStaging(run);
    if (!lock) {
      Fail(kUpdateBusy, "busy", "the installation's lock is held by another run past " + LogDuration(Clock::now() - start) +
                                    "; the release is staged at the next run");
    }
    LogLine("the installation's lock taken after " + LogDuration(Clock::now() - start));
    error_code error;
    if (fs::exists(fs::symlink_status(run.staging, error))) {
      if (!RunningFrom({StagedLoader(run.staging).native(), run.staging.native()}).empty()) {
        Fail(kUpdateBusy, "busy", "the staging " + LogText(run.staging) +
                                      " is being applied by the loader: the release is staged at the next run");
      }
      error = MoveInData(run, run.staging, run.superseded);
      if (error) FailLocally("could not move " + LogText(run.staging) + " to " + LogText(run.superseded), error);
      LogLine("moved " + LogText(run.staging) + " to " + LogText(run.superseded));
      replaced = true;
    }
    error = MoveInData(run, run.incoming, run.staging);
    if (error) {
      // The one that waited goes back: a failed run leaves the state it found.
      if (replaced) MoveInData(run, run.superseded, run.staging);
      FailLocally("could not move " + LogText(run.incoming) + " to " + LogText(run.staging), error);
    }
    LogLine("moved " + LogText(run.incoming) + " to " + LogText(run.staging));
  }
  if (replaced) LogLine(RemoveAfterStaging(run, run.superseded).value_or("removed " + LogText(run.superseded)));
}

// A run killed between the two renames leaves data/update.superseded beside the incoming tree and
// no staging: the staging it held goes back. Anywhere else it is older than what came after it (the
// new staging, or what the loader installed from it since) and is removed, never put back.
void FinishInterruptedStaging(const Run& run) {
  error_code error;
  if (!fs::exists(fs::symlink_status(run.superseded, error))) return;
  const std::optional<InstallationLock> lock = LockForStaging(run);
  if (!lock) return;
  // A link, or what cannot be told, is never put back.
  PathKind superseded = PathKind::kAbsent;
  KindBelow(run.dataFolder, InData(run, run.superseded), superseded);
  if (superseded == PathKind::kFolder && !fs::exists(fs::symlink_status(run.staging, error)) &&
      fs::exists(fs::symlink_status(run.incoming, error))) {
    if (!MoveInData(run, run.superseded, run.staging)) {
      LogLine("interrupted staging found: moved " + LogText(run.superseded) + " back to " + LogText(run.staging));
      return;
    }
  }
  const std::optional<std::string> left = RemoveAfterStaging(run, run.superseded);
  LogLine("interrupted staging found: " + left.value_or("removed " + LogText(run.superseded)));
}

void Stage(Run& run, const Feed& feed, Release& release) {
  const fs::space_info space = fs::space(run.data);
  const std::uint64_t needed = release.toWrite + release.manifestText.size() + release.signatureBytes.size() + kSpaceMargin;
  if (space.available < needed) {
    LogLine("not enough free space in " + LogText(run.data) + ": " + std::to_string(space.available) +
            " bytes free, " + std::to_string(needed) + " needed");
    ForgetDownloads(run);
    throw Stop{kUpdateDiskFull, "disk full",
               "not enough free space: " + std::to_string(needed) + " bytes needed, " + std::to_string(space.available) +
                   " free"};
  }
  try {
    FillIncoming(run, release);
  } catch (const Stop& stop) {
    // A disk that filled up meanwhile leaves nothing behind; a network failure keeps what came.
    if (stop.exitCode == kUpdateDiskFull) ForgetDownloads(run);
    throw;
  }
  if (const error_code error = FlushFileSystemOf(run.data.native())) {
    FailLocally("could not flush " + LogText(run.data), error);
  }
  HeldFile held;
  const StagingCheck check = CheckStaging(run.install, run.incoming, held);
  held.reset();
  LogLine("staging check of " + LogText(run.incoming) + ": " + StagingCheckText(check));
  if (check.verdict == StagingVerdict::kRefused) {
    // Every file matched its digest on the way in: what the loader refuses is the release itself.
    RefuseRelease(run, feed, "the loader's check refuses it: " + std::string(check.finding), Fetched::kRemoved);
  }
  run.report.waits = check.verdict == StagingVerdict::kNotNow;
  PutInPlace(run);
  KnownRelease staged{feed.release, feed.version, feed.versionNumber, {}, {}};
  for (const ManifestLine& line : release.lines) {
    if (line.path == NativeFromAscii(kLoaderFile)) staged.loader = line.digest;
    if (line.path == NativeFromAscii(kApplicationDirectory) + NativeFromAscii("/") + NativeFromAscii(kMainApplicationFile)) {
      staged.application = line.digest;
    }
  }
  run.state.staged = staged;
  WriteWhole(StateFile(run.data), StateText(run.state));
  if (const std::optional<std::string> left = RemoveAfterStaging(run, run.partial)) LogLine(*left);
}

// ---------------------------------------------------------------- the commands

std::string VersionText(const InstalledState& observed) {
  if (!observed.installedVersion) return "unknown";
  const std::uint64_t v = *observed.installedVersion;
  return std::to_string(v >> 48) + "." + std::to_string((v >> 32) & 0xFFFF) + "." + std::to_string((v >> 16) & 0xFFFF) +
         "." + std::to_string(v & 0xFFFF);
}

void Done(Run& run, const char* outcome, const std::string& message) {
  LogLine(message);
  run.report.exitCode = kUpdateDone;
  run.report.outcome = outcome;
  run.report.message = message;
}

void RunCommand(Run& run, const std::string& settings) {
  const char* const command = run.options.stage ? "stage" : "check";
  const std::string source = run.base.empty() ? "folder " + LogText(run.options.from) : "feed " + run.base;
  LogLine(std::string(command) + ", updater " + kLoaderVersion + ", install " + LogText(run.install) + ", channel " +
          run.options.channel + ", " + source);
  if (!settings.empty()) LogLine(settings);
  // Learnt before anything is written: whatever fails to be written afterwards is then a file held
  // for a moment, and tried again, never a denied access tried again for nothing.
  if (const error_code error = ProbeWriting(run.dataFolder); error && !DiskFull(error)) {
    FailLocally("could not write in " + LogText(run.data), error);
  }
  // One run at a time: a lock of the updater's own, on its data folder (on Windows its own file there).
  run.ownLock = TakeInstallationLock(run.data.native(), UpdaterLockFile(run.data).native(), kOwnLockPatience);
  if (!run.ownLock) Fail(kUpdateBusy, "busy", "another run of the updater works on this installation");

  std::optional<std::string> stateText;
  if (const error_code error = ReadIfThere(StateFile(run.data), stateText)) {
    FailLocally("could not read " + LogText(StateFile(run.data)), error);
  }
  if (stateText) {
    if (std::optional<UpdaterState> state = ParseState(*stateText)) {
      run.state = std::move(*state);
    } else {
      LogLine(LogText(StateFile(run.data)) + " is not the updater's: begun anew");
    }
  }
  run.stateRead = true;
  if (run.options.stage) FinishInterruptedStaging(run);
  ChooseAnchor(run);
  ReadKeys(run);
  const Feed feed = TakeFeed(run);
  const InstalledState observed = Observe(run);
  const std::string about = "release " + feed.release + " version " + feed.version;
  switch (DecideRelease(feed, observed)) {
    case ReleaseDecision::kInstalled:
      if (run.options.stage) ForgetDownloads(run);
      return Done(run, "nothing to do", "nothing to do: " + about + " is installed");
    case ReleaseDecision::kStaged:
      if (run.options.stage) ForgetDownloads(run);
      return Done(run, "nothing to do", "nothing to do: " + about + " is staged already");
    case ReleaseDecision::kOlder:
      if (run.options.stage) ForgetDownloads(run);
      return Done(run, "nothing to do", "nothing to do: " + about + " is older than the installed " + VersionText(observed));
    case ReleaseDecision::kRefused:
      if (run.options.stage) ForgetDownloads(run);
      return Done(run, "nothing to do", "nothing to do: " + about + " was refused for its origin before");
    case ReleaseDecision::kStage:
      break;
  }
  Release release = PlanRelease(run, feed);
  run.report.bytesToFetch = release.toFetch;
  // Every file already installed at its path: that release is what this installation runs.
  const bool allInstalled = std::all_of(release.resolved.begin(), release.resolved.end(), [](const Resolved& resolved) {
    return resolved.source == FileSource::kInstalled;
  });
  if (allInstalled) {
    run.state.installed = KnownRelease{feed.release, feed.version, feed.versionNumber, {}, {}};
    WriteWhole(StateFile(run.data), StateText(run.state));
    if (run.options.stage) ForgetDownloads(run);
    return Done(run, "nothing to do", "nothing to do: " + about + " is installed, every file as it lists it");
  }
  if (!run.options.stage) {
    return Done(run, "done", about + " can be staged: " + std::to_string(release.toFetch) + " bytes to fetch");
  }
  Stage(run, feed, release);
  Done(run, "done", "staged " + about + " in " + LogText(run.staging) +
                        (run.report.waits ? "; the loader cannot check it on this machine now either: it waits" : ""));
}

// How the run ended, in the state for `status`, while it still holds the updater's own lock.
void RecordLastRun(Run& run) {
  if (!run.ownLock || !run.stateRead) return;
  run.state.lastRun = LastRun{Now(),          run.options.stage ? "stage" : "check", run.report.outcome,
                              run.report.exitCode, run.report.message, run.options.channel,
                              run.report.release, run.report.version};
  try {
    WriteWhole(StateFile(run.data), StateText(run.state));
  } catch (const Stop&) {
    // Said in the log; the run's own outcome stands.
  }
}
// Makes data a folder of its own, as the loader does (a link there is removed as the link), and
// holds it for the run. Nothing is logged before: the log lies there.
void HoldData(Run& run) {
  PathKind kind = PathKind::kAbsent;
  error_code error = HoldFolder(run.data, run.dataFolder, kind);
  if (!error && kind == PathKind::kLink) {
    Removal removal;
    try {
      removal = RemoveTree(run.data);
    } catch (const fs::filesystem_error& failure) {
      error = failure.code();
    }
    if (removal.outcome != Removed::kAll) {
      throw Stop{kUpdateLocalFailure, "local failure", RemovalText(run.data, removal)};
    }
  }
  if (!error && (kind == PathKind::kLink || kind == PathKind::kAbsent)) {
    fs::create_directory(run.data, error);
    if (!error) error = HoldFolder(run.data, run.dataFolder, kind);
  }
  if (!error && kind != PathKind::kFolder) error = make_error_code(boost::system::errc::not_a_directory);
  if (error) {
    throw Stop{kUpdateLocalFailure, "local failure", "could not create " + LogText(run.data) + ", " + LogError(error)};
  }
}
}  // namespace

fs::path FindInstallation(const UpdaterOptions& options) {
  fs::path install;
  if (options.install.empty()) {
    const NativeString module = GetModuleDirectory();
    if (module.empty()) throw Stop{kUpdateNoInstallation, "no installation", "the updater cannot learn its own location"};
    install = fs::path(module).parent_path();
  } else {
    install = fs::absolute(fs::path(options.install));
  }
  if (!fs::is_regular_file(InstalledLoader(install))) {
    throw Stop{kUpdateNoInstallation, "no installation",
               "no installation at " + LogText(install) + ": it holds no " + kLoaderFile};
  }
  return install;
}

void Report(Run& run, const std::function<void()>& work) {
  try {
    work();
  } catch (const Stop& stop) {
    run.report.exitCode = stop.exitCode;
    run.report.outcome = stop.outcome;
    run.report.message = stop.message;
  } catch (const fs::filesystem_error& failure) {
    run.report.exitCode = DiskFull(failure.code()) ? kUpdateDiskFull : kUpdateLocalFailure;
    run.report.outcome = DiskFull(failure.code()) ? "disk full" : "local failure";
    run.report.message = LogText(failure.path1()) + ": " + LogError(failure.code());
    LogLine(run.report.message);
  } catch (const std::exception& unexpected) {
    run.report.exitCode = kUpdateInternalError;
    run.report.outcome = "internal error";
    run.report.message = std::string("unexpected error: ") + unexpected.what();
    LogLine(run.report.message);
  }
}

UpdateReport RunUpdate(const UpdaterOptions& options) {
  Run run;
  run.options = options;
  for (NativeString* given : {&run.options.from, &run.options.cafile}) {
    if (!given->empty()) *given = fs::absolute(fs::path(*given)).native();
  }
  run.base = options.from.empty() ? (options.feed.empty() ? std::string(kBuiltInFeedUrl) : options.feed) : std::string();
  while (!run.base.empty() && run.base.back() == '/') run.base.pop_back();
  Report(run, [&] {
    run.install = FindInstallation(options);
    run.data = DataDirectory(run.install);
    run.staging = StagingDirectory(run.install);
    run.incoming = IncomingDirectory(run.data);
    run.superseded = SupersededDirectory(run.data);
    run.partial = PartialDirectory(run.data);
    HoldData(run);
    StartRunLogAt(UpdaterLog(run.data));
    const std::string settings = ApplyAdministratorSettings(run);
    if (run.base.empty() && options.from.empty()) {
      throw Stop{kUpdateNoInstallation, "no feed", "no feed is built in: name the tree with --feed URL or --from DIR"};
    }
    RunCommand(run, settings);
  });
  run.report.channel = run.options.channel;
  RecordLastRun(run);
  return run.report;
}
