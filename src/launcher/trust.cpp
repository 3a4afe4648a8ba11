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
constexpr std::uint32_t kProviderUnknown = 0x800B0001;     // TRUST_E_PROVIDER_UNKNOWN

// What the files carry, and so what every machine at every time answers the same.
constexpr std::uint32_t kRefusals[] = {
    // No signature, or not a kind of file that carries one.
    kSubjectFormUnknown,
    // The bytes are not what was signed: a file or the manifest changed after signing.
    0x80096010,  // TRUST_E_BAD_DIGEST
    0x80090006,  // NTE_BAD_SIGNATURE
    0x80091007,  // CRYPT_E_HASH_VALUE
    // A broken signature or certificate.
    0x80096004,  // TRUST_E_CERT_SIGNATURE
    0x80096002,  // TRUST_E_NO_SIGNER_CERT
    0x80096003,  // TRUST_E_COUNTER_SIGNER
    0x800B0108,  // CERT_E_MALFORMED
    0x800B0105,  // CERT_E_CRITICAL
    0x800B0102,  // CERT_E_VALIDITYPERIODNESTING
    0x800B0104,  // CERT_E_PATHLENCONST
    0x800B0107,  // CERT_E_ISSUERCHAINING
    0x800B0113,  // CERT_E_INVALID_POLICY
    0x800B0114,  // CERT_E_INVALID_NAME
    0x80096019,  // TRUST_E_BASIC_CONSTRAINTS
    0x8009601E,  // TRUST_E_FINANCIAL_CRITERIA
    0x80091001,  // CRYPT_E_MSG_ERROR
    0x80091004,  // CRYPT_E_INVALID_MSG_TYPE
    0x8009200A,  // CRYPT_E_UNEXPECTED_MSG_TYPE
    0x80092002,  // CRYPT_E_BAD_ENCODE
    0x8009200E,  // CRYPT_E_NO_SIGNER
    0x8009100E,  // CRYPT_E_SIGNER_NOT_FOUND
    0x8009100F,  // CRYPT_E_ATTRIBUTES_MISSING: no signed message digest
    0x80090008,  // NTE_BAD_ALGID: a digest other than SHA-256
    // A certificate not for signing code.
    0x800B0106,  // CERT_E_PURPOSE
    0x800B0110,  // CERT_E_WRONG_USAGE
    0x800B0103,  // CERT_E_ROLE
    // Revoked, as far as the system already knows, or distrusted outright.
    0x800B010C,  // CERT_E_REVOKED
    0x80092010,  // CRYPT_E_REVOKED
    0x800B0111,  // TRUST_E_EXPLICIT_DISTRUST
};

// An ASN.1 encoding the system cannot decode: a malformed signature.
bool MalformedEncoding(std::uint32_t status) { return status >= 0x80093000 && status <= 0x80093FFF; }

// What a chain's trust status says of the certificates themselves: revoked, a signature that does
// not verify, not for this use, distrusted outright (CERT_TRUST_IS_REVOKED, _IS_NOT_SIGNATURE_VALID,
// _IS_NOT_VALID_FOR_USAGE, _IS_EXPLICIT_DISTRUST).
constexpr std::uint32_t kCertificatesAtFault = 0x4 | 0x8 | 0x10 | 0x04000000;

constexpr char kSha256Algorithm[] = "2.16.840.1.101.3.4.2.1";  // id-sha256
// Answers of the system's that the loader also gives where the system's own calls leave none.
constexpr std::uint32_t kNoSigner = 0x8009200E;           // CRYPT_E_NO_SIGNER
constexpr std::uint32_t kAlgorithmUnknown = 0x80090008;   // NTE_BAD_ALGID
constexpr std::uint32_t kNoSignedDigest = 0x8009100F;     // CRYPT_E_ATTRIBUTES_MISSING
constexpr std::uint32_t kNoSignerCertificate = 0x80096002;  // TRUST_E_NO_SIGNER_CERT
constexpr std::uint32_t kSystemError = 0x80096001;        // TRUST_E_SYSTEM_ERROR
constexpr std::uint32_t kFileError = 0x80092003;          // CRYPT_E_FILE_ERROR
}  // namespace

bool AcceptedPublisher(const NativeString& signer, const NativeString& publisher,
                       const std::vector<NativeString>& alsoAccepted) {
  return signer == publisher || std::find(alsoAccepted.begin(), alsoAccepted.end(), signer) != alsoAccepted.end();
}

std::optional<bool> CarriesSignature(const NativeString& loader) {
  if (!ProgramsCarrySignatures()) return false;
  std::string header;
  if (ReadProgramHeader(loader, header)) return std::nullopt;
  return CarriesCertificateTable(header);
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

OriginAnswer JudgeLoaderSignature(const SignatureAnswer& loader, const NativeString& publisher) {
  OriginAnswer answer;
  answer.step = OriginStep::kStagedLoader;
  answer.status = loader.status;
  answer.reason = loader.reason;
  answer.publisher = publisher;
  if (answer.status != 0) return answer;
  if (loader.signer.empty()) {
    answer.status = kNoSignerCertificate;
    return answer;
  }
  answer.signer = loader.signer;
  answer.step = AcceptedPublisher(loader.signer, publisher) ? OriginStep::kPassed : OriginStep::kLoaderPublisher;
  return answer;
}

OriginAnswer JudgeManifestSignature(const SignedMessage& manifest, const Sha256& manifestDigest,
                                    const NativeString& publisher, const std::string& loaderCertificate) {
  OriginAnswer answer;
  answer.step = OriginStep::kManifestSignature;
  answer.publisher = publisher;
  const SignatureAnswer& signature = manifest.signature;
  const std::optional<Sha256> signedDigest = SignedSha256(manifest.signedDigest);
  if (manifest.decoded != 0) {
    answer.status = manifest.decoded;
  } else if (manifest.signers != 1) {
    answer.status = kNoSigner;
  } else if (manifest.digestAlgorithm != kSha256Algorithm) {
    answer.status = kAlgorithmUnknown;
  } else if (!signedDigest) {
    answer.status = kNoSignedDigest;
  } else if (*signedDigest != manifestDigest) {
    // Told apart from a signature that does not verify, which the system's verification alone
    // would not say.
    answer.step = OriginStep::kManifestDigest;
  } else if (signature.status != 0) {
    answer.status = signature.status;
  } else if (signature.signer.empty()) {
    answer.status = kNoSignerCertificate;
  } else if (answer.signer = signature.signer; !AcceptedPublisher(signature.signer, publisher)) {
    answer.step = OriginStep::kManifestPublisher;
  } else if (signature.certificate == loaderCertificate) {
    answer.step = OriginStep::kPassed;
  } else {
    answer.step = OriginStep::kManifestChain;
    answer.status = signature.chain.policy;
    answer.reason = signature.chain.trust;
    if (answer.status == 0 && answer.reason == 0) answer.step = OriginStep::kPassed;
  }
  return answer;
}

OriginAnswer CheckUpdateOrigin(const NativeString& installedLoader, const NativeString& stagedLoader,
                               const std::string& manifest, const std::string& manifestSignature,
                               HeldFile& heldStagedLoader) {
  heldStagedLoader.reset();
  OriginAnswer answer;
  // Read, not verified: a certificate that has expired since, or a root this machine does not
  // trust, leaves the installation signed all the same.
  const SignatureAnswer installed = ReadProgramSigner(installedLoader);
  if (installed.status != 0) {
    answer.step = OriginStep::kInstalledLoader;
    return answer;
  }
  HeldFile loader;
  if (const boost::system::error_code error = HoldForReading(stagedLoader, loader)) {
    answer.step = OriginStep::kStagedLoader;
    answer.reason = static_cast<std::uint32_t>(error.value());
    // Not a signature's answer: the file could not be read now.
    answer.status = kFileError;
    answer.publisher = installed.signer;
    return answer;
  }
  const SignatureAnswer verified = VerifyProgram(loader, stagedLoader);
  answer = JudgeLoaderSignature(verified, installed.signer);
  if (answer.step == OriginStep::kPassed) {
    Sha256 digest{};
    if (!Sha256OfBytes(manifest, digest)) {
      answer.step = OriginStep::kManifestSignature;
      answer.status = kSystemError;
    } else {
      answer = JudgeManifestSignature(VerifySignedMessage(manifestSignature, &manifest, ChainRetrieval::kCacheOnly),
                                      digest, installed.signer, verified.certificate);
    }
  }
  if (answer.step == OriginStep::kPassed) heldStagedLoader = std::move(loader);
  return answer;
}

// Everything else waits: a root this machine does not trust yet (Windows fetches roots lazily), a
// chain that cannot be built offline, an expired certificate or time stamp (the clock may be
// wrong), a refusal by the security settings or policy, revocation that could not be checked, and
// whatever no one foresaw. A genuine update is never thrown away for the state of one machine.
StagingVerdict MeaningOfTrustAnswer(std::uint32_t status, std::uint32_t reason) {
  if (status == 0) return StagingVerdict::kTaken;
  if (status == kNoSignature) {
    // Also the answer when the file could not be read: the reason left behind tells the two apart.
    const bool notSigned = reason == kNoSignature || reason == kSubjectFormUnknown || reason == kProviderUnknown;
    return notSigned ? StagingVerdict::kRefused : StagingVerdict::kNotNow;
  }
  const bool refused = MalformedEncoding(status) ||
                       std::find(std::begin(kRefusals), std::end(kRefusals), status) != std::end(kRefusals);
  return refused ? StagingVerdict::kRefused : StagingVerdict::kNotNow;
}

StagingVerdict VerdictOfOrigin(const OriginAnswer& answer) {
  switch (answer.step) {
    case OriginStep::kPassed:
      return StagingVerdict::kTaken;
    case OriginStep::kLoaderPublisher:
    case OriginStep::kManifestDigest:
    case OriginStep::kManifestPublisher:
      return StagingVerdict::kRefused;
    case OriginStep::kStagedLoader:
    case OriginStep::kManifestSignature:
      return MeaningOfTrustAnswer(answer.status, answer.reason);
    case OriginStep::kManifestChain:
      if (answer.status != 0) return MeaningOfTrustAnswer(answer.status, answer.reason);
      // A policy that passes a chain the engine found fault with: only the certificates' own
      // faults refuse.
      return (answer.reason & kCertificatesAtFault) != 0 ? StagingVerdict::kRefused : StagingVerdict::kNotNow;
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
