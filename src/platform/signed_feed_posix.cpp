#include "platform/signed_feed.hpp"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {
// The answers in Windows' numbers.
constexpr std::uint32_t kMalformed = 0x80093100;            // CRYPT_E_ASN1_ERROR
constexpr std::uint32_t kNotSignedData = 0x80091004;        // CRYPT_E_INVALID_MSG_TYPE
constexpr std::uint32_t kBadSignature = 0x80090006;         // NTE_BAD_SIGNATURE
constexpr std::uint32_t kNoSignerCertificate = 0x8009202B;  // CRYPT_E_NO_TRUSTED_SIGNER
constexpr std::uint32_t kSystemError = 0x80096001;          // TRUST_E_SYSTEM_ERROR
constexpr std::uint32_t kUntrustedRoot = 0x800B0109;        // CERT_E_UNTRUSTEDROOT
constexpr std::uint32_t kIsUntrustedRoot = 0x20;            // CERT_TRUST_IS_UNTRUSTED_ROOT

// A chain's fault as Windows' Authenticode policy would answer it.
std::uint32_t ChainStatus(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return 0x800B0101;  // CERT_E_EXPIRED: the clock may be wrong
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return kUntrustedRoot;
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
// A stack of certificates the message still owns (CMS_get0_signers takes no reference).
void FreeStack(STACK_OF(X509) * certificates) { sk_X509_free(certificates); }

// The subject's common name, UTF-8, as the publisher name; empty when it has none.
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

// The dotted form of `object`; empty when it has none.
std::string DottedIdentifier(const ASN1_OBJECT* object) {
  char text[128];
  const int length = OBJ_obj2txt(text, sizeof text, object, 1);
  return length > 0 && length < static_cast<int>(sizeof text) ? std::string(text, static_cast<std::size_t>(length))
                                                                : std::string();
}

// The one messageDigest attribute's one value, DER-encoded as the system hands it back; empty
// where the signer has no such attribute, or more than one.
std::string SignedDigest(CMS_SignerInfo* signer) {
  const int at = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_messageDigest, -1);
  if (at < 0 || CMS_signed_get_attr_by_NID(signer, NID_pkcs9_messageDigest, at) >= 0) return {};
  X509_ATTRIBUTE* const attribute = CMS_signed_get_attr(signer, at);
  if (X509_ATTRIBUTE_count(attribute) != 1) return {};
  ASN1_TYPE* const value = X509_ATTRIBUTE_get0_type(attribute, 0);
  unsigned char* encoded = nullptr;
  const int length = i2d_ASN1_TYPE(value, &encoded);
  if (length <= 0) return {};
  std::string digest(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(length));
  OPENSSL_free(encoded);
  return digest;
}

// The name of the certificate's key: the SHA-256 of its DER SubjectPublicKeyInfo.
std::optional<Sha256> KeyDigest(X509* certificate) {
  unsigned char* encoded = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &encoded);
  if (length <= 0) return std::nullopt;
  Sha256 digest{};
  const bool hashed = Sha256OfBytes(std::string(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(length)), digest);
  OPENSSL_free(encoded);
  return hashed ? std::optional(digest) : std::nullopt;
}

// The signer's chain under `roots`, for code signing, valid now.
ChainAnswer VerifyChain(X509* certificate, STACK_OF(X509) * carried, const NativeString& roots) {
  ChainAnswer chain;
  if (roots.empty()) {
    chain.policy = kUntrustedRoot;
    chain.trust = kIsUntrustedRoot;
    return chain;
  }
  const Owned<X509_STORE, X509_STORE_free> store(X509_STORE_new());
  const Owned<X509_STORE_CTX, X509_STORE_CTX_free> context(X509_STORE_CTX_new());
  if (!store || !context || X509_STORE_load_file(store.get(), roots.c_str()) != 1 ||
      X509_STORE_CTX_init(context.get(), store.get(), certificate, carried) != 1 ||
      X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY) != 1) {
    chain.policy = kSystemError;
  } else if (X509_verify_cert(context.get()) != 1) {
    chain.policy = ChainStatus(X509_STORE_CTX_get_error(context.get()));
    if (chain.policy == kUntrustedRoot) chain.trust = kIsUntrustedRoot;
  }
  ERR_clear_error();
  return chain;
}
}  // namespace

SignedMessage VerifySignedFeed(const std::string& signedFeed, const NativeString& roots) {
  SignedMessage answer;
  const auto* bytes = reinterpret_cast<const unsigned char*>(signedFeed.data());
  const Owned<CMS_ContentInfo, CMS_ContentInfo_free> message(
      d2i_CMS_ContentInfo(nullptr, &bytes, static_cast<long>(signedFeed.size())));
  ERR_clear_error();
  if (!message || bytes != reinterpret_cast<const unsigned char*>(signedFeed.data()) + signedFeed.size()) {
    answer.decoded = kMalformed;
    return answer;
  }
  ASN1_OCTET_STRING** const inner = CMS_get0_content(message.get());
  if (OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(message.get())) != NID_pkcs7_data || inner == nullptr || *inner == nullptr) {
    answer.decoded = kNotSignedData;
    return answer;
  }
  answer.content.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*inner)),
                        static_cast<std::size_t>(ASN1_STRING_length(*inner)));
  STACK_OF(CMS_SignerInfo)* const signers = CMS_get0_SignerInfos(message.get());
  answer.signers = static_cast<std::uint32_t>(sk_CMS_SignerInfo_num(signers));
  if (answer.signers != 1) return answer;
  CMS_SignerInfo* const signer = sk_CMS_SignerInfo_value(signers, 0);
  X509_ALGOR* digestAlgorithm = nullptr;
  CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digestAlgorithm, nullptr);
  const ASN1_OBJECT* digestObject = nullptr;
  X509_ALGOR_get0(&digestObject, nullptr, nullptr, digestAlgorithm);
  answer.digestAlgorithm = DottedIdentifier(digestObject);
  answer.signedDigest = SignedDigest(signer);

  // The signature with the signer's own certificate, its chain apart, so that each fault is named.
  SignatureAnswer& signature = answer.signature;
  if (CMS_verify(message.get(), nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    signature.status =
        ERR_GET_REASON(error) == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND ? kNoSignerCertificate : kBadSignature;
    return answer;
  }
  const Owned<STACK_OF(X509), FreeStack> signerCertificates(CMS_get0_signers(message.get()));
  X509* const certificate =
      sk_X509_num(signerCertificates.get()) == 1 ? sk_X509_value(signerCertificates.get(), 0) : nullptr;
  if (certificate == nullptr) {
    signature.status = kNoSignerCertificate;
    return answer;
  }
  signature.signer = CommonName(certificate);
  signature.key = KeyDigest(certificate);
  if (!signature.key) {
    signature.status = kSystemError;
    return answer;
  }
  // As Windows reads it: a certificate without the extension is for any use.
  signature.codeSigning = (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) == 0 ||
                          (X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) != 0;
  const Owned<STACK_OF(X509), FreeCertificates> carried(CMS_get1_certs(message.get()));
  signature.chain = VerifyChain(certificate, carried.get(), roots);
  return answer;
}

SignedMessage VerifySignedRecord(const std::string& signedRecord) { return VerifySignedFeed(signedRecord, {}); }
