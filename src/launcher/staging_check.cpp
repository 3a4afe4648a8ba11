#include "launcher/staging_check.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "launcher/key_chain.hpp"
#include "launcher/layout.hpp"
#include "launcher/manifest.hpp"
#include "launcher/release_file.hpp"
#include "launcher/run_log.hpp"
#include "launcher/staged_names.hpp"
#include "platform/digest.hpp"
#include "platform/file_ops.hpp"
#include "platform/file_tree.hpp"
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

// A path Windows could not hold or install is in what the publisher made: never stage it again.
StagingCheck RefusedName(NameFault fault, const NativeString& path) {
  const char* const finding = fault == NameFault::kUnfitName ? "a name Windows cannot hold"
                              : fault == NameFault::kTooLong ? "a path of 260 characters or more once installed"
                                                             : "below more than 64 folders";
  return Refused(finding, false, path);
}

// The whole of a small regular file, never through a link; nullopt when there is nothing at its
// name, a failure in `error` when it cannot be read, `unfit` when it is no such file.
std::optional<std::string> ReadSmallFile(const fs::path& file, error_code& error, bool& unfit) {
  std::string text;
  error = ReadWholeFile(file.native(), kLargestManifest, text);
  unfit = error == boost::system::errc::invalid_argument;
  const bool missing = error == boost::system::errc::no_such_file_or_directory;
  if (unfit || missing) error.clear();
  if (missing) return std::nullopt;
  return text;
}

// The files of a staging, as one walk found them.
struct StagedFiles {
  std::vector<NativeString> relative;  // `/` between names
  std::vector<FileDigest> digests;
  std::vector<error_code> errors;      // the failure to read each
};

// Walks the staging once: every path must be one Windows can hold and install below
// `installDirectory`, and nothing may be a link or anything but a file or a folder; with `read`,
// every file but the manifest's own two is read, and must be the file's only name. What is at fault
// decides, or the walk's failure; the files read are in `files`.
StagingCheck WalkStaging(const fs::path& installDirectory, const fs::path& stagingDirectory, bool read,
                         StagedFiles& files) {
  StagingCheck fault;
  const NativeString manifestName = NativeFromAscii(kManifestFile);
  const NativeString signatureName = NativeFromAscii(kManifestSignatureFile);
  const error_code error = WalkTree(stagingDirectory.native(), [&](const TreeEntry& entry) {
    if (entry.read) {
      if (!entry.error && (entry.digest.special || entry.digest.names > 1)) {
        fault = Refused("a link or a special file", true, entry.relative);
        return WalkStep::kStop;
      }
      files.relative.push_back(entry.relative);
      files.digests.push_back(entry.digest);
      files.errors.push_back(entry.error);
      return WalkStep::kGoOn;
    }
    const bool folder = entry.kind == EntryKind::kFolder;
    if (const NameFault name = StagedPathFault(installDirectory.native(), entry.relative, folder);
        name != NameFault::kNone) {
      fault = RefusedName(name, entry.relative);
      return WalkStep::kStop;
    }
    if (entry.kind == EntryKind::kLink || entry.kind == EntryKind::kSpecial) {
      fault = Refused("a link or a special file", true, entry.relative);
      return WalkStep::kStop;
    }
    // Found by their names as the file system finds them, letter case and all.
    const bool manifest =
        CompareFileNames(entry.relative, manifestName) == 0 || CompareFileNames(entry.relative, signatureName) == 0;
    return folder || manifest || !read ? WalkStep::kGoOn : WalkStep::kRead;
  });
  if (fault.verdict == StagingVerdict::kTaken && error) return NotNow("the staging directory could not be read", error);
  return fault;
}

// The staging's paths, and where it carries a manifest its files against it: each listed, present
// once, with its hash.
StagingCheck CheckStagedFiles(const fs::path& installDirectory, const fs::path& stagingDirectory,
                              const std::optional<std::string>& manifest) {
  std::vector<ManifestLine> lines;
  if (manifest) {
    std::optional<std::vector<ManifestLine>> parsed = ParseManifest(*manifest);
    if (!parsed) return Refused("the manifest is malformed", true);
    lines = std::move(*parsed);
    for (const ManifestLine& line : lines) {
      const NameFault name = StagedPathFault(installDirectory.native(), line.path, false);
      if (name != NameFault::kNone) return RefusedName(name, line.path);
    }
  }
  StagedFiles files;
  files.relative.reserve(lines.size());
  files.digests.reserve(lines.size());
  files.errors.reserve(lines.size());
  if (const StagingCheck fault = WalkStaging(installDirectory, stagingDirectory, manifest.has_value(), files);
      fault.verdict != StagingVerdict::kTaken || !manifest) {
    return fault;
  }
  const Listing listing = PairLinesWithFiles(lines, files.relative, CompareFileNames);
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
    if (files.errors[file]) return NotNow("a file could not be read", files.errors[file], files.relative[file]);
    if (HexOf(files.digests[file].sha256) != lines[line].digest) {
      return Refused("a file does not match its hash", true, files.relative[file]);
    }
  }
  return {};
}

// The versions of the installed and the staged loader and application; the first failure to
// read one, naming its program in `failed`, the others read all the same.
error_code ReadVersions(const fs::path& installDirectory, const fs::path& stagingDirectory, ProgramVersions& versions,
                        NativeString& failed) {
  const std::pair<fs::path, std::optional<std::uint64_t>*> programs[] = {
      {InstalledLoader(installDirectory), &versions.installedLoader},
      {MainApplication(installDirectory), &versions.installedApplication},
      {StagedLoader(stagingDirectory), &versions.stagedLoader},
      {StagedApplication(stagingDirectory), &versions.stagedApplication}};
  error_code first;
  for (const auto& [program, version] : programs) {
    const error_code error = ProgramVersion(program.native(), *version);
    if (error && !first) {
      first = error;
      failed = program.native();
    }
  }
  return first;
}

// An update may repair (the same version) or move on, never go back: a publisher withdraws a
// release by shipping a higher version. In a signed installation a staged program without a version
// record is older than an installed one with one, for any older release might lack one.
StagingCheck CheckNotOlder(const ProgramVersions& versions, const fs::path& stagingDirectory) {
  if (OlderThanInstalled(versions.installedApplication, versions.stagedApplication)) {
    return Refused("an older application", false, StagedApplication(stagingDirectory).native());
  }
  if (OlderThanInstalled(versions.installedLoader, versions.stagedLoader)) {
    return Refused("an older loader", false, StagedLoader(stagingDirectory).native());
  }
  return {};
}

// A signed installation takes only a release of its own product and platform, as the release file
// its publisher signed with every other file says (the files were checked against the manifest).
StagingCheck CheckReleaseFit(const fs::path& stagingDirectory) {
  const fs::path file = StagedReleaseFile(stagingDirectory);
  error_code error;
  bool unfit = false;
  const std::optional<std::string> text = ReadSmallFile(file, error, unfit);
  if (error) return NotNow("a file could not be read", error, file.native());
  const ReleaseFit fit = FitOfRelease(text && !unfit ? std::optional<std::string_view>(*text) : std::nullopt);
  if (fit == ReleaseFit::kOurs) return {};
  return Refused(ReleaseFitText(fit), false, file.native());
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
StagingCheck CheckHeldFiles(const fs::path& installDirectory, const fs::path& stagingDirectory,
                            const std::string& manifest, bool signedInstallation, OriginAnswer& origin,
                            HeldFile& held) {
  const fs::path stagedLoader = StagedLoader(stagingDirectory);
  if (const error_code error = HoldForReading(stagedLoader.native(), held)) {
    return NotNow("the staged loader could not be opened", error, stagedLoader.native());
  }
  OriginAnswer loader;
  if (signedInstallation) loader = CheckLoaderOrigin(held, stagedLoader.native(), origin.publisher);
  if (VerdictOfOrigin(loader) != StagingVerdict::kNotNow) {
    const StagingCheck files = CheckStagedFiles(installDirectory, stagingDirectory, manifest);
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
  // A check that ends before the files still says which installation it was made in.
  const auto early = [&](StagingCheck check) {
    check.signedInstallation = *signedInstallation;
    return check;
  };
  bool unfit = false;
  const std::optional<std::string> manifest = ReadSmallFile(Join(stagingDirectory, kManifestFile), error, unfit);
  if (error) return early(NotNow("the manifest could not be read", error));
  if (unfit) return early(Refused("the manifest is malformed", true));
  std::optional<Sha256> manifestDigest;
  if (Sha256 digest{}; manifest && Sha256OfBytes(*manifest, digest)) manifestDigest = digest;

  std::optional<std::string> signature;
  if (*signedInstallation) {
    signature = ReadSmallFile(Join(stagingDirectory, kManifestSignatureFile), error, unfit);
    if (error) return early(NotNow("the manifest's signature could not be read", error));
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
    if (*signedInstallation) {
      origin = CheckManifestOrigin(installedLoader.native(), *manifest, *signature, InstallationKeys(installDirectory));
    }
    check = origin.step == OriginStep::kPassed
                ? CheckHeldFiles(installDirectory, stagingDirectory, *manifest, *signedInstallation, origin, held)
                : OriginCheck(origin);
  } else {
    check = CheckStagedFiles(installDirectory, stagingDirectory, std::nullopt);
  }
  if (*signedInstallation && check.verdict == StagingVerdict::kTaken) check = CheckReleaseFit(stagingDirectory);
  ProgramVersions versions;
  bool versionsRead = false;
  if (*signedInstallation && check.verdict == StagingVerdict::kTaken) {
    NativeString failed;
    versionsRead = true;
    if (const error_code unread = ReadVersions(installDirectory, stagingDirectory, versions, failed)) {
      check = NotNow("a version could not be read", unread, failed);
    } else {
      check = CheckNotOlder(versions, stagingDirectory);
    }
  }
  // For the log: a staging taken or refused is seen once, one kept at every start.
  if (!versionsRead && check.verdict != StagingVerdict::kNotNow) {
    NativeString failed;
    ReadVersions(installDirectory, stagingDirectory, versions, failed);
  }
  check.listed = manifest.has_value();
  check.signedInstallation = *signedInstallation;
  check.origin = origin;
  check.manifestDigest = manifestDigest;
  check.versions = versions;
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
    case OriginStep::kManifestKey:
      return "the manifest is signed by a key that is not the publisher's";
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

// "1.2.3.4": the four 16-bit parts of a file version, the most significant first.
std::string VersionText(std::uint64_t version) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(version >> 48),
                static_cast<unsigned>((version >> 32) & 0xFFFF), static_cast<unsigned>((version >> 16) & 0xFFFF),
                static_cast<unsigned>(version & 0xFFFF));
  return text;
}

// A path at fault is written at most this long, so that the words programs match, which end the
// line, are never cut with it.
constexpr std::size_t kLongestSubject = 512;
}  // namespace

const char* VerdictWord(const StagingCheck& check) {
  return check.verdict == StagingVerdict::kTaken    ? "taken"
         : check.verdict == StagingVerdict::kNotNow ? "kept"
         : check.integrity                          ? "refused-integrity"
                                                    : "refused-origin";
}

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
  if (!check.subject.empty()) {
    text += ": " + LogText(check.subject.substr(0, kLongestSubject));
    if (check.subject.size() > kLongestSubject) text += "...";
  }
  if (check.error) text += ", " + LogError(check.error);
  if (!check.detail.empty()) text += " (" + check.detail.substr(0, kLongestSubject) + ")";
  text += !check.signedInstallation     ? std::string("; unsigned installation")
          : check.origin.publisher.empty() ? std::string("; signed installation")
                                           : "; signed installation of " + Quoted(check.origin.publisher);
  if (check.verdict == StagingVerdict::kTaken) {
    text += check.listed ? ", every file as its manifest lists it" : ", no manifest: nothing to compare";
  }
  text += std::string("; verdict ") + VerdictWord(check);
  if (check.manifestDigest) text += ", " + std::string(kManifestFile) + " " + HexOf(*check.manifestDigest);
  for (const auto& [name, version] : {std::pair{"installed loader", &check.versions.installedLoader},
                                      std::pair{"installed application", &check.versions.installedApplication},
                                      std::pair{"staged loader", &check.versions.stagedLoader},
                                      std::pair{"staged application", &check.versions.stagedApplication}}) {
    if (*version) text += std::string(", ") + name + " " + VersionText(**version);
  }
  return text;
}
