#pragma once
// The check a complete staging passes before it is handed over: in a signed installation, that
// its publisher signed the whole of it and that it is not older than what it replaces; wherever it
// carries a manifest, that its files are exactly the ones listed, each with its hash.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <optional>
#include <string>

#include "launcher/trust.hpp"
#include "platform/digest.hpp"
#include "platform/publisher.hpp"

// The file versions (VS_FIXEDFILEINFO) of the programs a staging would replace and bring, where
// they were read and the program has a version record.
struct ProgramVersions {
  std::optional<std::uint64_t> installedLoader;
  std::optional<std::uint64_t> installedApplication;
  std::optional<std::uint64_t> stagedLoader;
  std::optional<std::uint64_t> stagedApplication;
};

struct StagingCheck {
  StagingVerdict verdict = StagingVerdict::kTaken;
  bool signedInstallation = false;
  // A refusal of the files' integrity (an incomplete or altered download: fetch it again), rather
  // than of their origin (signer, publisher, version: do not stage the same files again).
  bool integrity = false;
  bool listed = false;           // its files were checked against a manifest
  const char* finding = "";      // what decided it, in a few words
  NativeString subject;          // the file it is about, where there is one
  boost::system::error_code error;  // the system's failure behind a "not now", where there is one
  std::string detail;            // what a failure no one foresaw said of itself, where there is one
  OriginAnswer origin;           // the publisher check's answer, in a signed installation
  std::optional<Sha256> manifestDigest;  // the SHA-256 of SHA256SUMS, where it was read
  ProgramVersions versions;
};

// Checks the staging in `stagingDirectory` against the installation in `installDirectory`: first
// that every path it holds and every path its manifest lists is one Windows can hold and install
// (refused for its origin otherwise), then its files, each read once; nothing is changed. The
// versions are read where the publisher check compares them, and for the log where the staging is
// taken or refused; never for one kept, which comes back at every start. In a signed installation
// the manifest's signature comes before any other file is opened, and the release file
// (app/velmora.release, listed like every file) must name this build's product and platform
// (release_file.hpp). Where the staging is checked against a manifest, the staged loader is held
// from before it is read until `heldStagedLoader` goes, when the verdict is kTaken.
StagingCheck CheckStaging(const boost::filesystem::path& installDirectory,
                          const boost::filesystem::path& stagingDirectory, HeldFile& heldStagedLoader);

// The check's outcome in one line of the log: the verdict, what decided it and what the updater
// should do about a refusal, whether and by whom the installation is signed; then, for programs to
// match, "; verdict " and "taken", "refused-integrity", "refused-origin" or "kept", and where
// known ", SHA256SUMS <sha256>", ", installed loader <version>", ", installed application ...",
// ", staged loader ...", ", staged application ..." (a version as "1.2.3.4").
std::string StagingCheckText(const StagingCheck& check);

// The stable word of the check's verdict, as that line ends in it: "taken", "refused-integrity",
// "refused-origin" or "kept".
const char* VerdictWord(const StagingCheck& check);
