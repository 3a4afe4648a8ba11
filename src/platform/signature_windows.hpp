#pragma once
// What the publisher check and the feed's check share on Windows: reading signed messages and
// their signers, the accepted names, and a signer's chain.

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/publisher.hpp"

// The name Windows shows users as the certificate's publisher; empty when it cannot be read.
std::wstring PublisherName(PCCERT_CONTEXT certificate);

// The first signer's information of `message`, kept in `buffer`; null when it cannot be read.
const CMSG_SIGNER_INFO* FirstSigner(HCRYPTMSG message, std::vector<std::uint64_t>& buffer);

// Whether `signer` is `publisher` or a name this build accepts besides.
bool Accepted(const std::wstring& signer, const std::wstring& publisher);

// The SHA-256 message digest among the signer's signed attributes; empty when there is none.
std::string SignedDigest(const CMSG_SIGNER_INFO& signer);

// The certificate's chain under the Authenticode policy, as a step kManifestChain answer.
OriginAnswer VerifyChain(PCCERT_CONTEXT certificate, bool online);
