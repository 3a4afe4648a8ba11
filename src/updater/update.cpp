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

#include "launcher/layout.hpp"
#include "launcher/manifest.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staging_check.hpp"
#include "launcher/trust.hpp"
#include "platform/digest.hpp"
#include "platform/file_ops.hpp"
#include "platform/file_stream.hpp"
#include "platform/http.hpp"
#include "platform/lock.hpp"
#include "platform/process.hpp"
#include "platform/publisher.hpp"
#include "platform/signed_feed.hpp"
#include "updater/exit_codes.hpp"
#include "updater/feed.hpp"
#include "updater/paths.hpp"
#include "updater/plan.hpp"
#include "updater/state.hpp"
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
constexpr std::size_t kChunk = 1 << 16;

// How a run ends early: the exit code, the outcome's words and one sentence.
struct Stop {
  int exitCode;
  const char* outcome;
  std::string message;
};

[[noreturn]] void Fail(int exitCode, const char* outcome, const std::string& message) {
  LogLine(message);
  throw Stop{exitCode, outcome, message};
}

[[noreturn]] void FailLocally(const std::string& what, const error_code& error) {
  if (DiskFull(error)) Fail(kUpdateDiskFull, "disk full", what + ": the disk is full, " + LogError(error));
  Fail(kUpdateLocalFailure, "local failure", what + ", " + LogError(error));
}

struct Run {
  UpdaterOptions options;
  fs::path install, data, staging, incoming, superseded, partial;
  std::string base;  // the tree's base URL, or empty with `options.from`
  FeedAnchor anchor;
  UpdaterState state;
  UpdateReport report;
};

std::string Quoted(const NativeString& text) {
  std::string quoted(1, '"');
  quoted += LogText(text);
  quoted += '"';
  return quoted;
}

// ---------------------------------------------------------------- the tree, on a server or in a folder

struct Got {
  HttpMeaning meaning = HttpMeaning::kUnexpected;
  HttpAnswer answer;
  error_code error;      // no complete answer: the network's failure, or the folder's
  bool tooLong = false;  // more than the cap arrived
};

std::string Where(const Run& run, const std::string& relative) {
  return run.base.empty() ? LogText((fs::path(run.options.from) / fs::path(relative)).make_preferred())
                          : run.base + "/" + relative;
}

// `relative` (e.g. "objects/<sha256>") of the tree, its body passed to `body` up to `cap` bytes. A
// folder answers as a server that ignores ranges and validators.
using Body = std::function<bool(HttpMeaning meaning, const char* bytes, std::size_t size)>;

Got Request(Run& run, const std::string& relative, HttpRequest request, std::uint64_t cap, const Body& body) {
  Got got;
  std::uint64_t received = 0;
  // `cap` is the whole object's size: a resumed answer brings the rest of it only.
  const auto take = [&](const char* bytes, std::size_t size) {
    received += size;
    run.report.bytesFetched += size;
    if (received > (got.meaning == HttpMeaning::kResumed ? cap - request.resumeFrom : cap)) {
      got.tooLong = true;
      return false;
    }
    return body(got.meaning, bytes, size);
  };
  if (!run.options.from.empty()) {
    StreamedFile input;
    std::uint64_t size = 0;
    got.error = OpenInput((fs::path(run.options.from) / fs::path(relative)).native(), input, size);
    if (got.error && got.error == boost::system::errc::no_such_file_or_directory) {
      got.error.clear();
      got.meaning = HttpMeaning::kMissing;
      return got;
    }
    if (got.error) return got;
    got.meaning = HttpMeaning::kBody;
    got.answer.status = 200;
    std::vector<char> buffer(kChunk);
    for (;;) {
      std::size_t count = 0;
      got.error = ReadInput(input, buffer.data(), buffer.size(), count);
      if (got.error || count == 0 || !take(buffer.data(), count)) break;
    }
    return got;
  }
  request.url = run.base + "/" + relative;
  ++run.report.requests;
  HttpLimits limits;
  limits.stall = std::chrono::seconds(run.options.stallSeconds);
  bool wanted = false;
  got.error = HttpGet(request, limits,
                      [&](const char* bytes, std::size_t size) {
                        if (!wanted) {
                          got.meaning = MeaningOfHttpAnswer(got.answer.status, request.resumeFrom,
                                                            got.answer.contentRange);
                          // An error page is not read: its status says all.
                          if (got.meaning != HttpMeaning::kBody && got.meaning != HttpMeaning::kResumed) return false;
                          wanted = true;
                        }
                        return take(bytes, size);
                      },
                      got.answer);
  got.meaning = MeaningOfHttpAnswer(got.answer.status, request.resumeFrom, got.answer.contentRange);
  if (got.error && StoppedByBody(got.error) && (got.tooLong || !wanted)) got.error.clear();
  return got;
}

std::string AnswerText(const Got& got) {
  if (got.error) return got.error.category().name() + std::string(" error ") + std::to_string(got.error.value());
  if (got.answer.status == 0) return "no answer";
  return "HTTP " + std::to_string(got.answer.status);
}

[[noreturn]] void FailFetching(const Run& run, const std::string& relative, const Got& got) {
  Fail(kUpdateNetwork, "network", "could not fetch " + Where(run, relative) + ": " + AnswerText(got));
}

// A file of the release folder, whole, held to what the feed pinned: fetched again once when it
// does not match.
std::string FetchPinned(Run& run, const std::string& relative, const PinnedFile& pinned) {
  for (int attempt = 1;; ++attempt) {
    std::string bytes;
    const Got got = Request(run, relative, {}, pinned.size, [&](HttpMeaning, const char* data, std::size_t size) {
      bytes.append(data, size);
      return true;
    });
    if (got.error || (got.meaning != HttpMeaning::kBody && !got.tooLong)) FailFetching(run, relative, got);
    Sha256 digest{};
    if (!got.tooLong && Sha256OfBytes(bytes, digest) && HexOf(digest) == pinned.sha256) return bytes;
    LogLine(Where(run, relative) + (got.tooLong ? " is longer than" : " does not match") + " what the feed signed" +
            (attempt == 1 ? ": fetching it again" : ""));
    if (attempt == 2) {
      Fail(kUpdateReleaseRefused, "release refused",
           "release refused: " + Where(run, relative) + " does not match what the feed signed, fetched twice");
    }
  }
}

// ---------------------------------------------------------------- files on disk

error_code ReadIfThere(const fs::path& file, std::optional<std::string>& bytes) {
  bytes.reset();
  std::string text;
  const error_code error = ReadWholeFile(file.native(), text);
  if (error == boost::system::errc::no_such_file_or_directory) return {};
  if (!error) bytes = std::move(text);
  return error;
}

// Written beside its name, flushed, then moved over it: a run killed meanwhile leaves the old file.
void WriteWhole(const fs::path& file, const std::string& bytes) {
  const fs::path written = fs::path(file.native() + NativeFromAscii(".new"));
  StreamedFile output;
  std::uint64_t size = 0;
  error_code error = OpenOutput(written.native(), false, output, size);
  if (!error) error = WriteOutput(output, bytes.data(), bytes.size());
  if (!error) error = FinishOutput(output, written.native());
  if (!error) error = RenamePath(written, file);
  if (error) FailLocally("could not write " + LogText(file), error);
}

// Every plain file below `root` (links and anything else left out), relative paths with `/`
// between names built from the walk's own names, `skip` (relative to `root`) not entered.
std::vector<FoundFile> FilesBelow(const fs::path& root, const NativeString& prefix = {}, const char* skip = nullptr) {
  std::vector<FoundFile> files;
  error_code error;
  for (fs::directory_iterator entry(root, error), end; !error && entry != end; entry.increment(error)) {
    const NativeString name = entry->path().filename().native();
    const NativeString relative = prefix.empty() ? name : prefix + NativeFromAscii("/") + name;
    const fs::file_status status = entry->symlink_status(error);
    if (error) break;
    if (fs::is_directory(status)) {
      if (skip != nullptr && relative == NativeFromAscii(skip)) continue;
      std::vector<FoundFile> below = FilesBelow(entry->path(), relative);
      files.insert(files.end(), below.begin(), below.end());
    } else if (fs::is_regular_file(status)) {
      const std::uintmax_t size = fs::file_size(entry->path(), error);
      if (!error) files.push_back({relative, size});
      error.clear();
    }
  }
  if (error && error != boost::system::errc::no_such_file_or_directory) {
    FailLocally("could not read " + LogText(root), error);
  }
  return files;
}

std::optional<std::string> DigestOf(const fs::path& file) {
  Sha256 digest{};
  if (Sha256OfFile(file.native(), digest)) return std::nullopt;
  return HexOf(digest);
}

// Copies `from` to `to` through SHA-256, read once; false, with nothing left at `to`, when it is
// not `size` bytes with `digest` (it changed since it was looked at). Never a link: a copy.
bool CopyVerified(const fs::path& from, const fs::path& to, std::uint64_t size, const std::string& digest) {
  StreamedFile input, output;
  std::uint64_t inputSize = 0, ignored = 0;
  if (OpenInput(from.native(), input, inputSize) || inputSize != size) return false;
  error_code error;
  fs::create_directories(to.parent_path(), error);
  if (error) FailLocally("could not create " + LogText(to.parent_path()), error);
  error = OpenOutput(to.native(), false, output, ignored);
  if (error) FailLocally("could not write " + LogText(to), error);
  const Sha256Stream hash = BeginSha256();
  std::vector<char> buffer(kChunk);
  std::uint64_t copied = 0;
  for (;;) {
    std::size_t count = 0;
    if (ReadInput(input, buffer.data(), buffer.size(), count) || (copied += count) > size) break;
    if (count == 0) {
      Sha256 result{};
      if (copied == size && FinishSha256(hash, result) && HexOf(result) == digest) {
        error = FinishOutput(output, to.native());
        if (error) FailLocally("could not write " + LogText(to), error);
        return true;
      }
      break;
    }
    AddToSha256(hash, buffer.data(), count);
    error = WriteOutput(output, buffer.data(), count);
    if (error) {
      output.reset();
      fs::remove(to, error);
      FailLocally("could not write " + LogText(to), error);
    }
  }
  output.reset();
  fs::remove(to, error);
  return false;
}

// Local files of a folder found by digest, each hashed at most once, and only when a needed
// object has its size.
struct DigestIndex {
  fs::path root;
  std::map<std::uint64_t, std::vector<NativeString>> unhashed;
  std::map<std::string, NativeString> byDigest;
};

DigestIndex IndexOf(const fs::path& root, const std::vector<FoundFile>& files) {
  DigestIndex index{root, {}, {}};
  for (const FoundFile& file : files) index.unhashed[file.size].push_back(file.path);
  return index;
}

std::optional<NativeString> Find(DigestIndex& index, const std::string& digest, std::uint64_t size) {
  if (const auto found = index.byDigest.find(digest); found != index.byDigest.end()) return found->second;
  if (const auto sized = index.unhashed.find(size); sized != index.unhashed.end()) {
    for (const NativeString& path : sized->second) {
      if (const std::optional<std::string> hashed = DigestOf(index.root / fs::path(path))) {
        index.byDigest.emplace(*hashed, path);
      }
    }
    index.unhashed.erase(sized);
  }
  if (const auto found = index.byDigest.find(digest); found != index.byDigest.end()) return found->second;
  return std::nullopt;
}

// ---------------------------------------------------------------- trust and the feed

void ChooseAnchor(Run& run) {
  const fs::path loader = InstalledLoader(run.install);
  const std::optional<bool> signedInstallation = CarriesSignature(loader.native());
  if (signedInstallation.value_or(false)) {
    run.anchor.publisher = SignaturePublisher(loader.native());
    if (run.anchor.publisher.empty()) {
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
    run.report.integrityOnly = true;
    LogLine("trust: no publisher named for this installation: the feed is checked for its integrity only");
    return;
  }
  LogLine("trust: the feed's signer must be " + Quoted(run.anchor.publisher) +
          (kSystemRoots ? std::string(", under the system's roots") : ", under the roots in " + LogText(run.anchor.roots)));
}

std::string OriginText(const OriginAnswer& answer) {
  const char* what = answer.step == OriginStep::kManifestDigest      ? "the feed was changed after signing"
                     : answer.step == OriginStep::kManifestPublisher ? "the feed is signed by another publisher"
                     : answer.step == OriginStep::kManifestChain     ? "the feed signer's certificate chain"
                                                                     : "the feed's signature";
  char code[64];
  std::snprintf(code, sizeof code, ", system code 0x%08X, reason 0x%08X", static_cast<unsigned>(answer.status),
                static_cast<unsigned>(answer.reason));
  return what + (answer.signer.empty() ? std::string() : " " + Quoted(answer.signer)) +
         (answer.status != 0 || answer.reason != 0 ? code : "");
}

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The channel's feed, fetched (or, when the server says nothing changed, the one accepted before),
// verified and judged; stops the run when it is not taken.
Feed TakeFeed(Run& run) {
  const std::string relative = run.options.channel + ".feed";
  const fs::path cachedFile = CachedFeed(run.data, run.options.channel);
  std::optional<std::string> cached;
  if (const error_code error = ReadIfThere(cachedFile, cached)) FailLocally("could not read " + LogText(cachedFile), error);
  ChannelState& channel = run.state.channels[run.options.channel];
  HttpRequest request;
  if (cached) {
    request.ifNoneMatch = channel.etag;
    request.ifModifiedSince = channel.lastModified;
  }
  std::string bytes;
  const Got got = Request(run, relative, request, kLargestFeed, [&](HttpMeaning, const char* data, std::size_t size) {
    bytes.append(data, size);
    return true;
  });
  if (got.tooLong) Fail(kUpdateFeedRefused, "feed refused", "feed refused: " + Where(run, relative) + " is larger than 64 KiB");
  if (got.error || (got.meaning != HttpMeaning::kBody && !(got.meaning == HttpMeaning::kNotModified && cached))) {
    FailFetching(run, relative, got);
  }
  const bool unchanged = got.meaning == HttpMeaning::kNotModified;
  if (unchanged) bytes = *cached;
  LogLine("feed " + Where(run, relative) + ": " +
          (unchanged ? "not modified, the one accepted before" : std::to_string(bytes.size()) + " bytes"));

  std::string content;
  const OriginAnswer origin = VerifySignedFeed(bytes, run.anchor, content);
  const StagingVerdict verdict = VerdictOfOrigin(origin);
  if (verdict == StagingVerdict::kRefused) Fail(kUpdateFeedRefused, "feed refused", "feed refused: " + OriginText(origin));
  if (verdict == StagingVerdict::kNotNow) {
    Fail(kUpdateFeedNotNow, "feed cannot be checked now", "feed cannot be checked now: " + OriginText(origin));
  }
  const std::optional<Feed> feed = ParseFeed(content);
  if (!feed) Fail(kUpdateFeedRefused, "feed refused", "feed refused: it is not a feed of the form " + std::string(kFeedFormat));
  const char* judged = nullptr;
  switch (JudgeFeed(*feed, run.options.channel, channel.history, Now())) {
    case FeedJudgement::kAccepted:
      break;
    case FeedJudgement::kOtherChannel:
      judged = "it is signed for the channel ";
      break;
    case FeedJudgement::kRolledBack:
      judged = "it is older than one taken before: sequence ";
      break;
    case FeedJudgement::kExpired:
      judged = "it has expired: ";
      break;
  }
  if (judged != nullptr) {
    const std::string detail = feed->channel != run.options.channel ? feed->channel
                               : feed->sequence < channel.history.sequence
                                   ? std::to_string(feed->sequence) + " below " + std::to_string(channel.history.sequence)
                                   : "expires " + UtcTimeText(feed->expires);
    Fail(kUpdateFeedRefused, "feed refused", "feed refused: " + std::string(judged) + detail);
  }
  LogLine("feed taken: channel " + feed->channel + ", sequence " + std::to_string(feed->sequence) + ", issued " +
          UtcTimeText(feed->issued) + ", expires " + UtcTimeText(feed->expires) + ", release " + feed->release +
          ", version " + feed->version);
  channel.history = Accepted(*feed, channel.history);
  if (!unchanged) {
    channel.etag = got.answer.etag;
    channel.lastModified = got.answer.lastModified;
    WriteWhole(cachedFile, bytes);
  }
  WriteWhole(StateFile(run.data), StateText(run.state));
  run.report.release = feed->release;
  run.report.version = feed->version;
  run.report.notes = feed->notes;
  return *feed;
}

// ---------------------------------------------------------------- which release is where

// The id of the staging in `directory` from its two manifest files; empty when it has none.
std::string StagedReleaseOf(const fs::path& directory) {
  const std::optional<std::string> manifest = DigestOf(Join(directory, kManifestFile));
  const std::optional<std::string> signature = DigestOf(Join(directory, kManifestSignatureFile));
  return manifest && signature ? ReleaseId(*manifest, *signature) : std::string();
}

// What is installed and staged now. A release this updater staged that is no longer in
// data/update went in when the installed programs are its own; otherwise the loader removed it.
InstalledState Observe(Run& run) {
  InstalledState observed;
  observed.stagedRelease = StagedReleaseOf(run.staging);
  if (run.state.staged && run.state.staged->release != observed.stagedRelease) {
    const KnownRelease staged = *run.state.staged;
    const bool installed = DigestOf(InstalledLoader(run.install)) == staged.loader &&
                           DigestOf(MainApplication(run.install)) ==
                               staged.application;
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

// Leaves nothing of a release no longer needed: the incoming tree and the partial download.
void ForgetDownloads(const Run& run) {
  for (const fs::path& folder : {run.incoming, run.partial}) {
    error_code error;
    if (!fs::exists(folder, error)) continue;
    try {
      RemoveTree(folder);
      LogLine("removed " + LogText(folder));
    } catch (const fs::filesystem_error& failure) {
      FailLocally("could not remove " + LogText(failure.path1()), failure.code());
    }
  }
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

void RefuseRelease(Run& run, const Feed& feed, const std::string& why) {
  RememberRefused(run.state, feed.release);
  WriteWhole(StateFile(run.data), StateText(run.state));
  Fail(kUpdateReleaseRefused, "release refused",
       "release refused for its origin (never staged): " + feed.release + ": " + why);
}

std::uint64_t PartialSize(const Run& run, const std::string& digest) {
  error_code error;
  const std::uintmax_t size = fs::file_size(PartialObject(run.data, digest), error);
  return error ? 0 : size;
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
  const std::optional<std::map<std::string, std::uint64_t>> sizes =
      ParseSizes(FetchPinned(run, folder + kSizesFile, feed.sizes));
  if (!sizes || !SizesCoverManifest(*sizes, *lines)) RefuseRelease(run, feed, "its SIZES does not cover its manifest");
  release.lines = *lines;
  release.sizes = *sizes;

  std::vector<FoundFile> installed = FilesBelow(run.install, {}, kDataDirectory);
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

// The object of `digest` into `target`: resumed from the partial download kept for it, streamed
// through SHA-256, held to `size`; fetched anew once when it does not match.
void Download(Run& run, const std::string& digest, std::uint64_t size, const fs::path& target,
              const std::function<void(std::uint64_t)>& progress) {
  const std::string relative = "objects/" + digest;
  const fs::path partial = PartialObject(run.data, digest);
  error_code error;
  // One partial download at a time: another object's is of a release no longer wanted.
  for (const FoundFile& other : FilesBelow(run.partial)) {
    if (other.path != partial.filename().native()) fs::remove(run.partial / fs::path(other.path), error);
  }
  fs::create_directories(run.partial, error);
  if (error) FailLocally("could not create " + LogText(run.partial), error);
  for (int attempt = 1;; ++attempt) {
    StreamedFile output;
    std::uint64_t have = 0;
    Sha256Stream hash;
    // Begins the partial download anew, empty; the failure to, where there is one.
    const auto begin = [&] {
      output.reset();
      have = 0;
      hash = BeginSha256();
      return OpenOutput(partial.native(), false, output, have);
    };
    error = OpenOutput(partial.native(), true, output, have);
    if (!error && have > 0 && have <= size) {
      // The kept part goes into the digest first, read back from the disk.
      hash = BeginSha256();
      StreamedFile input;
      std::uint64_t ignored = 0;
      std::vector<char> buffer(kChunk);
      std::uint64_t read = 0;
      error = OpenInput(partial.native(), input, ignored);
      while (!error && read < have) {
        std::size_t count = 0;
        error = ReadInput(input, buffer.data(), buffer.size(), count);
        if (!error && count == 0) error = make_error_code(boost::system::errc::io_error);
        const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(count, have - read));
        AddToSha256(hash, buffer.data(), taken);
        read += taken;
      }
    }
    if (error || have == 0 || have > size) error = begin();
    if (error) FailLocally("could not write " + LogText(partial), error);
    const std::uint64_t kept = have;
    std::uint64_t written = have;
    error_code writing;
    Got got;
    if (have < size) {
      HttpRequest request;
      request.resumeFrom = have;
      bool began = false;
      // Nothing is thrown from here: the transfer is stopped and the failure said after it.
      got = Request(run, relative, request, size, [&](HttpMeaning meaning, const char* bytes, std::size_t count) {
        if (!began) {
          began = true;
          // A server that ignores the range sends the whole object again.
          if (meaning == HttpMeaning::kBody && have > 0) {
            writing = begin();
            written = 0;
          }
        }
        if (!writing) {
          AddToSha256(hash, bytes, count);
          writing = WriteOutput(output, bytes, count);
        }
        if (writing) return false;
        written += count;
        progress(count);
        return true;
      });
      if (writing) {
        output.reset();
        FailLocally("could not write " + LogText(partial), writing);
      }
      if (got.meaning == HttpMeaning::kRangeRefused) {
        LogLine(Where(run, relative) + ": the part kept is refused (" + AnswerText(got) + "): fetching it anew");
        output.reset();
        fs::remove(partial, error);
        if (attempt == 2) FailFetching(run, relative, got);
        continue;
      }
      // A cap reached is the object's fault; anything else, a body that ended short too, keeps
      // what arrived for the next run.
      const bool cut = !got.error && !got.tooLong && written < size;
      if (cut) got.error = make_error_code(boost::system::errc::connection_aborted);
      if (!got.tooLong && (got.error || (got.meaning != HttpMeaning::kBody && got.meaning != HttpMeaning::kResumed))) {
        output.reset();
        const std::string message = "could not fetch " + Where(run, relative) + ": " + AnswerText(got);
        LogLine(message + "; " + std::to_string(written) + " of " + std::to_string(size) + " bytes kept for the next run");
        throw Stop{kUpdateNetwork, "network", message};
      }
    }
    Sha256 result{};
    const bool whole = !got.tooLong && written == size && FinishSha256(hash, result) && HexOf(result) == digest;
    if (whole) {
      error = FinishOutput(output, partial.native());
      if (!error) fs::create_directories(target.parent_path(), error);
      if (!error) {
        fs::remove(target, error);
        error = RenamePath(partial, target);
      }
      if (error) FailLocally("could not move " + LogText(partial) + " to " + LogText(target), error);
      LogLine("fetched " + Where(run, relative) + " (" + std::to_string(size) + " bytes" +
              (kept > 0 && got.meaning == HttpMeaning::kResumed ? ", resumed at " + std::to_string(kept) : std::string()) +
              ")");
      return;
    }
    output.reset();
    fs::remove(partial, error);
    LogLine(Where(run, relative) + (got.tooLong ? " is longer than its size" : " does not match its digest") +
            (attempt == 1 ? ": fetching it again" : ""));
    if (attempt == 2) {
      ForgetDownloads(run);
      Fail(kUpdateReleaseRefused, "release refused",
           "release refused: " + Where(run, relative) + " does not match what its release signed, fetched twice");
    }
  }
}

// Every file of the release into the incoming tree, the two manifest files last; what is there
// and listed nowhere removed.
void FillIncoming(Run& run, Release& release) {
  std::uint64_t done = 0;
  std::uint64_t shownTenth = 0;
  // Against the signed sizes, never a server's length: every tenth of what is to fetch, once.
  const auto progress = [&](std::uint64_t count) {
    done += count;
    const std::uint64_t tenth = std::min<std::uint64_t>(done * 10 / std::max<std::uint64_t>(release.toFetch, 1), 10);
    if (tenth > shownTenth && run.options.progress) run.options.progress(done, release.toFetch);
    shownTenth = std::max(shownTenth, tenth);
  };
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
    if (resolved.source != FileSource::kServer && CopyVerified(resolved.from, target, size, line.digest)) continue;
    // Fetched earlier in this run for another line: a copy of that.
    bool copied = false;
    for (const std::size_t j : order) {
      if (j == i || copied) break;
      const ManifestLine& earlier = release.lines[release.plans[j].line];
      if (earlier.digest == line.digest) copied = CopyVerified(run.incoming / fs::path(earlier.path), target, size, line.digest);
    }
    if (!copied) Download(run, line.digest, size, target, progress);
  }
  // Listed nowhere: left from another release, and in the way of this one's check.
  std::set<NativeString> listed;
  for (const ManifestLine& line : release.lines) listed.insert(line.path);
  for (const FoundFile& file : FilesBelow(run.incoming)) {
    if (listed.count(file.path) != 0) continue;
    error_code error;
    fs::remove(run.incoming / fs::path(file.path), error);
    if (error) FailLocally("could not remove " + LogText(run.incoming / fs::path(file.path)), error);
  }
  WriteWhole(Join(run.incoming, kManifestFile), release.manifestText);
  WriteWhole(Join(run.incoming, kManifestSignatureFile), release.signatureBytes);
}

// ---------------------------------------------------------------- staging

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
      error = RenamePath(run.staging, run.superseded);
      if (error) FailLocally("could not move " + LogText(run.staging) + " to " + LogText(run.superseded), error);
      LogLine("moved " + LogText(run.staging) + " to " + LogText(run.superseded));
      replaced = true;
    }
    error = RenamePath(run.incoming, run.staging);
    if (error) {
      // The one that waited goes back: a failed run leaves the state it found.
      if (replaced) RenamePath(run.superseded, run.staging);
      FailLocally("could not move " + LogText(run.incoming) + " to " + LogText(run.staging), error);
    }
    LogLine("moved " + LogText(run.incoming) + " to " + LogText(run.staging));
  }
  if (replaced) {
    try {
      RemoveTree(run.superseded);
      LogLine("removed " + LogText(run.superseded));
    } catch (const fs::filesystem_error& failure) {
      LogLine("could not remove " + LogText(failure.path1()) + ", " + LogError(failure.code()) + "; removed at the next run");
    }
  }
}

// A run killed between the two renames leaves data/update.superseded beside no staging: the
// staging it held goes back, unless the new one is already in place.
void FinishInterruptedStaging(const Run& run) {
  error_code error;
  if (!fs::exists(fs::symlink_status(run.superseded, error))) return;
  const std::optional<InstallationLock> lock = LockForStaging(run);
  if (!lock) return;
  if (!fs::exists(fs::symlink_status(run.staging, error)) && !fs::exists(run.incoming, error)) {
    if (!RenamePath(run.superseded, run.staging)) {
      LogLine("interrupted staging found: moved " + LogText(run.superseded) + " back to " + LogText(run.staging));
      return;
    }
  }
  try {
    RemoveTree(run.superseded);
    LogLine("interrupted staging found: removed " + LogText(run.superseded));
  } catch (const fs::filesystem_error& failure) {
    LogLine("could not remove " + LogText(failure.path1()) + ", " + LogError(failure.code()));
  }
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
    ForgetDownloads(run);
    // Every file matched its digest on the way in: what the loader refuses is the release itself.
    RefuseRelease(run, feed, "the loader's check refuses it: " + std::string(check.finding));
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
  error_code error;
  fs::remove_all(run.partial, error);
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

void RunCommand(Run& run) {
  const char* const command = run.options.stage ? "stage" : "check";
  const std::string source = run.base.empty() ? "folder " + LogText(run.options.from) : "feed " + run.base;
  StartRunLogAt(UpdaterLog(run.data));
  LogLine(std::string(command) + ", updater " + kLoaderVersion + ", install " + LogText(run.install) + ", channel " +
          run.options.channel + ", " + source);
  // One run at a time: a lock of the updater's own, on its data folder.
  const std::optional<InstallationLock> own = LockInstallation(run.data.native(), std::chrono::milliseconds(0));
  if (!own) Fail(kUpdateBusy, "busy", "another run of the updater works on this installation");

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
  if (run.options.stage) FinishInterruptedStaging(run);
  ChooseAnchor(run);
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
}  // namespace

UpdateReport RunUpdate(const UpdaterOptions& options) {
  Run run;
  run.options = options;
  for (NativeString* given : {&run.options.from, &run.options.cafile}) {
    if (!given->empty()) *given = fs::absolute(fs::path(*given)).native();
  }
  run.base = options.from.empty() ? (options.feed.empty() ? std::string(kBuiltInFeedUrl) : options.feed) : std::string();
  while (!run.base.empty() && run.base.back() == '/') run.base.pop_back();
  try {
    if (options.install.empty()) {
      const NativeString module = GetModuleDirectory();
      if (module.empty()) throw Stop{kUpdateNoInstallation, "no installation", "the updater cannot learn its own location"};
      run.install = fs::path(module).parent_path();
    } else {
      run.install = fs::absolute(fs::path(options.install));
    }
    if (!fs::is_regular_file(InstalledLoader(run.install))) {
      throw Stop{kUpdateNoInstallation, "no installation",
                 "no installation at " + LogText(run.install) + ": it holds no " + kLoaderFile};
    }
    if (run.base.empty() && options.from.empty()) {
      throw Stop{kUpdateNoInstallation, "no feed", "no feed is built in: name the tree with --feed URL or --from DIR"};
    }
    run.data = DataDirectory(run.install);
    run.staging = StagingDirectory(run.install);
    run.incoming = IncomingDirectory(run.data);
    run.superseded = SupersededDirectory(run.data);
    run.partial = PartialDirectory(run.data);
    error_code error;
    fs::create_directory(run.data, error);
    if (error) throw Stop{kUpdateLocalFailure, "local failure", "could not create " + LogText(run.data) + ", " + LogError(error)};
    RunCommand(run);
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
  return run.report;
}
