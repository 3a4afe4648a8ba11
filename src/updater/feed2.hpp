#pragma once
// The second feed, <channel>.feed2: what a channel offers, one JSON object signed as a whole, that
// names the product and platform it is for and bounds its own life. Unknown keys are ignored and
// `requires` says which readers understand it, so that it grows without breaking installed
// updaters. This updater reads only this feed. Pure functions: nothing here touches the disk or
// the network.

#include <cstdint>
#include <optional>
#include <string>

#include "updater/feed.hpp"

// The value of the feed's "format".
inline constexpr char kFeed2Format[] = "velmora-feed";
// The revision of the feed this updater understands: a feed that requires a later one is refused.
inline constexpr std::uint32_t kFeedReaderRevision = 1;
// How far a feed's issue time may be ahead of this machine's clock, and the longest life a feed
// may have (its expiry less its issue time), in seconds.
inline constexpr std::int64_t kIssuedAheadAllowance = 3600;
inline constexpr std::int64_t kLongestFeedLife = 90 * 86400;
// The largest "requires" and "keys" a feed may hold.
inline constexpr std::uint32_t kLargestFeedNumber = 1u << 31;

struct Feed2 {
  std::uint32_t requiredRevision = kFeedReaderRevision;  // "requires": the lowest reader revision that understands it all
  std::string product;
  std::string platform;
  Feed feed;              // its channel, times and release; no sequence
  std::uint32_t keys = 1;  // the version of the key record its signer belongs to
};

// The feed in `text`, or nullopt when it is no such feed: one JSON object with no key twice in any
// object, "format" "velmora-feed", every value this reader knows of exactly the type and form
// docs/updater.md gives (names as a channel's, times as "YYYY-MM-DDTHH:MM:SSZ", expiring after
// they are issued, the release's id that of its two manifest files). A feed that requires a later
// reader comes back with its "requires" alone, for what else it says may mean something else.
std::optional<Feed2> ParseFeed2(const std::string& text);

// The feed as publish-update.sh writes it, one line: ParseFeed2(Feed2Text(feed)) gives `feed` back.
std::string Feed2Text(const Feed2& feed);

// What this installation has taken of a channel before.
struct ChannelHistory {
  std::int64_t issued = 0;  // the issue time of the newest feed taken, seconds since 1970
  std::string digest;       // the SHA-256 of that feed's text, 64 hex digits
};

enum class FeedJudgement {
  kAccepted,
  kNewerReader,   // it requires a later revision than this updater's
  kOtherProduct,  // signed for another product
  kOtherPlatform,
  kOtherChannel,
  kIssuedAhead,  // issued later than the clock plus the allowance: the clock may be wrong; nothing kept
  kTooLong,      // its life exceeds kLongestFeedLife
  kExpired,      // past its expiry by the later of the clock and the newest issue time taken
  kOlder,        // issued before the newest feed taken: an old feed served again
  kReissued,     // issued at the time of the newest feed taken, but another text
};

// Whether the verified, parsed `feed`, whose text has the SHA-256 `digest`, is taken for `channel`
// of this build's `product` and `platform` at `now` (seconds since 1970).
FeedJudgement JudgeFeed(const Feed2& feed, const std::string& digest, const std::string& product,
                        const std::string& platform, const std::string& channel, const ChannelHistory& history,
                        std::int64_t now);

// Why a feed is not taken, in words for the log and the message ("it is signed for the product
// ..."); empty for kAccepted.
std::string FeedJudgementText(FeedJudgement judgement, const Feed2& feed, const ChannelHistory& history,
                              std::int64_t now);
