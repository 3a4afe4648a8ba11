#pragma once
// Whether a staged update comes from the publisher of the installation it would replace, and what
// the system's answers about its signatures mean: whether the files themselves are at fault, which
// no later check can mend, or only this machine's state at this moment (its trusted roots, its
// clock, its policy, a file held for a moment).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/digest.hpp"
#include "platform/publisher.hpp"

enum class StagingVerdict {
  kTaken,    // may be installed
  kRefused,  // the files are at fault: removed, and never taken
  kNotNow,   // cannot be told now: left for a later start
};

// Which check gave the publisher check's answer.
enum class OriginStep {
  kPassed,             // every check passed
  kInstalledLoader,    // the installed loader's publisher name could not be read (`status`)
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

// Whether `signer`, a signature's publisher name, is the installation's `publisher` or one of the
// names `alsoAccepted`: exactly, letter case and all, for a name spelt otherwise is not the one users
// were shown.
bool AcceptedPublisher(const NativeString& signer, const NativeString& publisher,
                       const std::vector<NativeString>& alsoAccepted);

// The same with the names this build accepts besides (VELMORA_ACCEPTED_PUBLISHERS).
bool AcceptedPublisher(const NativeString& signer, const NativeString& publisher);

// Whether `loader` carries a signature at all, read from its PE header alone (no signature library
// is loaded); nullopt when it cannot be read. Always false where programs are not signed (POSIX).
std::optional<bool> CarriesSignature(const NativeString& loader);

// The digest the `signedDigest` attribute value of a signed message names: a DER octet string of a
// SHA-256 digest's length; nullopt for anything else.
std::optional<Sha256> SignedSha256(const std::string& signedDigest);

// What the system's answers on the staged loader's signature (`loader`) and on the manifest's
// (`manifest`, whose content has the SHA-256 `manifestDigest`) mean for a signed installation of
// `publisher`: the first step that does not pass, or kPassed.
OriginAnswer JudgeLoaderSignature(const SignatureAnswer& loader, const NativeString& publisher);
OriginAnswer JudgeManifestSignature(const SignedMessage& manifest, const Sha256& manifestDigest,
                                    const NativeString& publisher, const std::string& loaderCertificate);

// For a signed installation (`installedLoader` carries a signature): whether Windows verifies the
// staged loader's Authenticode signature and the detached PKCS#7 `manifestSignature` over
// `manifest`, both under the installed loader's publisher name or one this build accepts besides,
// with nothing fetched from the network and no revocation check. The manifest's signer certificate
// passes when it is the one just verified for the staged loader, or when its own chain verifies
// offline. The staged loader is held in `heldStagedLoader` only when every check passed; it can
// still be started while held. Elsewhere: kPassed, nothing held.
OriginAnswer CheckUpdateOrigin(const NativeString& installedLoader, const NativeString& stagedLoader,
                               const std::string& manifest, const std::string& manifestSignature,
                               HeldFile& heldStagedLoader);

// The meaning of `status`, the answer (an HRESULT) of a program's signature check, of a signed
// message or of a certificate chain's policy, with `reason`, the error left behind with it, which
// alone tells an unsigned file from one that could not be read. 0 passes.
StagingVerdict MeaningOfTrustAnswer(std::uint32_t status, std::uint32_t reason);

// The verdict on a staging from the publisher check's answer.
StagingVerdict VerdictOfOrigin(const OriginAnswer& answer);

// Whether a refusal by the publisher check is of the files' integrity (a torn or altered download,
// worth fetching again) rather than of their origin.
bool RefusedForIntegrity(const OriginAnswer& answer);
