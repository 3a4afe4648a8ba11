#pragma once
// A feed is one file with its signature inside: an attached PKCS#7 signed message. This opens it
// and asks the system about its signature; what each answer means is the updater's to decide.

#include <string>

#include "platform/native_text.hpp"
#include "platform/publisher.hpp"

// Whom the feed's signer must be.
struct FeedAnchor {
  // The publisher name the signer's certificate must carry (as Windows shows it; elsewhere its
  // subject's common name), or one this build accepts besides. Empty: the signature's own
  // integrity alone is verified, whoever made it.
  NativeString publisher;
  // POSIX: the PEM file of the roots the signer's chain must end at. Windows: the system's roots.
  NativeString roots;
};

// Opens `signedFeed` and verifies it: exactly one signer, SHA-256, signed attributes whose message
// digest is the SHA-256 of the content (compared here, not left to the system), a signature that
// verifies with the signer's certificate, the signer named as `anchor` asks, and its chain, built
// online on Windows, valid now for code signing. The content goes to `content` once the message
// could be opened. The answer's steps are those of a manifest's signature (kManifestSignature,
// kManifestDigest, kManifestPublisher, kManifestChain), with the system's numbers.
OriginAnswer VerifySignedFeed(const std::string& signedFeed, const FeedAnchor& anchor, std::string& content);
