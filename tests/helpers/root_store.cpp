// Adds a throw-away root certificate to this Wine prefix's machine root store, or takes it out
// again, as an administrator trusts a publisher's root: later processes of the prefix build their
// chains to it. Only the tests' own prefixes are ever given one. The "-user" commands do the same in
// the current user's root store, as a user talked into trusting a root would.
//   root_store add|remove|add-user|remove-user CERTIFICATE.der     prints "added" or "removed"; exit 1 on a failure

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {
int Fail(const char* what) {
  std::printf("%s failed, error 0x%08lX\n", what, GetLastError());
  return 1;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 64;
  std::wstring command = argv[1];
  const bool user = command.size() > 5 && command.substr(command.size() - 5) == L"-user";
  if (user) command.resize(command.size() - 5);
  std::ifstream file(argv[2], std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (der.empty() || (command != L"add" && command != L"remove")) return 64;
  const HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                         user ? CERT_SYSTEM_STORE_CURRENT_USER : CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) return Fail("CertOpenStore");
  int status = 0;
  if (command == L"add") {
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      status = Fail("CertAddEncodedCertificateToStore");
    } else {
      std::printf("added\n");
    }
  } else {
    const PCCERT_CONTEXT wanted = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
    const PCCERT_CONTEXT found =
        wanted != nullptr ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)
                          : nullptr;
    // The deletion frees the context it is given, on success or failure.
    if (found == nullptr || !CertDeleteCertificateFromStore(found)) {
      status = Fail("CertDeleteCertificateFromStore");
    } else {
      std::printf("removed\n");
    }
    if (wanted != nullptr) CertFreeCertificateContext(wanted);
  }
  CertCloseStore(store, 0);
  return status;
}
