#include "platform/publisher.hpp"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <vector>

#include "platform/system_library_windows.hpp"

namespace {
// The functions this service calls, each named once: looked up at the first signature asked
// about, so that a start with nothing to check loads no crypto library.
#define VELMORA_CRYPT32_FUNCTIONS(F)                                                                           \
  F(CertCloseStore) F(CertFindCertificateInStore) F(CertFreeCertificateChain) F(CertFreeCertificateContext)   \
  F(CertGetCertificateChain) F(CertGetEnhancedKeyUsage) F(CertGetNameStringW) F(CertVerifyCertificateChainPolicy) \
  F(CryptEncodeObjectEx) F(CryptMsgClose) F(CryptMsgGetAndVerifySigner) F(CryptMsgGetParam) F(CryptMsgOpenToDecode) \
  F(CryptMsgUpdate) F(CryptQueryObject)
#define VELMORA_WINTRUST_FUNCTIONS(F) F(WinVerifyTrust) F(WTHelperGetProvSignerFromChain) F(WTHelperProvDataFromStateData)
#define VELMORA_DECLARE(name) decltype(&::name) name = nullptr;

struct Crypt32Functions {
  VELMORA_CRYPT32_FUNCTIONS(VELMORA_DECLARE)
  DWORD failure = 0;
};

struct WintrustFunctions {
  VELMORA_WINTRUST_FUNCTIONS(VELMORA_DECLARE)
  DWORD failure = 0;
};
#undef VELMORA_DECLARE

const Crypt32Functions& Crypt32() {
  static const Crypt32Functions functions = [] {
    Crypt32Functions found;
#define VELMORA_LOOK_UP(name) LookUpSystemFunction(L"crypt32.dll", #name, found.name, found.failure);
    VELMORA_CRYPT32_FUNCTIONS(VELMORA_LOOK_UP)
#undef VELMORA_LOOK_UP
    return found;
  }();
  return functions;
}

const WintrustFunctions& Wintrust() {
  static const WintrustFunctions functions = [] {
    WintrustFunctions found;
#define VELMORA_LOOK_UP(name) LookUpSystemFunction(L"wintrust.dll", #name, found.name, found.failure);
    VELMORA_WINTRUST_FUNCTIONS(VELMORA_LOOK_UP)
#undef VELMORA_LOOK_UP
    return found;
  }();
  return functions;
}

// The crypto functions report their failures as HRESULTs through the thread's last error.
std::uint32_t LastStatus() { return static_cast<std::uint32_t>(GetLastError()); }
std::uint32_t StatusOfSystemError(DWORD error) { return static_cast<std::uint32_t>(HRESULT_FROM_WIN32(error)); }

// The name Windows shows users as a signed program's publisher: the subject's common name, or the
// next name it falls back on. A renewed certificate keeps it whatever its key, serial or issuer,
// where the whole subject would change with any field a CA adds. Empty when it cannot be read.
NativeString PublisherName(const Crypt32Functions& crypt, PCCERT_CONTEXT certificate) {
  const DWORD length = crypt.CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  if (length <= 1) return {};
  NativeString name(length, L'\0');
  if (crypt.CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length) != length) {
    return {};
  }
  name.resize(length - 1);
  return name;
}

// Whether the certificate itself allows signing code, by its extended key usage extension alone
// (not by properties a store may add): a certificate without one is for any use. Its failure to
// be read, or 0.
std::uint32_t ReadCodeSigning(const Crypt32Functions& crypt, PCCERT_CONTEXT certificate, bool& codeSigning) {
  codeSigning = false;
  DWORD size = 0;
  if (!crypt.CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size)) {
    codeSigning = GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    return codeSigning ? 0 : LastStatus();
  }
  std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t) + 1);
  auto* const usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
  SetLastError(0);
  if (!crypt.CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
    return LastStatus();
  }
  // No usage listed means every use where the extension is missing, none where it is empty.
  if (usage->cUsageIdentifier == 0) codeSigning = GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) codeSigning = true;
  }
  return 0;
}

// The Authenticode policy over `chain`.
ChainAnswer AuthenticodePolicy(const Crypt32Functions& crypt, PCCERT_CHAIN_CONTEXT chain) {
  ChainAnswer answer;
  answer.trust = chain->TrustStatus.dwErrorStatus;
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  answer.policy = crypt.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy, &status)
                      ? status.dwError
                      : LastStatus();
  return answer;
}

// The name of the certificate's key: the SHA-256 of its SubjectPublicKeyInfo as the system encodes
// it again from what it decoded, which for DER is the certificate's own bytes of it. Its failure,
// or 0.
std::uint32_t ReadKeyDigest(const Crypt32Functions& crypt, PCCERT_CONTEXT certificate, std::optional<Sha256>& key) {
  key.reset();
  CERT_PUBLIC_KEY_INFO* const info = &certificate->pCertInfo->SubjectPublicKeyInfo;
  DWORD size = 0;
  if (!crypt.CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, info, 0, nullptr, nullptr, &size)) {
    return LastStatus();
  }
  std::string encoded(size, '\0');
  if (!crypt.CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, info, 0, nullptr, encoded.data(), &size)) {
    return LastStatus();
  }
  encoded.resize(size);
  Sha256 digest{};
  if (!Sha256OfBytes(encoded, digest)) return static_cast<std::uint32_t>(TRUST_E_SYSTEM_ERROR);
  key = digest;
  return 0;
}

// The chain of `certificate` for signing code, built at `time` (null: now) from the machine's
// stores, never a user's (a root a user added to their own store does not count), the
// certificates the signature carries and, online, whatever its issuers publish; revocation asked
// for every certificate but the root.
ChainAnswer CodeSigningChain(const Crypt32Functions& crypt, PCCERT_CONTEXT certificate, ChainRetrieval retrieval,
                             FILETIME* time = nullptr) {
  LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
  const DWORD flags = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                      (retrieval == ChainRetrieval::kCacheOnly
                           ? CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL |
                                 CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE
                           : 0);
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!crypt.CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate, time, certificate->hCertStore, &parameters,
                                     flags, nullptr, &chain)) {
    ChainAnswer failed;
    failed.policy = LastStatus();
    return failed;
  }
  const ChainAnswer answer = AuthenticodePolicy(crypt, chain);
  crypt.CertFreeCertificateChain(chain);
  return answer;
}

// The first signer's information of `message`, in `buffer`: words, not bytes, for it holds
// pointers into itself. Null when it cannot be read.
const CMSG_SIGNER_INFO* FirstSigner(const Crypt32Functions& crypt, HCRYPTMSG message,
                                    std::vector<std::uint64_t>& buffer) {
  DWORD size = 0;
  if (!crypt.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) return nullptr;
  buffer.assign((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  if (!crypt.CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) return nullptr;
  return reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
}

// The one value of the signer's one PKCS #9 messageDigest attribute, as encoded; empty otherwise.
std::string SignedDigestAttribute(const CMSG_SIGNER_INFO& signer) {
  std::string digest;
  int found = 0;
  for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[i];
    if (std::strcmp(attribute.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0) continue;
    ++found;
    if (attribute.cValue != 1) return {};
    digest.assign(reinterpret_cast<const char*>(attribute.rgValue[0].pbData), attribute.rgValue[0].cbData);
  }
  return found == 1 ? digest : std::string();
}

// The content of an attached message.
std::string MessageContent(const Crypt32Functions& crypt, HCRYPTMSG message) {
  DWORD size = 0;
  if (!crypt.CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, nullptr, &size)) return {};
  std::string content(size, '\0');
  if (!crypt.CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, content.data(), &size)) return {};
  content.resize(size);
  return content;
}

// What the signature says of the signer `certificate` it verified: its name, its use, its chain.
void DescribeSigner(const Crypt32Functions& crypt, PCCERT_CONTEXT certificate, SignatureAnswer& answer) {
  answer.signer = PublisherName(crypt, certificate);
  if (answer.signer.empty()) answer.status = static_cast<std::uint32_t>(TRUST_E_NO_SIGNER_CERT);
  if (const std::uint32_t failure = ReadCodeSigning(crypt, certificate, answer.codeSigning)) answer.status = failure;
}
}  // namespace

bool ProgramsCarrySignatures() { return true; }

SignatureAnswer ReadProgramSigner(const NativeString& program) {
  SignatureAnswer answer;
  const Crypt32Functions& crypt = Crypt32();
  if (crypt.failure != 0) {
    answer.status = StatusOfSystemError(crypt.failure);
    return answer;
  }
  DWORD encoding = 0;
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!crypt.CryptQueryObject(CERT_QUERY_OBJECT_FILE, program.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, nullptr, nullptr, &store, &message,
                              nullptr)) {
    answer.status = LastStatus();
    return answer;
  }
  std::vector<std::uint64_t> buffer;
  // The signer's certificate is found in the signature's own store by issuer and serial number, as
  // the signer information names it.
  if (const CMSG_SIGNER_INFO* const signer = FirstSigner(crypt, message, buffer); signer != nullptr) {
    CERT_INFO wanted{};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    const PCCERT_CONTEXT certificate = crypt.CertFindCertificateInStore(
        store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    if (certificate != nullptr) {
      answer.signer = PublisherName(crypt, certificate);
      crypt.CertFreeCertificateContext(certificate);
    }
  }
  if (answer.signer.empty()) answer.status = static_cast<std::uint32_t>(TRUST_E_NO_SIGNER_CERT);
  crypt.CryptMsgClose(message);
  crypt.CertCloseStore(store, 0);
  return answer;
}

boost::system::error_code HoldForReading(const NativeString& file, HeldFile& held) {
  held.reset();
  const HANDLE handle =
      CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {static_cast<int>(GetLastError()), boost::system::system_category()};
  held = HeldFile(handle, CloseHandle);
  return {};
}

SignatureAnswer VerifyProgram(const HeldFile& program, const NativeString& path) {
  SignatureAnswer answer;
  const Crypt32Functions& crypt = Crypt32();
  const WintrustFunctions& wintrust = Wintrust();
  if (crypt.failure != 0 || wintrust.failure != 0) {
    answer.status = StatusOfSystemError(crypt.failure != 0 ? crypt.failure : wintrust.failure);
    return answer;
  }
  WINTRUST_FILE_INFO subject{};
  subject.cbStruct = sizeof subject;
  subject.pcwszFilePath = path.c_str();
  subject.hFile = program.get();
  WINTRUST_DATA trust{};
  trust.cbStruct = sizeof trust;
  trust.dwUIChoice = WTD_UI_NONE;
  trust.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  trust.dwUnionChoice = WTD_CHOICE_FILE;
  trust.pFile = &subject;
  trust.dwStateAction = WTD_STATEACTION_VERIFY;
  trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  // No interactive user: nothing may wait on one.
  const auto noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
  answer.status = static_cast<std::uint32_t>(wintrust.WinVerifyTrust(noUser, &action, &trust));
  // The one answer the system documents a reason for; after any other, the last error is stale.
  if (answer.status == static_cast<std::uint32_t>(TRUST_E_NOSIGNATURE)) answer.reason = GetLastError();
  if (answer.status == 0) {
    CRYPT_PROVIDER_DATA* const data = wintrust.WTHelperProvDataFromStateData(trust.hWVTStateData);
    const CRYPT_PROVIDER_SGNR* const signer =
        data != nullptr ? wintrust.WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    const PCCERT_CONTEXT leaf = signer != nullptr && signer->csCertChain > 0 ? signer->pasCertChain[0].pCert : nullptr;
    if (leaf == nullptr) {
      answer.status = static_cast<std::uint32_t>(TRUST_E_NO_SIGNER_CERT);
    } else {
      DescribeSigner(crypt, leaf, answer);
      // The verification built its chain with the user's roots, and no flag asks it for the
      // machine's: built again with the machine's, at the time it verified (the time stamp's, where
      // the signature carries one the system takes).
      FILETIME verifiedAt = signer->sftVerifyAsOf;
      answer.chain = CodeSigningChain(crypt, leaf, ChainRetrieval::kCacheOnly, &verifiedAt);
    }
  }
  trust.dwStateAction = WTD_STATEACTION_CLOSE;
  wintrust.WinVerifyTrust(noUser, &action, &trust);
  return answer;
}

SignedMessage VerifySignedMessage(const std::string& message, const std::string* detachedContent,
                                  ChainRetrieval retrieval) {
  SignedMessage answer;
  const Crypt32Functions& crypt = Crypt32();
  if (crypt.failure != 0) {
    answer.decoded = StatusOfSystemError(crypt.failure);
    return answer;
  }
  const HCRYPTMSG decoder = crypt.CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       detachedContent != nullptr ? CMSG_DETACHED_FLAG : 0, 0, 0,
                                                       nullptr, nullptr);
  if (decoder == nullptr) {
    answer.decoded = LastStatus();
    return answer;
  }
  DWORD size = sizeof answer.signers;
  std::vector<std::uint64_t> buffer;
  const CMSG_SIGNER_INFO* signer = nullptr;
  // A failure to hash the content fails the verification, not the reading of what the message says
  // of itself: Wine fails so on a message of two signers (87), the content attached or not.
  std::uint32_t unhashed = 0;
  if (!crypt.CryptMsgUpdate(decoder, reinterpret_cast<const BYTE*>(message.data()), static_cast<DWORD>(message.size()),
                            TRUE)) {
    unhashed = LastStatus();
  } else if (detachedContent != nullptr &&
             !crypt.CryptMsgUpdate(decoder, reinterpret_cast<const BYTE*>(detachedContent->data()),
                                   static_cast<DWORD>(detachedContent->size()), TRUE)) {
    unhashed = LastStatus();
  }
  // What could not be read at all is no message.
  if (!crypt.CryptMsgGetParam(decoder, CMSG_SIGNER_COUNT_PARAM, 0, &answer.signers, &size) ||
      (answer.signers > 0 && (signer = FirstSigner(crypt, decoder, buffer)) == nullptr)) {
    answer.decoded = unhashed != 0 ? unhashed : LastStatus();
  }
  if (answer.decoded == 0) {
    if (signer != nullptr) {
      answer.digestAlgorithm = signer->HashAlgorithm.pszObjId != nullptr ? signer->HashAlgorithm.pszObjId : "";
      answer.signedDigest = SignedDigestAttribute(*signer);
    }
    if (detachedContent == nullptr) answer.content = MessageContent(crypt, decoder);
    PCCERT_CONTEXT certificate = nullptr;
    if (answer.signers != 1) {
      // Which of several signatures would count is not asked.
    } else if (unhashed != 0) {
      answer.signature.status = unhashed;
    } else if (!crypt.CryptMsgGetAndVerifySigner(decoder, 0, nullptr, 0, &certificate, nullptr)) {
      answer.signature.status = LastStatus();
    } else {
      DescribeSigner(crypt, certificate, answer.signature);
      if (const std::uint32_t failure = ReadKeyDigest(crypt, certificate, answer.signature.key)) {
        answer.signature.status = failure;
      }
      answer.signature.chain = CodeSigningChain(crypt, certificate, retrieval);
      crypt.CertFreeCertificateContext(certificate);
    }
  }
  crypt.CryptMsgClose(decoder);
  return answer;
}
