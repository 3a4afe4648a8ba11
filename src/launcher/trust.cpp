#include "launcher/trust.hpp"

#include <algorithm>
#include <iterator>

#include "launcher/pe_header.hpp"
#include "platform/program_header.hpp"

namespace {
// Windows' answers, by number: these are the same on every Windows and are what the system hands
// back, whatever headers the loader was built with.
constexpr std::uint32_t kNoSignature = 0x800B0100;         // TRUST_E_NOSIGNATURE
constexpr std::uint32_t kSubjectFormUnknown = 0x800B0003;  // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr std::uint32_t kCertificateSignature = 0x80096004;  // TRUST_E_CERT_SIGNATURE
constexpr std::uint32_t kFileError = 0x80092003;           // CRYPT_E_FILE_ERROR
// A chain's trust bit: a certificate signed with an algorithm this Windows, or its policy, holds
// weak (CERT_TRUST_HAS_WEAK_SIGNATURE).
constexpr std::uint32_t kWeakSignature = 0x00100000;

// What the files carry, and so what every machine at every time answers the same.
constexpr std::uint32_t kRefusals[] = {
    // Not a kind of file that carries a signature.
    kSubjectFormUnknown,
    // The bytes are not what was signed: a file or the manifest changed after signing.
    0x80096010,  // TRUST_E_BAD_DIGEST
    0x80090006,  // NTE_BAD_SIGNATURE
    0x80091007,  // CRYPT_E_HASH_VALUE
    // A broken signature or certificate.
    0x80096011,  // TRUST_E_MALFORMED_SIGNATURE
    0x80096002,  // TRUST_E_NO_SIGNER_CERT
    0x80096003,  // TRUST_E_COUNTER_SIGNER
    0x800B0108,  // CERT_E_MALFORMED
    0x800B0102,  // CERT_E_VALIDITYPERIODNESTING
    0x800B0104,  // CERT_E_PATHLENCONST
    0x800B0107,  // CERT_E_ISSUERCHAINING
    0x800B0113,  // CERT_E_INVALID_POLICY
    0x800B0114,  // CERT_E_INVALID_NAME
    0x800B0103,  // CERT_E_ROLE: an end entity's certificate used as a CA's, or the other way round
    0x80096019,  // TRUST_E_BASIC_CONSTRAINTS
    0x8009601E,  // TRUST_E_FINANCIAL_CRITERIA
    0x80091001,  // CRYPT_E_MSG_ERROR
    0x80091004,  // CRYPT_E_INVALID_MSG_TYPE
    0x8009200A,  // CRYPT_E_UNEXPECTED_MSG_TYPE
    0x80092002,  // CRYPT_E_BAD_ENCODE
    0x8009200E,  // CRYPT_E_NO_SIGNER
    0x8009100E,  // CRYPT_E_SIGNER_NOT_FOUND
    0x8009100F,  // CRYPT_E_ATTRIBUTES_MISSING
    // A signature without the signer's certificate: no machine can ever verify it.
    0x8009202B,  // CRYPT_E_NO_TRUSTED_SIGNER
    // Revoked, as far as the system already knows, or distrusted outright.
    0x800B010C,  // CERT_E_REVOKED
    0x80092010,  // CRYPT_E_REVOKED
    0x800B0111,  // TRUST_E_EXPLICIT_DISTRUST
};

// An ASN.1 encoding the system cannot decode: a malformed signature.
bool MalformedEncoding(std::uint32_t status) { return status >= 0x80093000 && status <= 0x80093FFF; }

// An error of the system's own (a Win32 error, bare or as an HRESULT, or a file error of the crypto
// libraries): the file could not be opened or read now, whatever it holds.
bool SystemError(std::uint32_t reason) {
  return (reason > 0 && reason <= 0xFFFF) || (reason & 0xFFFF0000) == 0x80070000 || reason == kFileError;
}

constexpr char kSha256Algorithm[] = "2.16.840.1.101.3.4.2.1";  // id-sha256

OriginAnswer Failed(OriginStep step, const NativeString& publisher, const SignatureAnswer& signature) {
  OriginAnswer answer;
  answer.step = step;
  answer.publisher = publisher;
  answer.status = signature.status;
  answer.reason = signature.reason;
  answer.signer = signature.signer;
  return answer;
}

// The checks every signer passes once its signature verified: its name, its certificate's use and
// its chain, the last one's bits kept for the log even where the policy passes it.
OriginAnswer JudgeSigner(const SignatureAnswer& signature, const NativeString& publisher, OriginStep publisherStep,
                         OriginStep usageStep, OriginStep chainStep) {
  OriginAnswer answer = Failed(OriginStep::kPassed, publisher, signature);
  answer.trust = signature.chain.trust;
  if (!AcceptedPublisher(signature.signer, publisher)) {
    answer.step = publisherStep;
  } else if (!signature.codeSigning) {
    // Read from the certificate itself: a chain engine that does not flag it (Wine's) must not let
    // it through, and one that does (Windows') may also flag a restriction of this machine's.
    answer.step = usageStep;
  } else if (signature.chain.policy != 0) {
    answer.step = chainStep;
    answer.status = signature.chain.policy;
  }
  return answer;
}
}  // namespace

bool AcceptedPublisher(const NativeString& signer, const NativeString& publisher,
                       const std::vector<NativeString>& alsoAccepted) {
  return signer == publisher || std::find(alsoAccepted.begin(), alsoAccepted.end(), signer) != alsoAccepted.end();
}

std::optional<bool> CarriesSignature(const NativeString& loader, boost::system::error_code& error) {
  error.clear();
  if (!ProgramsCarrySignatures()) return false;
  std::string header;
  error = ReadProgramHeader(loader, header);
  if (error) return std::nullopt;
  return CarriesCertificateTable(header);
}

std::optional<bool> CarriesSignature(const NativeString& loader) {
  boost::system::error_code ignored;
  return CarriesSignature(loader, ignored);
}

std::optional<Sha256> SignedSha256(const std::string& signedDigest) {
  Sha256 digest{};
  if (signedDigest.size() != 2 + digest.size() || signedDigest[0] != 0x04 ||
      static_cast<unsigned char>(signedDigest[1]) != digest.size()) {
    return std::nullopt;
  }
  std::copy(signedDigest.begin() + 2, signedDigest.end(), digest.begin());
  return digest;
}

OriginAnswer JudgePinnedSignature(const SignedMessage& message, const Sha256& contentDigest, const KeyRecord& keys) {
  OriginAnswer answer;
  const std::optional<Sha256> signedDigest = SignedSha256(message.signedDigest);
  if (message.decoded != 0) {
    answer.step = OriginStep::kManifestSignature;
    answer.status = message.decoded;
  } else if (message.signers != 1) {
    answer.step = OriginStep::kManifestSigners;
  } else if (message.digestAlgorithm != kSha256Algorithm) {
    answer.step = OriginStep::kManifestAlgorithm;
  } else if (!signedDigest) {
    answer.step = OriginStep::kManifestNoDigest;
  } else if (*signedDigest != contentDigest) {
    // Compared here, before the signature's own verification: a manifest changed after signing is
    // told apart from a signature that does not verify (and Wine never compares it at all).
    answer.step = OriginStep::kManifestDigest;
  } else if (message.signature.status != 0) {
    answer = Failed(OriginStep::kManifestSignature, {}, message.signature);
  } else if (!PinsKey(keys, message.signature.key)) {
    // Before the name and the chain: a certificate under the publisher's name from any CA, or from
    // a root a user was talked into trusting, is not the publisher's unless its key is.
    answer = Failed(OriginStep::kManifestKey, {}, message.signature);
  }
  return answer;
}

OriginAnswer JudgeManifestSignature(const SignedMessage& message, const Sha256& contentDigest,
                                    const NativeString& publisher, const KeyRecord& keys) {
  OriginAnswer answer = JudgePinnedSignature(message, contentDigest, keys);
  if (answer.step == OriginStep::kPassed) {
    answer = JudgeSigner(message.signature, publisher, OriginStep::kManifestPublisher, OriginStep::kManifestUsage,
                         OriginStep::kManifestChain);
  }
  answer.publisher = publisher;
  return answer;
}

OriginAnswer JudgeLoaderSignature(const SignatureAnswer& loader, const NativeString& publisher) {
  if (loader.status != 0) return Failed(OriginStep::kStagedLoader, publisher, loader);
  return JudgeSigner(loader, publisher, OriginStep::kLoaderPublisher, OriginStep::kLoaderUsage,
                     OriginStep::kLoaderChain);
}

OriginAnswer CheckManifestOrigin(const NativeString& installedLoader, const std::string& manifest,
                                 const std::string& signature, const KeyRecord& keys) {
  const SignatureAnswer installed = ReadProgramSigner(installedLoader);
  if (installed.status != 0) return Failed(OriginStep::kInstalledLoader, {}, installed);
  Sha256 digest{};
  if (!Sha256OfBytes(manifest, digest)) {
    OriginAnswer answer;
    answer.step = OriginStep::kManifestSignature;
    answer.publisher = installed.signer;
    answer.status = 0x80096001;  // TRUST_E_SYSTEM_ERROR: the system's hash failed, not the file
    return answer;
  }
  return JudgeManifestSignature(VerifySignedMessage(signature, &manifest, ChainRetrieval::kCacheOnly), digest,
                                installed.signer, keys);
}

OriginAnswer CheckLoaderOrigin(const HeldFile& held, const NativeString& stagedLoader, const NativeString& publisher) {
  return JudgeLoaderSignature(VerifyProgram(held, stagedLoader), publisher);
}

bool OlderThanInstalled(std::optional<std::uint64_t> installed, std::optional<std::uint64_t> staged) {
  return installed && (!staged || *staged < *installed);
}

// Everything else waits: a root this machine does not trust yet (Windows fetches roots lazily), a
// chain that cannot be built offline, an expired certificate or time stamp (the clock may be
// wrong), revocation that could not be checked, and what depends on this Windows' version or this
// machine's policy: an algorithm it does not know (NTE_BAD_ALGID) or holds weak, a critical
// extension it does not know (CERT_E_CRITICAL), a use an administrator took from a CA
// (CERT_E_WRONG_USAGE, CERT_E_PURPOSE: a leaf not for code signing is refused before, by its own
// certificate), the security settings, a system function that cannot be loaded, and whatever no
// one foresaw. A genuine update is never thrown away for the state of one machine.
StagingVerdict MeaningOfTrustAnswer(std::uint32_t status, std::uint32_t reason, std::uint32_t trust) {
  if (status == 0) return StagingVerdict::kTaken;
  // Also the answer when the file could not be read: only a failure of the system's own to read it
  // waits; with any other reason there is no signature that verifies.
  if (status == kNoSignature) return SystemError(reason) ? StagingVerdict::kNotNow : StagingVerdict::kRefused;
  if (status == kCertificateSignature) {
    return (trust & kWeakSignature) != 0 ? StagingVerdict::kNotNow : StagingVerdict::kRefused;
  }
  const bool refused = MalformedEncoding(status) ||
                       std::find(std::begin(kRefusals), std::end(kRefusals), status) != std::end(kRefusals);
  return refused ? StagingVerdict::kRefused : StagingVerdict::kNotNow;
}

StagingVerdict VerdictOfOrigin(const OriginAnswer& answer) {
  switch (answer.step) {
    case OriginStep::kPassed:
      return StagingVerdict::kTaken;
    case OriginStep::kManifestSigners:
    case OriginStep::kManifestAlgorithm:
    case OriginStep::kManifestNoDigest:
    case OriginStep::kManifestDigest:
    case OriginStep::kManifestKey:
    case OriginStep::kManifestPublisher:
    case OriginStep::kManifestUsage:
    case OriginStep::kLoaderPublisher:
    case OriginStep::kLoaderUsage:
      return StagingVerdict::kRefused;
    case OriginStep::kManifestSignature:
    case OriginStep::kManifestChain:
    case OriginStep::kStagedLoader:
    case OriginStep::kLoaderChain:
      return MeaningOfTrustAnswer(answer.status, answer.reason, answer.trust);
    case OriginStep::kInstalledLoader:
      break;
  }
  return StagingVerdict::kNotNow;
}

// The staging's bytes disagree with themselves: the manifest is not what was signed, or its
// signature is cut short. Fetched again, whole, it may pass.
bool RefusedForIntegrity(const OriginAnswer& answer) {
  return answer.step == OriginStep::kManifestDigest ||
         (answer.step == OriginStep::kManifestSignature && MalformedEncoding(answer.status));
}
