#pragma once
// A feed is one file with its signature inside: an attached PKCS #7 signed message. This opens it
// and asks the system about its signature and its signer's chain; what each answer means is judged
// as a manifest's signature is (JudgeManifestSignature).

#include <string>

#include "platform/native_text.hpp"
#include "platform/publisher.hpp"

// Decodes `signedFeed` and, where it names one signer, verifies that signature with the certificate
// it carries and builds the signer's chain now for code signing. Windows: the system's roots, with
// certificates, roots and revocation fetched as needed. POSIX: the roots in the PEM file `roots`
// (none given: no chain is built, and its policy answers CERT_E_UNTRUSTEDROOT), the system's
// answers given in Windows' numbers so that one table of meanings serves both.
SignedMessage VerifySignedFeed(const std::string& signedFeed, const NativeString& roots);

// Decodes the signed key record `signedRecord` (an attached PKCS #7 signed message, as a feed) and
// verifies its one signer's signature with the certificate it carries; its chain does not count for
// a record, and nothing is fetched for it.
SignedMessage VerifySignedRecord(const std::string& signedRecord);
