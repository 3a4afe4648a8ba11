#include "platform/signed_feed.hpp"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "platform/digest.hpp"
#include "platform/signature_windows.hpp"

namespace {
OriginAnswer Answer(OriginStep step, HRESULT status, std::uint32_t reason = 0) {
  OriginAnswer answer;
  answer.step = step;
  answer.status = static_cast<std::uint32_t>(status);
  answer.reason = reason;
  return answer;
}

HRESULT LastResult() { return static_cast<HRESULT>(GetLastError()); }

// A parameter of the decoded message as bytes; false when it has none.
bool Parameter(HCRYPTMSG message, DWORD which, std::vector<BYTE>& value) {
  DWORD size = 0;
  if (!CryptMsgGetParam(message, which, 0, nullptr, &size)) return false;
  value.resize(size);
  return CryptMsgGetParam(message, which, 0, value.data(), &size) && (value.resize(size), true);
}
}  // namespace

// The message is decoded by crypt32 itself; the digest is compared here, since not every
// implementation compares it (Wine 8 does not); the chain is built online, as an updater may.
OriginAnswer VerifySignedFeed(const std::string& signedFeed, const FeedAnchor& anchor, std::string& content) {
  content.clear();
  const HCRYPTMSG message = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
  if (message == nullptr) return Answer(OriginStep::kManifestSignature, TRUST_E_SYSTEM_ERROR);
  OriginAnswer answer = Answer(OriginStep::kManifestSignature, 0);
  DWORD type = 0, signers = 0, size = sizeof type;
  std::vector<BYTE> innerType, inner;
  std::vector<std::uint64_t> buffer;
  const CMSG_SIGNER_INFO* signer = nullptr;
  PCCERT_CONTEXT certificate = nullptr;
  Sha256 digest{};
  if (!CryptMsgUpdate(message, reinterpret_cast<const BYTE*>(signedFeed.data()), static_cast<DWORD>(signedFeed.size()),
                      TRUE)) {
    answer.status = static_cast<std::uint32_t>(LastResult());
  } else if (!CryptMsgGetParam(message, CMSG_TYPE_PARAM, 0, &type, &size) || type != CMSG_SIGNED ||
             !Parameter(message, CMSG_INNER_CONTENT_TYPE_PARAM, innerType) ||
             std::strcmp(reinterpret_cast<const char*>(innerType.data()), szOID_RSA_data) != 0 ||
             !Parameter(message, CMSG_CONTENT_PARAM, inner)) {
    answer.status = static_cast<std::uint32_t>(CRYPT_E_INVALID_MSG_TYPE);
  } else if (content.assign(reinterpret_cast<const char*>(inner.data()), inner.size()), size = sizeof signers;
             !CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size) || signers != 1) {
    answer.status = static_cast<std::uint32_t>(CRYPT_E_NO_SIGNER);
  } else if (signer = FirstSigner(message, buffer); signer == nullptr) {
    answer.status = static_cast<std::uint32_t>(LastResult());
  } else if (std::strcmp(signer->HashAlgorithm.pszObjId, szOID_NIST_sha256) != 0) {
    answer.status = static_cast<std::uint32_t>(NTE_BAD_ALGID);
  } else if (SignedDigest(*signer).empty()) {
    answer.status = static_cast<std::uint32_t>(CRYPT_E_ATTRIBUTES_MISSING);
  } else if (!Sha256OfBytes(content, digest)) {
    answer.status = static_cast<std::uint32_t>(TRUST_E_SYSTEM_ERROR);
  } else if (SignedDigest(*signer) != std::string(reinterpret_cast<const char*>(digest.data()), digest.size())) {
    answer.step = OriginStep::kManifestDigest;
  } else if (!CryptMsgGetAndVerifySigner(message, 0, nullptr, 0, &certificate, nullptr)) {
    answer.status = static_cast<std::uint32_t>(LastResult());
  } else if (answer.signer = PublisherName(certificate); answer.signer.empty()) {
    answer.status = static_cast<std::uint32_t>(TRUST_E_NO_SIGNER_CERT);
  } else if (anchor.publisher.empty()) {
    // Integrity only: the signature holds, whoever made it.
    answer.step = OriginStep::kPassed;
  } else if (!Accepted(answer.signer, anchor.publisher)) {
    answer.step = OriginStep::kManifestPublisher;
  } else {
    const std::wstring signerName = answer.signer;
    answer = VerifyChain(certificate, true);
    answer.signer = signerName;
  }
  answer.publisher = anchor.publisher;
  if (certificate != nullptr) CertFreeCertificateContext(certificate);
  CryptMsgClose(message);
  return answer;
}
