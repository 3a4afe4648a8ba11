#pragma once
// The system's signature service: what a program's Authenticode signature and a PKCS #7 signed
// message say, and what the system makes of them and of their signers' certificate chains. It only
// asks; what each answer means, and whose signature is good enough, the launcher decides
// (launcher/trust.hpp).

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/digest.hpp"
#include "platform/native_text.hpp"

// A file held open against writing, renaming and deletion until the last copy of this goes; it can
// still be read and started. Empty where nothing is held.
using HeldFile = std::shared_ptr<void>;

// Whether this platform's programs carry signatures of their own (Authenticode, on Windows). Where
// they do not (POSIX) the services below answer kNoSignatureService and nothing is held.
bool ProgramsCarrySignatures();

// The answer of a platform without a signature service (TRUST_E_PROVIDER_UNKNOWN: no trust provider
// on this system).
inline constexpr std::uint32_t kNoSignatureService = 0x800B0001;

// Where the certificates, roots and revocation answers a chain needs may come from.
enum class ChainRetrieval {
  kCacheOnly,  // nothing fetched: this machine's stores and caches, and the signature's own certificates
  kOnline,     // issuers' certificates, roots (automatic root update) and revocation fetched as needed
};

// The Authenticode policy's answer over a signer's certificate chain, a revocation status the
// system does not know ignored: only a certificate it knows to be revoked fails for revocation.
struct ChainAnswer {
  std::uint32_t policy = 0;  // 0 when the chain satisfies the policy; else its error, or the failure to build one
  std::uint32_t trust = 0;   // the chain's own trust error bits (CERT_TRUST_*), whatever the policy said
};

// What the system says of one signature.
struct SignatureAnswer {
  std::uint32_t status = 0;  // the verification (an HRESULT): 0 when the signature verified
  std::uint32_t reason = 0;  // the error the system gave with that status, where it documents one
  NativeString signer;       // the signer certificate's publisher name, where the signature verified
  // The SHA-256 of the signer certificate's DER SubjectPublicKeyInfo, the name of its key, where the
  // signature of a message verified (a program's signer is not asked for it).
  std::optional<Sha256> key;
  bool codeSigning = false;  // the signer certificate's own extended key usage allows signing code
  ChainAnswer chain;         // the signer's chain, where the signature verified
};

// What the system reads and verifies of a PKCS #7 signed message.
struct SignedMessage {
  std::uint32_t decoded = 0;    // the decoding (an HRESULT): 0 when the message was read
  std::uint32_t signers = 0;    // how many signers it names
  std::string digestAlgorithm;  // the first signer's digest algorithm, a dotted object identifier
  std::string signedDigest;     // its one signed messageDigest attribute's one value, as encoded; empty without
  std::string content;          // the content an attached message carries
  SignatureAnswer signature;    // the first signer's signature, verified where the message names one signer
};

// The signer of the signature `program` carries, read without verifying it: a certificate that has
// expired since, or a root this machine does not trust, reads all the same. `status` 0 when read; a
// signer certificate without a name to show is TRUST_E_NO_SIGNER_CERT here and below.
SignatureAnswer ReadProgramSigner(const NativeString& program);

// Opens `file` for reading, shared with other readers only, and keeps it in `held`: nobody writes,
// renames or deletes it until `held` goes, and what is read of it by path meanwhile is that file.
// Returns the failure to open it. Where files cannot be held so (POSIX), holds nothing.
boost::system::error_code HoldForReading(const NativeString& file, HeldFile& held);

// Windows' Authenticode verification (WinVerifyTrust) of the program `path` held in `program`, read
// through that handle, with nothing fetched from the network and revocation taken from the
// system's cache; then its signer and the policy over its chain built again, with the machine's
// roots alone, at the time it verified (its time stamp's, where it has one the system takes). `reason` is set only with
// TRUST_E_NOSIGNATURE, where the system gives one to tell an unsigned file from an unreadable one.
SignatureAnswer VerifyProgram(const HeldFile& program, const NativeString& path);

// Decodes the DER PKCS #7 `message`, detached over `detachedContent` or, given none, carrying its
// content, and where it names one signer verifies that signature with the certificates the message
// carries, and the signer's chain, built now for code signing with certificates, roots and
// revocation answers from `retrieval`, with the machine's roots alone (a root a user added to their
// own store does not count). The signed message digest is handed back, never compared
// here: not every implementation compares it with the content.
SignedMessage VerifySignedMessage(const std::string& message, const std::string* detachedContent,
                                  ChainRetrieval retrieval);
