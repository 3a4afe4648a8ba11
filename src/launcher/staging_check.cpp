#include "launcher/staging_check.hpp"

#include <algorithm>
#include <cstdio>
#include <boost/filesystem/operations.hpp>
#include <optional>
#include <string>
#include <vector>

#include "launcher/layout.hpp"
#include "launcher/manifest.hpp"
#include "launcher/run_log.hpp"
#include "platform/digest.hpp"
#include "platform/file_ops.hpp"
#include "platform/version_record.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
// Far beyond any manifest or signature (20,000 files take 2 MB): what is larger is no manifest,
// and is not read into memory.
constexpr std::uintmax_t kLargestManifest = 64u << 20;

StagingCheck Refused(const char* finding, bool integrity, const NativeString& subject = {}) {
  StagingCheck check;
  check.verdict = StagingVerdict::kRefused;
  check.integrity = integrity;
  check.finding = finding;
  check.subject = subject;
  return check;
}

StagingCheck NotNow(const char* finding, const error_code& error, const NativeString& subject = {}) {
  StagingCheck check;
  check.verdict = StagingVerdict::kNotNow;
  check.finding = finding;
  check.subject = subject;
  check.error = error;
  return check;
}

// The whole of a small regular file, never through a link; nullopt when there is nothing at its
// name, a failure in `error` when it cannot be read.
std::optional<std::string> ReadSmallFile(const fs::path& file, error_code& error, bool& unfit) {
  unfit = false;
  const fs::file_status status = fs::symlink_status(file, error);
  if (status.type() == fs::file_not_found) {
    error.clear();
    return std::nullopt;
  }
  if (error) return std::string();
  if (!fs::is_regular_file(status) || fs::file_size(file, error) > kLargestManifest) {
    unfit = !error;
    return std::string();
  }
  std::string text;
  error = ReadWholeFile(file.native(), text);
  return text;
}

struct StagedFiles {
  std::vector<NativeString> relative;  // `/` between names
  std::vector<fs::path> full;
};

// Every file below `stagingDirectory` but the manifest's own two, without following links. A
// link, a junction or anything but a file or a folder is named in `unfit`.
error_code ListStagedFiles(const fs::path& stagingDirectory, StagedFiles& files, NativeString& unfit) {
  error_code error;
  fs::recursive_directory_iterator entry(stagingDirectory, fs::directory_options::none, error);
  const std::size_t prefix = stagingDirectory.native().size() + 1;
  for (; !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    const fs::file_status status = entry->symlink_status(error);
    if (error) break;
    // Below the staging directory by construction: its name and a separator lead every path.
    NativeString relative = entry->path().native().substr(prefix);
    std::replace(relative.begin(), relative.end(), static_cast<NativeChar>(fs::path::preferred_separator),
                 static_cast<NativeChar>('/'));
    if (fs::is_directory(status)) continue;
    // A reparse point that is no link (a cloud placeholder, a deduplicated file) reads as its file.
    if (!fs::is_regular_file(status) && status.type() != fs::reparse_file) {
      unfit = relative;
      break;
    }
    // Found by their names as the file system finds them, letter case and all.
    if (CompareFileNames(relative, NativeFromAscii(kManifestFile)) == 0 ||
        CompareFileNames(relative, NativeFromAscii(kManifestSignatureFile)) == 0) {
      continue;
    }
    files.relative.push_back(relative);
    files.full.push_back(entry->path());
  }
  return error;
}

// The staging's files against its manifest: each listed, present once, with its hash.
StagingCheck CheckListedFiles(const fs::path& stagingDirectory, const std::string& manifest) {
  const std::optional<std::vector<ManifestLine>> lines = ParseManifest(manifest);
  if (!lines) return Refused("the manifest is malformed", true);
  StagedFiles files;
  NativeString unfit;
  if (const error_code error = ListStagedFiles(stagingDirectory, files, unfit)) {
    return NotNow("the staging directory could not be read", error);
  }
  if (!unfit.empty()) return Refused("a link or a special file", true, unfit);
  const Listing listing = PairLinesWithFiles(*lines, files.relative, CompareFileNames);
  switch (listing.fault) {
    case ListingFault::kUnlisted:
      return Refused("a file the manifest does not list", true, listing.path);
    case ListingFault::kMissing:
      return Refused("a listed file is missing", true, listing.path);
    case ListingFault::kDoubled:
      return Refused("a file listed twice", true, listing.path);
    case ListingFault::kNone:
      break;
  }
  for (const auto& [line, file] : listing.pairs) {
    Sha256 digest{};
    if (const error_code error = Sha256OfFile(files.full[file].native(), digest)) {
      return NotNow("a file could not be read", error, files.relative[file]);
    }
    if (HexOf(digest) != (*lines)[line].digest) return Refused("a file does not match its hash", true, files.relative[file]);
  }
  return {};
}

// An update may repair (the same version) or move on, never go back: a publisher withdraws a
// release by shipping a higher version.
StagingCheck CheckNotOlder(const fs::path& installed, const fs::path& staged, const char* finding) {
  std::optional<std::uint64_t> installedVersion;
  std::optional<std::uint64_t> stagedVersion;
  if (const error_code error = ProgramVersion(installed.native(), installedVersion)) {
    return NotNow("a version could not be read", error, installed.native());
  }
  if (const error_code error = ProgramVersion(staged.native(), stagedVersion)) {
    return NotNow("a version could not be read", error, staged.native());
  }
  if (OlderThanInstalled(installedVersion, stagedVersion)) return Refused(finding, false, staged.native());
  return {};
}

// What the publisher check's answer makes of the staging.
StagingCheck OriginCheck(const OriginAnswer& origin) {
  StagingCheck check;
  check.verdict = VerdictOfOrigin(origin);
  if (check.verdict != StagingVerdict::kTaken) check.finding = "the publisher's signature";
  check.integrity = RefusedForIntegrity(origin);
  return check;
}

// The files against `manifest`, the staged loader held in `held` from before it is hashed until it
// has been started: what is checked and read of it, and what runs, is one file. In a signed
// installation its signature comes before the hashing, so that one that waits costs a start no
// hashing, and goes into `origin`; a loader its publisher did not sign is refused for its origin
// only when the files are the ones listed, for otherwise the download is torn.
StagingCheck CheckHeldFiles(const fs::path& stagingDirectory, const std::string& manifest, bool signedInstallation,
                            OriginAnswer& origin, HeldFile& held) {
  const fs::path stagedLoader = StagedLoader(stagingDirectory);
  if (const error_code error = HoldForReading(stagedLoader.native(), held)) {
    return NotNow("the staged loader could not be opened", error, stagedLoader.native());
  }
  OriginAnswer loader;
  if (signedInstallation) loader = CheckLoaderOrigin(held, stagedLoader.native(), origin.publisher);
  if (VerdictOfOrigin(loader) != StagingVerdict::kNotNow) {
    const StagingCheck files = CheckListedFiles(stagingDirectory, manifest);
    if (files.verdict != StagingVerdict::kTaken) return files;
  }
  if (loader.step != OriginStep::kPassed) {
    origin = loader;
  } else {
    origin.trust |= loader.trust;
  }
  return OriginCheck(loader);
}
}  // namespace

StagingCheck CheckStaging(const fs::path& installDirectory, const fs::path& stagingDirectory,
                          HeldFile& heldStagedLoader) {
  heldStagedLoader.reset();
  const fs::path installedLoader = InstalledLoader(installDirectory);
  error_code error;
  const std::optional<bool> signedInstallation = CarriesSignature(installedLoader.native(), error);
  if (!signedInstallation) return NotNow("the installed loader could not be read", error, installedLoader.native());
  bool unfit = false;
  const std::optional<std::string> manifest = ReadSmallFile(Join(stagingDirectory, kManifestFile), error, unfit);
  if (error) return NotNow("the manifest could not be read", error);
  if (unfit) return Refused("the manifest is malformed", true);

  std::optional<std::string> signature;
  if (*signedInstallation) {
    signature = ReadSmallFile(Join(stagingDirectory, kManifestSignatureFile), error, unfit);
    if (error) return NotNow("the manifest's signature could not be read", error);
  }
  StagingCheck check;
  OriginAnswer origin;
  HeldFile held;
  if (*signedInstallation && (!manifest || !signature || unfit || signature->empty())) {
    check = Refused("no signed manifest", true);
  } else if (manifest) {
    // The manifest's signature first: no other file of a staging its publisher did not sign is
    // opened, so one that waits costs a start its two manifest files. It does not depend on the
    // other files: a torn download is still told as such.
    if (*signedInstallation) origin = CheckManifestOrigin(installedLoader.native(), *manifest, *signature);
    check = origin.step == OriginStep::kPassed
                ? CheckHeldFiles(stagingDirectory, *manifest, *signedInstallation, origin, held)
                : OriginCheck(origin);
  }
  if (*signedInstallation && check.verdict == StagingVerdict::kTaken) {
    check = CheckNotOlder(MainApplication(installDirectory), StagedApplication(stagingDirectory),
                          "an older application");
  }
  if (*signedInstallation && check.verdict == StagingVerdict::kTaken) {
    check = CheckNotOlder(installedLoader, StagedLoader(stagingDirectory), "an older loader");
  }
  check.listed = manifest.has_value();
  check.signedInstallation = *signedInstallation;
  check.origin = origin;
  if (check.verdict == StagingVerdict::kTaken) heldStagedLoader = std::move(held);
  return check;
}

namespace {
const char* StepText(OriginStep step) {
  switch (step) {
    case OriginStep::kInstalledLoader:
      return "the installed loader's publisher could not be read";
    case OriginStep::kManifestSignature:
      return "the manifest's signature";
    case OriginStep::kManifestSigners:
      return "the manifest is not signed by exactly one signer";
    case OriginStep::kManifestAlgorithm:
      return "the manifest is not signed with SHA-256";
    case OriginStep::kManifestNoDigest:
      return "the manifest's signature signs no message digest";
    case OriginStep::kManifestDigest:
      return "the manifest was changed after signing";
    case OriginStep::kManifestPublisher:
      return "the manifest is signed by another publisher";
    case OriginStep::kManifestUsage:
      return "the manifest's signer is not for code signing";
    case OriginStep::kManifestChain:
      return "the manifest signer's certificate chain";
    case OriginStep::kStagedLoader:
      return "the staged loader's signature";
    case OriginStep::kLoaderPublisher:
      return "the staged loader is signed by another publisher";
    case OriginStep::kLoaderUsage:
      return "the staged loader's signer is not for code signing";
    case OriginStep::kLoaderChain:
      return "the staged loader signer's certificate chain";
    case OriginStep::kPassed:
      break;
  }
  return "passed";
}

std::string Quoted(const NativeString& name) { return "\"" + LogText(name) + "\""; }
}  // namespace

std::string StagingCheckText(const StagingCheck& check) {
  std::string text = check.verdict == StagingVerdict::kTaken ? "staging taken"
                     : check.verdict == StagingVerdict::kNotNow
                         ? "staging kept for a later start: cannot be checked now"
                     : check.integrity ? "staging refused for its integrity (stage it again, downloaded anew)"
                                       : "staging refused for its origin (never stage these files again)";
  if (*check.finding != '\0') text += std::string(": ") + check.finding;
  char code[96];
  if (check.origin.step != OriginStep::kPassed) {
    text += std::string(": ") + StepText(check.origin.step);
    if (!check.origin.signer.empty()) text += " " + Quoted(check.origin.signer);
    if (check.origin.status != 0) {
      std::snprintf(code, sizeof code, ", system code 0x%08X", static_cast<unsigned>(check.origin.status));
      text += code;
    }
    if (check.origin.reason != 0) {
      std::snprintf(code, sizeof code, ", reason 0x%08X", static_cast<unsigned>(check.origin.reason));
      text += code;
    }
  }
  // What the chain engine found and the policy let pass (a revocation it could not check) or did not.
  if (check.origin.trust != 0) {
    std::snprintf(code, sizeof code, ", chain trust 0x%08X", static_cast<unsigned>(check.origin.trust));
    text += code;
  }
  if (!check.subject.empty()) text += ": " + LogText(check.subject);
  if (check.error) text += ", " + LogError(check.error);
  text += !check.signedInstallation     ? std::string("; unsigned installation")
          : check.origin.publisher.empty() ? std::string("; signed installation")
                                           : "; signed installation of " + Quoted(check.origin.publisher);
  if (check.verdict == StagingVerdict::kTaken) {
    text += check.listed ? ", every file as its manifest lists it" : ", no manifest: nothing to compare";
  }
  return text;
}
