#include "platform/publisher.hpp"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "accepted_publishers.hpp"
#include "platform/system_library_windows.hpp"

namespace {
// What a file's own signature says of its publisher.
enum class Reading { kNamed, kUnsigned, kMissing, kUnreadable };

// Answers that come out the same however often the file is checked again. Revocation that could
// not be checked, and failures of the system or of reading, are not among them.
constexpr HRESULT kRefusals[] = {
    // The bytes are not what was signed, or the signature is broken.
    TRUST_E_BAD_DIGEST, TRUST_E_CERT_SIGNATURE, TRUST_E_TIME_STAMP, TRUST_E_NO_SIGNER_CERT, TRUST_E_COUNTER_SIGNER,
    // Not a kind of file that carries a signature.
    TRUST_E_SUBJECT_FORM_UNKNOWN,
    // The certificates rule it out: expired without a time stamp, malformed, not for signing code, revoked.
    CERT_E_EXPIRED, CERT_E_VALIDITYPERIODNESTING, CERT_E_ROLE, CERT_E_PATHLENCONST, CERT_E_CRITICAL, CERT_E_PURPOSE,
    CERT_E_ISSUERCHAINING, CERT_E_MALFORMED, CERT_E_WRONG_USAGE, CERT_E_INVALID_POLICY, CERT_E_INVALID_NAME,
    TRUST_E_BASIC_CONSTRAINTS, TRUST_E_FINANCIAL_CRITERIA, CERT_E_REVOKED, CRYPT_E_REVOKED,
    // No chain to a root this machine trusts, and nothing is fetched that could complete one.
    CERT_E_UNTRUSTEDROOT, CERT_E_CHAINING, CERT_E_UNTRUSTEDCA, CERT_E_UNTRUSTEDTESTROOT,
    // Distrusted by this machine's administrator or policy.
    TRUST_E_EXPLICIT_DISTRUST, TRUST_E_SUBJECT_NOT_TRUSTED, CRYPT_E_SECURITY_SETTINGS,
};

template <typename Function>
Function Crypt32(const char* name) {
  return SystemLibraryFunction<Function>(L"crypt32.dll", name);
}

template <typename Function>
Function Wintrust(const char* name) {
  return SystemLibraryFunction<Function>(L"wintrust.dll", name);
}

// The name Windows shows users as a signed program's publisher: the subject's common name, or the
// next name it falls back on. A renewed certificate keeps it whatever its key, serial or issuer,
// where the whole subject would change with any field a CA adds. Empty when it cannot be read.
std::wstring PublisherName(PCCERT_CONTEXT certificate) {
  const auto getName = Crypt32<decltype(&CertGetNameStringW)>("CertGetNameStringW");
  if (getName == nullptr) return {};
  const DWORD length = getName(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  if (length <= 1) return {};
  std::wstring name(length, L'\0');
  if (getName(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length) != length) return {};
  name.resize(length - 1);
  return name;
}

// The signer's certificate is found in the message's own store by issuer and serial number, as the
// signer information names it.
std::wstring MessageSigner(HCRYPTMSG message, HCERTSTORE store) {
  const auto getParam = Crypt32<decltype(&CryptMsgGetParam)>("CryptMsgGetParam");
  const auto find = Crypt32<decltype(&CertFindCertificateInStore)>("CertFindCertificateInStore");
  const auto release = Crypt32<decltype(&CertFreeCertificateContext)>("CertFreeCertificateContext");
  if (getParam == nullptr || find == nullptr || release == nullptr) return {};
  DWORD size = 0;
  if (!getParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) return {};
  // Words, not bytes: the signer information holds pointers into its own buffer.
  std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  if (!getParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) return {};
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  CERT_INFO wanted{};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  const PCCERT_CONTEXT certificate =
      find(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
  if (certificate == nullptr) return {};
  std::wstring name = PublisherName(certificate);
  release(certificate);
  return name;
}

// Read, not verified: a certificate that has expired since, or a root this machine does not
// trust, leaves the installation signed all the same.
Reading ReadPublisher(const std::wstring& file, std::wstring& publisher) {
  const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Reading::kMissing : Reading::kUnreadable;
  }
  CloseHandle(handle);
  const auto query = Crypt32<decltype(&CryptQueryObject)>("CryptQueryObject");
  const auto closeMessage = Crypt32<decltype(&CryptMsgClose)>("CryptMsgClose");
  const auto closeStore = Crypt32<decltype(&CertCloseStore)>("CertCloseStore");
  if (query == nullptr || closeMessage == nullptr || closeStore == nullptr) return Reading::kUnreadable;
  DWORD encoding = 0;
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!query(CERT_QUERY_OBJECT_FILE, file.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
             CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, nullptr, nullptr, &store, &message, nullptr)) {
    // "Nothing of that kind in it" is the one failure that says the file carries no signature.
    return static_cast<HRESULT>(GetLastError()) == CRYPT_E_NO_MATCH ? Reading::kUnsigned : Reading::kUnreadable;
  }
  publisher = MessageSigner(message, store);
  closeMessage(message);
  closeStore(store, 0);
  return publisher.empty() ? Reading::kUnreadable : Reading::kNamed;
}

// Exactly, letter case and all: a name spelt otherwise is not the one users were shown.
bool Accepted(const std::wstring& signer, const std::wstring& publisher) {
  return signer == publisher || std::any_of(kAcceptedPublishers.begin(), kAcceptedPublishers.end(),
                                            [&](const wchar_t* accepted) { return signer == accepted; });
}

UpdateOrigin VerdictOfFailure(LONG status, DWORD lastError) {
  if (status == TRUST_E_NOSIGNATURE) {
    // Also the answer when the file could not be read: the reason left behind tells the two apart.
    const auto reason = static_cast<HRESULT>(lastError);
    const bool notSigned = reason == TRUST_E_NOSIGNATURE || reason == TRUST_E_SUBJECT_FORM_UNKNOWN ||
                           reason == TRUST_E_PROVIDER_UNKNOWN;
    return notSigned ? UpdateOrigin::kRefused : UpdateOrigin::kUnknown;
  }
  return std::find(std::begin(kRefusals), std::end(kRefusals), status) != std::end(kRefusals) ? UpdateOrigin::kRefused
                                                                                              : UpdateOrigin::kUnknown;
}

// Windows' verdict on the file behind `handle`, read through that handle, and whether the signer
// it verified is `publisher` or one this build accepts besides. Nothing is fetched from the
// network: no revocation, no missing certificates.
UpdateOrigin VerifyPublisher(HANDLE handle, const std::wstring& file, const std::wstring& publisher) {
  const auto verify = Wintrust<decltype(&WinVerifyTrust)>("WinVerifyTrust");
  const auto providerData = Wintrust<decltype(&WTHelperProvDataFromStateData)>("WTHelperProvDataFromStateData");
  const auto signerOf = Wintrust<decltype(&WTHelperGetProvSignerFromChain)>("WTHelperGetProvSignerFromChain");
  if (verify == nullptr || providerData == nullptr || signerOf == nullptr) return UpdateOrigin::kUnknown;
  WINTRUST_FILE_INFO subject{};
  subject.cbStruct = sizeof subject;
  subject.pcwszFilePath = file.c_str();
  subject.hFile = handle;
  WINTRUST_DATA trust{};
  trust.cbStruct = sizeof trust;
  trust.dwUIChoice = WTD_UI_NONE;
  trust.fdwRevocationChecks = WTD_REVOKE_NONE;
  trust.dwUnionChoice = WTD_CHOICE_FILE;
  trust.pFile = &subject;
  trust.dwStateAction = WTD_STATEACTION_VERIFY;
  trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  // No interactive user: nothing may wait on one.
  const auto noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
  const LONG status = verify(noUser, &action, &trust);
  UpdateOrigin origin = VerdictOfFailure(status, GetLastError());
  if (status == ERROR_SUCCESS) {
    CRYPT_PROVIDER_DATA* const data = providerData(trust.hWVTStateData);
    const CRYPT_PROVIDER_SGNR* const signer = data != nullptr ? signerOf(data, 0, FALSE, 0) : nullptr;
    const std::wstring name = signer != nullptr && signer->csCertChain > 0 && signer->pasCertChain[0].pCert != nullptr
                                  ? PublisherName(signer->pasCertChain[0].pCert)
                                  : std::wstring();
    origin = name.empty() ? UpdateOrigin::kUnknown
                          : Accepted(name, publisher) ? UpdateOrigin::kPublisher : UpdateOrigin::kRefused;
  }
  trust.dwStateAction = WTD_STATEACTION_CLOSE;
  verify(noUser, &action, &trust);
  return origin;
}

// Readers only may share it: nobody writes, renames or deletes it while the handle is open.
HANDLE OpenStaged(const std::wstring& file) {
  return CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}
}  // namespace

UpdateOrigin CheckUpdateOrigin(const NativeString& installedLoader, const NativeString& installedApplication,
                               const NativeString& stagedLoader, const NativeString& stagedApplication,
                               HeldFile& heldStagedLoader) {
  heldStagedLoader.reset();
  std::wstring loaderPublisher;
  const Reading installed = ReadPublisher(installedLoader, loaderPublisher);
  // A development build keeps taking any update, whatever its application carries.
  if (installed == Reading::kUnsigned) return UpdateOrigin::kPublisher;
  if (installed != Reading::kNamed) return UpdateOrigin::kUnknown;

  const HANDLE loader = OpenStaged(stagedLoader);
  if (loader == INVALID_HANDLE_VALUE) return UpdateOrigin::kUnknown;
  HeldFile held(loader, CloseHandle);
  const UpdateOrigin origin = VerifyPublisher(loader, stagedLoader, loaderPublisher);
  if (origin != UpdateOrigin::kPublisher) return origin;

  std::wstring applicationPublisher;
  const Reading application = ReadPublisher(installedApplication, applicationPublisher);
  if (application == Reading::kUnreadable) return UpdateOrigin::kUnknown;
  // An application that is not there, or unsigned, asks nothing of the one that replaces it: only
  // whoever may change the installation itself could have removed it.
  if (application == Reading::kNamed) {
    const HANDLE staged = OpenStaged(stagedApplication);
    if (staged == INVALID_HANDLE_VALUE) return UpdateOrigin::kUnknown;
    const UpdateOrigin applicationOrigin = VerifyPublisher(staged, stagedApplication, applicationPublisher);
    CloseHandle(staged);
    if (applicationOrigin != UpdateOrigin::kPublisher) return applicationOrigin;
  }
  heldStagedLoader = std::move(held);
  return UpdateOrigin::kPublisher;
}
