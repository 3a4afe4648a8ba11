#include "platform/publisher.hpp"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <winver.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "accepted_publishers.hpp"
#include "platform/digest.hpp"
#include "platform/signature_windows.hpp"
#include "platform/system_library_windows.hpp"

namespace {
// What a file's own signature says of its publisher.
enum class Reading { kNamed, kUnsigned, kMissing, kUnreadable };

template <typename Function>
Function Crypt32(const char* name) {
  return SystemLibraryFunction<Function>(L"crypt32.dll", name);
}

template <typename Function>
Function Wintrust(const char* name) {
  return SystemLibraryFunction<Function>(L"wintrust.dll", name);
}

}  // namespace

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

// The first signer's information of `message`, in `buffer`: words, not bytes, for it holds
// pointers into itself. Null when it cannot be read.
const CMSG_SIGNER_INFO* FirstSigner(HCRYPTMSG message, std::vector<std::uint64_t>& buffer) {
  const auto getParam = Crypt32<decltype(&CryptMsgGetParam)>("CryptMsgGetParam");
  DWORD size = 0;
  if (getParam == nullptr || !getParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) return nullptr;
  buffer.assign((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  if (!getParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) return nullptr;
  return reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
}

namespace {

// The signer's certificate is found in the message's own store by issuer and serial number, as the
// signer information names it.
std::wstring MessageSigner(HCRYPTMSG message, HCERTSTORE store) {
  const auto find = Crypt32<decltype(&CertFindCertificateInStore)>("CertFindCertificateInStore");
  const auto release = Crypt32<decltype(&CertFreeCertificateContext)>("CertFreeCertificateContext");
  std::vector<std::uint64_t> buffer;
  const CMSG_SIGNER_INFO* const signer = FirstSigner(message, buffer);
  if (find == nullptr || release == nullptr || signer == nullptr) return {};
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

}  // namespace

// Exactly, letter case and all: a name spelt otherwise is not the one users were shown.
bool Accepted(const std::wstring& signer, const std::wstring& publisher) {
  return signer == publisher || std::any_of(kAcceptedPublishers.begin(), kAcceptedPublishers.end(),
                                            [&](const wchar_t* accepted) { return signer == accepted; });
}

namespace {
// The certificate a signature was verified with, as its encoded bytes, to tell whether two
// signatures were made with the very same certificate.
using Certificate = std::vector<BYTE>;

Certificate EncodedCertificate(PCCERT_CONTEXT certificate) {
  return Certificate(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
}

HRESULT LastResult() { return static_cast<HRESULT>(GetLastError()); }

// Windows' verdict on the file behind `handle`, read through that handle, and the signer it
// verified. Nothing is fetched from the network: no revocation, no missing certificates, no roots.
OriginAnswer VerifyLoader(HANDLE handle, const std::wstring& file, const std::wstring& publisher,
                          Certificate& signerCertificate) {
  OriginAnswer answer;
  answer.step = OriginStep::kStagedLoader;
  const auto verify = Wintrust<decltype(&WinVerifyTrust)>("WinVerifyTrust");
  const auto providerData = Wintrust<decltype(&WTHelperProvDataFromStateData)>("WTHelperProvDataFromStateData");
  const auto signerOf = Wintrust<decltype(&WTHelperGetProvSignerFromChain)>("WTHelperGetProvSignerFromChain");
  if (verify == nullptr || providerData == nullptr || signerOf == nullptr) {
    answer.status = static_cast<std::uint32_t>(TRUST_E_SYSTEM_ERROR);
    return answer;
  }
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
  answer.status = static_cast<std::uint32_t>(status);
  answer.reason = GetLastError();
  if (status == ERROR_SUCCESS) {
    CRYPT_PROVIDER_DATA* const data = providerData(trust.hWVTStateData);
    const CRYPT_PROVIDER_SGNR* const signer = data != nullptr ? signerOf(data, 0, FALSE, 0) : nullptr;
    const PCCERT_CONTEXT leaf =
        signer != nullptr && signer->csCertChain > 0 ? signer->pasCertChain[0].pCert : nullptr;
    answer.signer = leaf != nullptr ? PublisherName(leaf) : std::wstring();
    if (answer.signer.empty()) {
      answer.status = static_cast<std::uint32_t>(TRUST_E_NO_SIGNER_CERT);
    } else if (!Accepted(answer.signer, publisher)) {
      answer.step = OriginStep::kLoaderPublisher;
    } else {
      signerCertificate = EncodedCertificate(leaf);
      answer.step = OriginStep::kPassed;
    }
  }
  trust.dwStateAction = WTD_STATEACTION_CLOSE;
  verify(noUser, &action, &trust);
  return answer;
}

}  // namespace

// The SHA-256 message digest among a signer's signed attributes: the DER octet string of the
// PKCS #9 messageDigest attribute, exactly one value. Empty when there is none.
std::string SignedDigest(const CMSG_SIGNER_INFO& signer) {
  for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[i];
    if (std::strcmp(attribute.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0 || attribute.cValue != 1) continue;
    const CRYPT_ATTR_BLOB& value = attribute.rgValue[0];
    const Sha256 size{};
    if (value.cbData != 2 + size.size() || value.pbData[0] != 0x04 || value.pbData[1] != size.size()) return {};
    return std::string(reinterpret_cast<const char*>(value.pbData) + 2, size.size());
  }
  return {};
}

// The chain of `certificate`, built from this machine's stores and the certificates the signature
// carries, under the Authenticode policy: offline, or `online` with roots and issuers fetched.
OriginAnswer VerifyChain(PCCERT_CONTEXT certificate, bool online) {
  OriginAnswer answer;
  answer.step = OriginStep::kManifestChain;
  const auto getChain = Crypt32<decltype(&CertGetCertificateChain)>("CertGetCertificateChain");
  const auto verifyPolicy = Crypt32<decltype(&CertVerifyCertificateChainPolicy)>("CertVerifyCertificateChainPolicy");
  const auto freeChain = Crypt32<decltype(&CertFreeCertificateChain)>("CertFreeCertificateChain");
  if (getChain == nullptr || verifyPolicy == nullptr || freeChain == nullptr) {
    answer.status = static_cast<std::uint32_t>(TRUST_E_SYSTEM_ERROR);
    return answer;
  }
  LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  const DWORD flags = online ? 0 : CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
  if (!getChain(nullptr, certificate, nullptr, certificate->hCertStore, &parameters, flags, nullptr, &chain)) {
    answer.status = static_cast<std::uint32_t>(LastResult());
    return answer;
  }
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!verifyPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy, &status)) {
    answer.status = static_cast<std::uint32_t>(LastResult());
  } else {
    answer.status = status.dwError;
    answer.reason = chain->TrustStatus.dwErrorStatus;
    if (answer.status == 0 && answer.reason == 0) answer.step = OriginStep::kPassed;
  }
  freeChain(chain);
  return answer;
}

namespace {

// The detached PKCS #7 `signature` over `manifest`: it must verify, carry the manifest's SHA-256
// as its signed message digest (compared here: not every implementation compares it), and be
// made under an accepted name by the staged loader's own certificate or one whose chain verifies.
OriginAnswer VerifyManifest(const std::string& manifest, const std::string& signature, const std::wstring& publisher,
                            const Certificate& loaderCertificate) {
  OriginAnswer answer;
  answer.step = OriginStep::kManifestSignature;
  const auto open = Crypt32<decltype(&CryptMsgOpenToDecode)>("CryptMsgOpenToDecode");
  const auto update = Crypt32<decltype(&CryptMsgUpdate)>("CryptMsgUpdate");
  const auto getParam = Crypt32<decltype(&CryptMsgGetParam)>("CryptMsgGetParam");
  const auto getSigner = Crypt32<decltype(&CryptMsgGetAndVerifySigner)>("CryptMsgGetAndVerifySigner");
  const auto closeMessage = Crypt32<decltype(&CryptMsgClose)>("CryptMsgClose");
  const auto release = Crypt32<decltype(&CertFreeCertificateContext)>("CertFreeCertificateContext");
  if (open == nullptr || update == nullptr || getParam == nullptr || getSigner == nullptr ||
      closeMessage == nullptr || release == nullptr) {
    answer.status = static_cast<std::uint32_t>(TRUST_E_SYSTEM_ERROR);
    return answer;
  }
  const HCRYPTMSG message =
      open(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
  if (message == nullptr) {
    answer.status = static_cast<std::uint32_t>(TRUST_E_SYSTEM_ERROR);
    return answer;
  }
  DWORD signers = 0;
  DWORD size = sizeof signers;
  PCCERT_CONTEXT certificate = nullptr;
  std::vector<std::uint64_t> buffer;
  const CMSG_SIGNER_INFO* signer = nullptr;
  Sha256 digest{};
  // The digest first: a manifest changed after signing is told apart from a signature that does
  // not verify, which the system's verification alone would not say.
  if (!update(message, reinterpret_cast<const BYTE*>(signature.data()), static_cast<DWORD>(signature.size()), TRUE) ||
      !update(message, reinterpret_cast<const BYTE*>(manifest.data()), static_cast<DWORD>(manifest.size()), TRUE)) {
    answer.status = static_cast<std::uint32_t>(LastResult());
  } else if (!getParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size) || signers != 1) {
    answer.status = static_cast<std::uint32_t>(CRYPT_E_NO_SIGNER);
  } else if (signer = FirstSigner(message, buffer); signer == nullptr) {
    answer.status = static_cast<std::uint32_t>(LastResult());
  } else if (std::strcmp(signer->HashAlgorithm.pszObjId, szOID_NIST_sha256) != 0) {
    answer.status = static_cast<std::uint32_t>(NTE_BAD_ALGID);
  } else if (SignedDigest(*signer).empty()) {
    answer.status = static_cast<std::uint32_t>(CRYPT_E_ATTRIBUTES_MISSING);
  } else if (!Sha256OfBytes(manifest, digest)) {
    answer.status = static_cast<std::uint32_t>(TRUST_E_SYSTEM_ERROR);
  } else if (SignedDigest(*signer) != std::string(reinterpret_cast<const char*>(digest.data()), digest.size())) {
    answer.step = OriginStep::kManifestDigest;
  } else if (!getSigner(message, 0, nullptr, 0, &certificate, nullptr)) {
    answer.status = static_cast<std::uint32_t>(LastResult());
  } else if (answer.signer = PublisherName(certificate); answer.signer.empty()) {
    answer.status = static_cast<std::uint32_t>(TRUST_E_NO_SIGNER_CERT);
  } else if (!Accepted(answer.signer, publisher)) {
    answer.step = OriginStep::kManifestPublisher;
  } else if (EncodedCertificate(certificate) == loaderCertificate) {
    answer.step = OriginStep::kPassed;
  } else {
    const std::wstring signerName = answer.signer;
    answer = VerifyChain(certificate, false);
    answer.signer = signerName;
  }
  if (certificate != nullptr) release(certificate);
  closeMessage(message);
  return answer;
}

// Readers only may share it: nobody writes, renames or deletes it while the handle is open.
HANDLE OpenStaged(const std::wstring& file) {
  return CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

bool ReadAt(HANDLE file, LONGLONG offset, void* buffer, DWORD size) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  DWORD count = 0;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && ReadFile(file, buffer, size, &count, nullptr) &&
         count == size;
}
}  // namespace

// The certificate table's entry among the PE header's data directories: a signed program's
// signature is there, whatever it says. Only a well-formed header without one says "unsigned": a
// header that cannot be read leaves the question open.
std::optional<bool> CarriesSignature(const NativeString& loader) {
  const HANDLE file = CreateFileW(loader.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  IMAGE_DOS_HEADER dos{};
  // The signature, the file header and the longest optional header (the 64-bit one) in bytes.
  unsigned char nt[sizeof(IMAGE_NT_HEADERS64)] = {};
  const bool read = ReadAt(file, 0, &dos, sizeof dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
                    ReadAt(file, dos.e_lfanew, nt, sizeof nt);
  CloseHandle(file);
  DWORD signature = 0;
  WORD magic = 0;
  std::memcpy(&signature, nt, sizeof signature);
  const std::size_t optional = offsetof(IMAGE_NT_HEADERS64, OptionalHeader);
  std::memcpy(&magic, nt + optional, sizeof magic);
  if (!read || signature != IMAGE_NT_SIGNATURE ||
      (magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC && magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)) {
    return std::nullopt;
  }
  // A 32-bit optional header is shorter by four bytes before its data directories.
  const bool wide = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
  const std::size_t count = wide ? optional + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes)
                                 : optional + offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
  const std::size_t table = (wide ? optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                                  : optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)) +
                            IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
  DWORD directories = 0;
  IMAGE_DATA_DIRECTORY certificates{};
  std::memcpy(&directories, nt + count, sizeof directories);
  std::memcpy(&certificates, nt + table, sizeof certificates);
  return directories > IMAGE_DIRECTORY_ENTRY_SECURITY && certificates.Size != 0;
}

NativeString SignaturePublisher(const NativeString& program) {
  std::wstring publisher;
  return ReadPublisher(program, publisher) == Reading::kNamed ? publisher : std::wstring();
}

OriginAnswer CheckUpdateOrigin(const NativeString& installedLoader, const NativeString& stagedLoader,
                               const std::string& manifest, const std::string& manifestSignature,
                               HeldFile& heldStagedLoader) {
  heldStagedLoader.reset();
  OriginAnswer answer;
  // Read, not verified: a certificate that has expired since, or a root this machine does not
  // trust, leaves the installation signed all the same.
  if (ReadPublisher(installedLoader, answer.publisher) != Reading::kNamed) {
    answer.step = OriginStep::kInstalledLoader;
    return answer;
  }
  const HANDLE loader = OpenStaged(stagedLoader);
  if (loader == INVALID_HANDLE_VALUE) {
    answer.step = OriginStep::kStagedLoader;
    answer.reason = GetLastError();
    // Not a signature's answer: the file could not be read now.
    answer.status = static_cast<std::uint32_t>(CRYPT_E_FILE_ERROR);
    return answer;
  }
  HeldFile held(loader, CloseHandle);
  Certificate loaderCertificate;
  OriginAnswer checked = VerifyLoader(loader, stagedLoader, answer.publisher, loaderCertificate);
  if (checked.step == OriginStep::kPassed) {
    checked = VerifyManifest(manifest, manifestSignature, answer.publisher, loaderCertificate);
  }
  checked.publisher = answer.publisher;
  if (checked.step == OriginStep::kPassed) heldStagedLoader = std::move(held);
  return checked;
}

boost::system::error_code ProgramVersion(const NativeString& program, std::optional<std::uint64_t>& version) {
  version.reset();
  const auto size = SystemLibraryFunction<decltype(&GetFileVersionInfoSizeExW)>(L"version.dll", "GetFileVersionInfoSizeExW");
  const auto read = SystemLibraryFunction<decltype(&GetFileVersionInfoExW)>(L"version.dll", "GetFileVersionInfoExW");
  const auto query = SystemLibraryFunction<decltype(&VerQueryValueW)>(L"version.dll", "VerQueryValueW");
  if (size == nullptr || read == nullptr || query == nullptr) {
    return {ERROR_DLL_INIT_FAILED, boost::system::system_category()};
  }
  DWORD ignored = 0;
  // The fixed part alone, from the program itself: no language resources are looked for.
  const DWORD length = size(FILE_VER_GET_NEUTRAL, program.c_str(), &ignored);
  if (length == 0) {
    const DWORD error = GetLastError();
    // A program without a version record is not compared; nor is one that is not there (an
    // installation whose application was removed), which stands in the way of nothing.
    const bool noRecord = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                          error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
                          error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_RESOURCE_LANG_NOT_FOUND ||
                          error == ERROR_BAD_EXE_FORMAT;
    return noRecord ? boost::system::error_code() : boost::system::error_code(static_cast<int>(error),
                                                                              boost::system::system_category());
  }
  std::vector<std::uint64_t> buffer((length + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  if (!read(FILE_VER_GET_NEUTRAL, program.c_str(), 0, length, buffer.data())) {
    return {static_cast<int>(GetLastError()), boost::system::system_category()};
  }
  void* value = nullptr;
  UINT valueLength = 0;
  wchar_t root[] = L"\\";
  if (!query(buffer.data(), root, &value, &valueLength) || valueLength < sizeof(VS_FIXEDFILEINFO)) return {};
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != VS_FFI_SIGNATURE) return {};
  version = (static_cast<std::uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
  return {};
}
