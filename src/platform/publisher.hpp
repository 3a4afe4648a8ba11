#pragma once
// Whether a staged update comes from the publisher of the installation it would replace: the
// signatures of the staged loader and of the staging's manifest, and the programs' versions.
// What each of the system's answers means is decided by the launcher; this only asks.

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/native_text.hpp"

// The staged loader as it was checked, held open against writing and deletion until the last copy
// of this goes, so that what was checked is what runs. Empty where nothing is held.
using HeldFile = std::shared_ptr<void>;

// Which check gave the answer.
enum class OriginStep {
  kPassed,             // every check passed
  kInstalledLoader,    // the installed loader's publisher name could not be read
  kStagedLoader,       // Windows did not verify the staged loader's signature (`status`)
  kLoaderPublisher,    // the staged loader is signed under another name (`signer`)
  kManifestSignature,  // the manifest's signature did not verify (`status`)
  kManifestDigest,     // its signed message digest is not the SHA-256 of the manifest
  kManifestPublisher,  // the manifest is signed under another name (`signer`)
  kManifestChain,      // the manifest signer's certificate chain (`status`; `reason`: the chain's trust errors)
};

struct OriginAnswer {
  OriginStep step = OriginStep::kPassed;
  std::uint32_t status = 0;  // the system's answer at that step (an HRESULT), 0 where it gave none
  std::uint32_t reason = 0;  // the error left behind with it, or the chain's trust error bits
  NativeString publisher;    // the installed loader's publisher name
  NativeString signer;       // the name a refused signature was made under
};

// Whether `loader` carries a signature at all, read from its header alone (no signature library
// is loaded); nullopt when it cannot be read. Always false where programs are not signed (POSIX).
std::optional<bool> CarriesSignature(const NativeString& loader);

// The publisher name `program`'s signature is made under, read, not verified (as the loader reads
// its own); empty when it carries none or cannot be read. Always empty where programs are not
// signed (POSIX).
NativeString SignaturePublisher(const NativeString& program);

// For a signed installation (`installedLoader` carries a signature): whether Windows verifies the
// staged loader's Authenticode signature and the detached PKCS#7 `manifestSignature` over
// `manifest`, both under the installed loader's publisher name or one this build accepts besides
// (VELMORA_ACCEPTED_PUBLISHERS), with nothing fetched from the network and no revocation check.
// The manifest's signer certificate passes when it is the one just verified for the staged loader,
// or when its own chain verifies offline. The staged loader is held in `heldStagedLoader` only when
// every check passed; it can still be started while held. Elsewhere: kPassed, nothing held.
OriginAnswer CheckUpdateOrigin(const NativeString& installedLoader, const NativeString& stagedLoader,
                               const std::string& manifest, const std::string& manifestSignature,
                               HeldFile& heldStagedLoader);

// The file version of `program`'s version record (its most significant half first), nullopt when
// it has none; the failure when the program could not be read. Elsewhere: nullopt.
boost::system::error_code ProgramVersion(const NativeString& program, std::optional<std::uint64_t>& version);
