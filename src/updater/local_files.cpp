#include "updater/run.hpp"

#include <boost/filesystem/operations.hpp>
#include <vector>

#include "launcher/layout.hpp"
#include "launcher/manifest.hpp"
#include "launcher/run_log.hpp"
#include "platform/digest.hpp"
#include "platform/file_ops.hpp"
#include "platform/file_stream.hpp"
#include "updater/exit_codes.hpp"
#include "updater/paths.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

error_code ReadIfThere(const fs::path& file, std::optional<std::string>& bytes) {
  bytes.reset();
  std::string text;
  // Far beyond any state file or feed the updater writes: what is larger is none of them.
  constexpr std::uintmax_t kLargestSmallFile = 16u << 20;
  const error_code error = ReadWholeFile(file.native(), kLargestSmallFile, text);
  if (error == boost::system::errc::no_such_file_or_directory) return {};
  if (!error) bytes = std::move(text);
  return error;
}

std::string StagedReleaseOf(const fs::path& directory) {
  const std::optional<std::string> manifest = DigestOf(Join(directory, kManifestFile));
  const std::optional<std::string> signature = DigestOf(Join(directory, kManifestSignatureFile));
  return manifest && signature ? ReleaseId(*manifest, *signature) : std::string();
}

bool InstalledNow(const fs::path& install, const KnownRelease& release) {
  return DigestOf(InstalledLoader(install)) == release.loader && DigestOf(MainApplication(install)) == release.application;
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
std::vector<FoundFile> FilesBelow(const fs::path& root, const NativeString& prefix, const char* skip) {
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
  FileDigest digest;
  if (Sha256OfFile(file.native(), digest) || digest.special) return std::nullopt;
  return HexOf(digest.sha256);
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

std::uint64_t PartialSize(const Run& run, const std::string& digest) {
  error_code error;
  const std::uintmax_t size = fs::file_size(PartialObject(run.data, digest), error);
  return error ? 0 : size;
}

