#pragma once
// A signed second feed checked as the updater takes it: its signature and signer, its form, and
// what and when it is for. The updater and publish-update.sh (through velmora-feed) call this one
// function, so that a vendor never publishes a feed installations would refuse.

#include <cstdint>
#include <optional>
#include <string>

#include "launcher/key_record.hpp"
#include "launcher/trust.hpp"
#include "platform/native_text.hpp"
#include "updater/feed2.hpp"

// Whom the feed's signer must be.
struct FeedAnchor {
  // The publisher name the signer's certificate must carry (as Windows shows it; elsewhere its
  // subject's common name), or one this build accepts besides. Empty (natively without an anchor):
  // the signer's key alone, whatever the certificate's name and chain.
  NativeString publisher;
  // POSIX: the PEM file of the roots the signer's chain must end at. Windows: the system's roots.
  NativeString roots;
};

// What the feed must be for: this build's product and platform, the channel asked.
struct FeedPurpose {
  std::string product;
  std::string platform;
  std::string channel;
};

enum class FeedVerdict {
  kTaken,
  kRefused,  // the feed or its signer is at fault (exit 11)
  kNotNow,   // this machine cannot take it now: its roots, its clock (exit 12)
};

struct FeedCheck {
  FeedVerdict verdict = FeedVerdict::kRefused;
  std::string why;            // what decided a feed not taken, in words for the log; empty when taken
  std::string content;        // the signed text, where the message was read
  std::string digest;         // its SHA-256, 64 hex digits
  std::optional<Feed2> feed;  // once the signature holds and the text is a feed
  // Signed by a key the record checked against does not pin: a newer record may.
  bool unpinned = false;
  // The key record's version the signed text names as its signer's, read where it parses, even
  // before its signature is taken: only ever a reason to look for newer records, which the chain
  // verifies on their own.
  std::uint32_t keysNamed = 0;
};

// The signed message `signedFeed` (its signature inside), judged for `purpose` against `anchor` and
// the publisher's `keys`, the channel's `history` and the clock `now` (seconds since 1970).
FeedCheck CheckSignedFeed(const std::string& signedFeed, const FeedAnchor& anchor, const KeyRecord& keys,
                          const FeedPurpose& purpose, const ChannelHistory& history, std::int64_t now);

// The publisher check's answer on a feed's signature, in words: what failed, the signer, the
// system's codes.
std::string FeedOriginText(const OriginAnswer& answer);
