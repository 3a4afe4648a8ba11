#include "updater/run.hpp"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <vector>

#include "launcher/layout.hpp"
#include "launcher/manifest.hpp"
#include "launcher/retry.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staged_names.hpp"
#include "launcher/staged_update.hpp"
#include "platform/digest.hpp"
#include "platform/file_ops.hpp"
#include "platform/file_stream.hpp"
#include "platform/file_tree.hpp"
#include "platform/files_below.hpp"
#include "updater/exit_codes.hpp"
#include "updater/paths.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

// The updater's own refusals (a link, no folder) are of the generic category: they stay.
bool MayPassInData(const error_code& failure) {
  return failure.category() == boost::system::system_category() && MayPassLater(failure) && !DiskFull(failure);
}

error_code RetriedInData(const std::string& what, const std::function<error_code()>& attempt) {
  const Tried tried = Retried(attempt, MayPassInData);
  if (tried.attempts > 1) {
    LogLine((tried.error ? "failed: " : "") + what + (tried.error ? ", " + LogError(tried.error) : "") + " (" +
            LogAttempts(tried.attempts, tried.took) + ")");
  }
  return tried.error;
}

error_code ReadIfThere(const fs::path& file, std::optional<std::string>& bytes, ReadSharing sharing) {
  bytes.reset();
  std::string text;
  // Far beyond any state file or feed the updater writes: what is larger is none of them.
  constexpr std::uintmax_t kLargestSmallFile = 16u << 20;
  const error_code error = ReadWholeFile(file.native(), kLargestSmallFile, text, sharing);
  if (error == boost::system::errc::no_such_file_or_directory) return {};
  if (!error) bytes = std::move(text);
  return error;
}

std::string StagedReleaseOf(const fs::path& directory, ReadSharing sharing) {
  const std::optional<std::string> manifest = DigestOf(Join(directory, kManifestFile), sharing);
  const std::optional<std::string> signature = DigestOf(Join(directory, kManifestSignatureFile), sharing);
  return manifest && signature ? ReleaseId(*manifest, *signature) : std::string();
}

bool InstalledNow(const fs::path& install, const KnownRelease& release, ReadSharing sharing) {
  return DigestOf(InstalledLoader(install), sharing) == release.loader &&
         DigestOf(MainApplication(install), sharing) == release.application;
}

void WriteWhole(const fs::path& file, const std::string& bytes) {
  const NativeString name = file.filename().native(), written = name + NativeFromAscii(".new");
  HeldFolder folder;
  PathKind kind = PathKind::kAbsent;
  error_code error = HoldFolder(file.parent_path(), folder, kind);
  if (!error && kind != PathKind::kFolder) error = make_error_code(boost::system::errc::not_a_directory);
  StreamedFile output;
  std::uint64_t size = 0;
  if (!error) error = OpenOutputBelow(folder, written, false, output, size);
  if (!error) error = WriteOutput(output, bytes.data(), bytes.size());
  if (!error) error = FinishOutput(output, (file.parent_path() / fs::path(written)).native());
  if (!error) error = RetriedInData("replaced " + LogText(file), [&] { return RenameBelow(folder, written, name); });
  if (error) FailLocally("could not write " + LogText(file), error);
}

std::vector<FoundFile> FilesBelow(const fs::path& root, const char* skip) {
  std::vector<FoundFile> files;
  PathKind kind = PathKind::kAbsent;
  error_code error = KindOfPath(root, kind);
  if (!error && kind != PathKind::kFolder) return files;
  if (!error) {
    error = WalkTree(root.native(), [&](const TreeEntry& entry) {
      if (entry.kind == EntryKind::kFolder &&
          ((skip != nullptr && entry.relative == NativeFromAscii(skip)) || BelowTheDeepestFolder(entry.relative))) {
        return WalkStep::kSkip;
      }
      if (entry.kind == EntryKind::kFile) {
        error_code unknown;
        const std::uintmax_t size = fs::file_size(VerbatimPath((root / fs::path(entry.relative)).native()), unknown);
        if (!unknown) files.push_back({entry.relative, size});
      }
      return WalkStep::kGoOn;
    });
  }
  if (error) FailLocally("could not read " + LogText(root), error);
  return files;
}

NativeString InData(const Run& run, const fs::path& path) { return path.native().substr(run.data.native().size() + 1); }

std::function<error_code()> RemovingBelow(const Run& run, const fs::path& path, Removal& removal) {
  return [&run, path, &removal] {
    try {
      removal = RemoveBelow(run.dataFolder, InData(run, path));
      return error_code();
    } catch (const fs::filesystem_error& failure) {
      return failure.code();
    }
  };
}

bool BelowTheDeepestFolder(const NativeString& relative) {
  return static_cast<std::size_t>(std::count(relative.begin(), relative.end(), NativeChar('/'))) >= kDeepestFolders;
}

void OwnFolder(const Run& run, const fs::path& folder) {
  PathKind kind = PathKind::kAbsent;
  if (const error_code error = KindBelow(run.dataFolder, InData(run, folder), kind)) {
    FailLocally("could not read " + LogText(folder), error);
  }
  if (kind == PathKind::kLink || kind == PathKind::kOther) RemoveInData(run, folder);
  if (const error_code error = MakeFoldersBelow(run.dataFolder, InData(run, folder))) {
    FailLocally("could not create " + LogText(folder), error);
  }
}

void RemoveInData(const Run& run, const fs::path& path) {
  Removal removal;
  if (const error_code error = RetriedInData("removed " + LogText(path), RemovingBelow(run, path, removal))) {
    FailLocally("could not remove " + LogText(path), error);
  }
  if (removal.outcome == Removed::kLinkLeft) {
    Fail(kUpdateLocalFailure, "local failure", RemovalText(path, {Removed::kLinkLeft, run.data / removal.link}));
  }
}

std::optional<std::string> DigestOf(const fs::path& file, ReadSharing sharing) {
  FileDigest digest;
  if (Sha256OfFile(file.native(), digest, sharing) || digest.special) return std::nullopt;
  return HexOf(digest.sha256);
}

bool CopyVerified(const Run& run, const fs::path& from, const fs::path& to, std::uint64_t size,
                  const std::string& digest) {
  StreamedFile input, output;
  std::uint64_t inputSize = 0, ignored = 0;
  if (OpenInput(from.native(), input, inputSize) || inputSize != size) return false;
  if (const error_code error = MakeFoldersBelow(run.dataFolder, InData(run, to.parent_path()))) {
    FailLocally("could not create " + LogText(to.parent_path()), error);
  }
  if (const error_code error = OpenOutputBelow(run.dataFolder, InData(run, to), false, output, ignored)) {
    FailLocally("could not write " + LogText(to), error);
  }
  const Sha256Stream hash = BeginSha256();
  std::vector<char> buffer(kChunk);
  std::uint64_t copied = 0;
  for (;;) {
    std::size_t count = 0;
    if (ReadInput(input, buffer.data(), buffer.size(), count) || (copied += count) > size) break;
    if (count == 0) {
      Sha256 result{};
      if (copied == size && FinishSha256(hash, result) && HexOf(result) == digest) {
        const error_code error = FinishOutput(output, to.native());
        if (error) FailLocally("could not write " + LogText(to), error);
        return true;
      }
      break;
    }
    AddToSha256(hash, buffer.data(), count);
    if (const error_code error = WriteOutput(output, buffer.data(), count)) {
      output.reset();
      RemoveInData(run, to);
      FailLocally("could not write " + LogText(to), error);
    }
  }
  output.reset();
  RemoveInData(run, to);
  return false;
}

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

// Leaves nothing of a release no longer needed: the incoming tree and the partial download.
void ForgetDownloads(const Run& run) {
  for (const fs::path& folder : {run.incoming, run.partial}) {
    PathKind kind = PathKind::kAbsent;
    if (KindBelow(run.dataFolder, InData(run, folder), kind) || kind == PathKind::kAbsent) continue;
    RemoveInData(run, folder);
    LogLine("removed " + LogText(folder));
  }
}

std::uint64_t PartialSize(const Run& run, const std::string& digest) {
  error_code error;
  const std::uintmax_t size = fs::file_size(VerbatimPath(PartialObject(run.data, digest).native()), error);
  return error ? 0 : size;
}

