#pragma once
// Whether a staged update comes from the publisher of the installation it would replace, and what
// the system's answers about its signatures mean: whether the files themselves are at fault, which
// no later check can mend, or only this machine's state at this moment (its trusted roots, its
// clock, its policy, its Windows version, a file held for a moment).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "launcher/key_record.hpp"
#include "platform/digest.hpp"
#include "platform/publisher.hpp"

enum class StagingVerdict {
  kTaken,    // may be installed
  kRefused,  // the files are at fault: removed, and never taken
  kNotNow,   // cannot be told now: left for a later start
};

// Which check gave the publisher check's answer, in the order they are made.
enum class OriginStep {
  kPassed,             // every check passed
  kInstalledLoader,    // the installed loader's publisher name could not be read (`status`)
  kManifestSignature,  // the manifest's signature could not be read or did not verify (`status`)
  kManifestSigners,    // it is not made by exactly one signer
  kManifestAlgorithm,  // its digest is not SHA-256
  kManifestNoDigest,   // it signs no message digest
  kManifestDigest,     // its signed message digest is not the SHA-256 of the manifest
  kManifestKey,        // it is made with a key the current record does not pin, whatever its name and chain
  kManifestPublisher,  // it is made under another name (`signer`)
  kManifestUsage,      // its signer's certificate is not for signing code
  kManifestChain,      // its signer's chain, built now (`status`: the policy's answer)
  kStagedLoader,       // Windows did not verify the staged loader's signature (`status`, `reason`)
  kLoaderPublisher,    // the staged loader is signed under another name (`signer`)
  kLoaderUsage,        // its signer's certificate is not for signing code
  kLoaderChain,        // the chain its verification built, at the time it verified (`status`)
};

struct OriginAnswer {
  OriginStep step = OriginStep::kPassed;
  std::uint32_t status = 0;  // the system's answer at that step (an HRESULT), 0 where it gave none
  std::uint32_t reason = 0;  // the error the system gave with it, where it gives one for that step
  std::uint32_t trust = 0;   // the trust error bits of the chain at that step; once passed, of both chains
  NativeString publisher;    // the installed loader's publisher name
  NativeString signer;       // the name the signature at that step was made under, where it was read
};

// Whether `signer`, a signature's publisher name, is the installation's `publisher` or one of the
// names `alsoAccepted`: exactly, letter case and all, for a name spelt otherwise is not the one users
// were shown.
bool AcceptedPublisher(const NativeString& signer, const NativeString& publisher,
                       const std::vector<NativeString>& alsoAccepted);

// The same with the names this build accepts besides (VELMORA_ACCEPTED_PUBLISHERS).
bool AcceptedPublisher(const NativeString& signer, const NativeString& publisher);

// Whether `loader` carries a signature at all, read from its PE header alone (no signature library
// is loaded); nullopt when it cannot be read, with the system's failure in `error` where it gave
// one. Always false where programs are not signed (POSIX).
std::optional<bool> CarriesSignature(const NativeString& loader, boost::system::error_code& error);
std::optional<bool> CarriesSignature(const NativeString& loader);

// The digest the `signedDigest` attribute value of a signed message names: a DER octet string of a
// SHA-256 digest's length; nullopt for anything else.
std::optional<Sha256> SignedSha256(const std::string& signedDigest);

// What the system's answers on a signed message (`message`, whose content has the SHA-256
// `contentDigest`) mean where the publisher's key alone vouches for it: one signer, SHA-256, a signed
// digest that is the content's, a signature that verifies, made with a key `keys` pins; whatever
// name its certificate bears and whatever its chain (a key record's may long have expired). The
// first step that does not pass, or kPassed.
OriginAnswer JudgePinnedSignature(const SignedMessage& message, const Sha256& contentDigest, const KeyRecord& keys);

// The same for a message that must also be the publisher's by today's rule (the manifest, the
// feed), and the staged loader's signature (`loader`), for a signed installation of `publisher`:
// then its name, its certificate's use and its chain; the first step that does not pass, or kPassed
// with the chain's trust bits.
OriginAnswer JudgeManifestSignature(const SignedMessage& message, const Sha256& contentDigest,
                                    const NativeString& publisher, const KeyRecord& keys);
OriginAnswer JudgeLoaderSignature(const SignatureAnswer& loader, const NativeString& publisher);

// In a signed installation: the installed loader's publisher name, read without verifying it (a
// certificate that has expired since, or a root this machine does not trust, leaves the
// installation signed all the same), and the detached PKCS #7 `signature` over `manifest`, made with
// a key `keys` pins, its signer's chain built now with nothing fetched from the network.
OriginAnswer CheckManifestOrigin(const NativeString& installedLoader, const std::string& manifest,
                                 const std::string& signature, const KeyRecord& keys);

// In a signed installation of `publisher`: the staged loader's signature, verified through `held`.
OriginAnswer CheckLoaderOrigin(const HeldFile& held, const NativeString& stagedLoader, const NativeString& publisher);

// Whether a staged program of version `staged` is older than the installed one of `installed` (each
// nullopt without a version record), in a signed installation: one without a record where the
// installed one has one is, for any older release might lack one.
bool OlderThanInstalled(std::optional<std::uint64_t> installed, std::optional<std::uint64_t> staged);

// The meaning of `status`, the answer (an HRESULT) of a program's signature check, of a signed
// message or of a certificate chain's policy, with `reason`, the error the system gave with it,
// which alone tells an unsigned file from one that could not be read, and `trust`, the trust error
// bits of the chain it is about. 0 passes.
StagingVerdict MeaningOfTrustAnswer(std::uint32_t status, std::uint32_t reason, std::uint32_t trust = 0);

// The verdict on a staging from the publisher check's answer.
StagingVerdict VerdictOfOrigin(const OriginAnswer& answer);

// Whether a refusal by the publisher check is of the files' integrity (a torn or altered download,
// worth fetching again) rather than of their origin.
bool RefusedForIntegrity(const OriginAnswer& answer);
