#include "platform/signed_feed.hpp"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "platform/digest.hpp"

namespace {
// The answers in Windows' numbers, so that one table of meanings serves both platforms.
constexpr std::uint32_t kMalformed = 0x80093100;      // CRYPT_E_ASN1_ERROR
constexpr std::uint32_t kNotSignedData = 0x80091004;  // CRYPT_E_INVALID_MSG_TYPE
constexpr std::uint32_t kSignerCount = 0x8009200E;    // CRYPT_E_NO_SIGNER
constexpr std::uint32_t kNotSha256 = 0x80090008;      // NTE_BAD_ALGID
constexpr std::uint32_t kNoSignedDigest = 0x8009100F;  // CRYPT_E_ATTRIBUTES_MISSING
constexpr std::uint32_t kBadSignature = 0x80090006;   // NTE_BAD_SIGNATURE
constexpr std::uint32_t kNoSignerCertificate = 0x80096002;  // TRUST_E_NO_SIGNER_CERT
constexpr std::uint32_t kSystemError = 0x80096001;    // TRUST_E_SYSTEM_ERROR

// A chain's fault as Windows would answer it.
std::uint32_t ChainStatus(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return 0x800B0101;  // CERT_E_EXPIRED: the clock may be wrong
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return 0x800B0109;  // CERT_E_UNTRUSTEDROOT
    case X509_V_ERR_CERT_REVOKED:
      return 0x800B010C;  // CERT_E_REVOKED
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return 0x80096004;  // TRUST_E_CERT_SIGNATURE
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_INVALID_NON_CA:
      return 0x80096019;  // TRUST_E_BASIC_CONSTRAINTS
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return 0x800B0104;  // CERT_E_PATHLENCONST
    case X509_V_ERR_INVALID_PURPOSE:
      return 0x800B0110;  // CERT_E_WRONG_USAGE
    default:
      return 0x800B010A;  // CERT_E_CHAINING
  }
}

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, decltype([](T* p) { Free(p); })>;

void FreeCertificates(STACK_OF(X509) * certificates) { sk_X509_pop_free(certificates, X509_free); }

// The subject's common name, UTF-8; empty when it has none.
std::string CommonName(X509* certificate) {
  X509_NAME* const subject = X509_get_subject_name(certificate);
  const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0) return {};
  unsigned char* text = nullptr;
  const int length = ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
  if (length < 0) return {};
  std::string name(reinterpret_cast<char*>(text), static_cast<std::size_t>(length));
  OPENSSL_free(text);
  return name;
}

OriginAnswer Answer(OriginStep step, std::uint32_t status, std::uint32_t reason = 0) {
  OriginAnswer answer;
  answer.step = step;
  answer.status = status;
  answer.reason = reason;
  return answer;
}
}  // namespace

OriginAnswer VerifySignedFeed(const std::string& signedFeed, const FeedAnchor& anchor, std::string& content) {
  content.clear();
  const auto* bytes = reinterpret_cast<const unsigned char*>(signedFeed.data());
  const Owned<CMS_ContentInfo, CMS_ContentInfo_free> message(
      d2i_CMS_ContentInfo(nullptr, &bytes, static_cast<long>(signedFeed.size())));
  ERR_clear_error();
  if (!message || bytes != reinterpret_cast<const unsigned char*>(signedFeed.data()) + signedFeed.size()) {
    return Answer(OriginStep::kManifestSignature, kMalformed);
  }
  ASN1_OCTET_STRING** const inner = CMS_get0_content(message.get());
  if (OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(message.get())) != NID_pkcs7_data || inner == nullptr || *inner == nullptr) {
    return Answer(OriginStep::kManifestSignature, kNotSignedData);
  }
  content.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*inner)),
                 static_cast<std::size_t>(ASN1_STRING_length(*inner)));
  STACK_OF(CMS_SignerInfo)* const signers = CMS_get0_SignerInfos(message.get());
  if (sk_CMS_SignerInfo_num(signers) != 1) return Answer(OriginStep::kManifestSignature, kSignerCount);
  CMS_SignerInfo* const signer = sk_CMS_SignerInfo_value(signers, 0);
  X509_ALGOR* digestAlgorithm = nullptr;
  CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digestAlgorithm, nullptr);
  const ASN1_OBJECT* digestObject = nullptr;
  X509_ALGOR_get0(&digestObject, nullptr, nullptr, digestAlgorithm);
  if (OBJ_obj2nid(digestObject) != NID_sha256) return Answer(OriginStep::kManifestSignature, kNotSha256);
  // The digest first, compared here: a feed changed after signing is told as such.
  const auto* signedDigest = static_cast<const ASN1_OCTET_STRING*>(
      CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
  Sha256 digest{};
  if (signedDigest == nullptr || CMS_signed_get_attr_count(signer) < 0) {
    return Answer(OriginStep::kManifestSignature, kNoSignedDigest);
  }
  if (!Sha256OfBytes(content, digest)) return Answer(OriginStep::kManifestSignature, kSystemError);
  if (ASN1_STRING_length(signedDigest) != static_cast<int>(digest.size()) ||
      std::memcmp(ASN1_STRING_get0_data(signedDigest), digest.data(), digest.size()) != 0) {
    return Answer(OriginStep::kManifestDigest, 0);
  }
  // The signature with the signer's own certificate, its chain apart, so that each fault is named.
  if (CMS_verify(message.get(), nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    return Answer(OriginStep::kManifestSignature,
                  ERR_GET_REASON(error) == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND ? kNoSignerCertificate : kBadSignature,
                  static_cast<std::uint32_t>(ERR_GET_REASON(error)));
  }
  const Owned<STACK_OF(X509), FreeCertificates> signerCertificates(CMS_get0_signers(message.get()));
  X509* const certificate = sk_X509_num(signerCertificates.get()) == 1 ? sk_X509_value(signerCertificates.get(), 0)
                                                                        : nullptr;
  if (certificate == nullptr) return Answer(OriginStep::kManifestSignature, kNoSignerCertificate);
  OriginAnswer answer;
  answer.signer = CommonName(certificate);
  answer.publisher = anchor.publisher;
  if (anchor.publisher.empty()) return answer;
  if (answer.signer != anchor.publisher) {
    answer.step = OriginStep::kManifestPublisher;
    return answer;
  }
  answer.step = OriginStep::kManifestChain;
  // Windows takes a signer only for code signing; a certificate without the extension is for any use.
  if ((X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0 &&
      (X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) == 0) {
    answer.status = ChainStatus(X509_V_ERR_INVALID_PURPOSE);
    answer.reason = X509_V_ERR_INVALID_PURPOSE;
    return answer;
  }
  const Owned<X509_STORE, X509_STORE_free> store(X509_STORE_new());
  const Owned<X509_STORE_CTX, X509_STORE_CTX_free> context(X509_STORE_CTX_new());
  const Owned<STACK_OF(X509), FreeCertificates> carried(CMS_get1_certs(message.get()));
  if (!store || !context || X509_STORE_load_file(store.get(), anchor.roots.c_str()) != 1 ||
      X509_STORE_CTX_init(context.get(), store.get(), certificate, carried.get()) != 1) {
    ERR_clear_error();
    answer.status = kSystemError;
    return answer;
  }
  if (X509_verify_cert(context.get()) != 1) {
    const int error = X509_STORE_CTX_get_error(context.get());
    answer.status = ChainStatus(error);
    answer.reason = static_cast<std::uint32_t>(error);
    ERR_clear_error();
    return answer;
  }
  answer.step = OriginStep::kPassed;
  return answer;
}
