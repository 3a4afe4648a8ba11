#pragma once
// The check a complete staging passes before it is handed over: in a signed installation, that
// its publisher signed the whole of it and that it is not older than what it replaces; wherever it
// carries a manifest, that its files are exactly the ones listed, each with its hash.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <string>

#include "launcher/trust.hpp"
#include "platform/publisher.hpp"

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
  OriginAnswer origin;           // the publisher check's answer, in a signed installation
};

// Checks the staging in `stagingDirectory` against the installation in `installDirectory`; each
// file is read once, and nothing is changed. Where it is checked against a manifest, the staged
// loader is held from before it is read until `heldStagedLoader` goes, when the verdict is kTaken.
StagingCheck CheckStaging(const boost::filesystem::path& installDirectory,
                          const boost::filesystem::path& stagingDirectory, HeldFile& heldStagedLoader);

// The check's outcome in one line of the log: the verdict, what decided it and what the updater
// should do about a refusal, and whether and by whom the installation is signed.
std::string StagingCheckText(const StagingCheck& check);
