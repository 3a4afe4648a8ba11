#pragma once
// The feed: what a channel offers now, one small text signed as a whole, and the decisions taken
// on it. Pure functions: nothing here touches the disk or the network.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "launcher/trust.hpp"

// A signed feed larger than this is no feed, and is not read further.
inline constexpr std::size_t kLargestFeed = 64 * 1024;
// The first line of every feed of this format.
inline constexpr char kFeedFormat[] = "velmora-feed 1";
// The release folder's three files, as the feed names them.
inline constexpr char kSizesFile[] = "SIZES";

// A file of the release folder as the feed pins it.
struct PinnedFile {
  std::string sha256;  // 64 lowercase hex digits
  std::uint64_t size = 0;
};

struct Feed {
  std::string channel;
  std::uint64_t sequence = 0;
  std::int64_t issued = 0;   // seconds since 1970, UTC
  std::int64_t expires = 0;  // the same; later than `issued`
  std::string version;       // as written: one to four numbers, dots between them
  std::uint64_t versionNumber = 0;  // four 16-bit parts, the first most significant, as Windows' file versions
  std::string release;       // the release's id
  PinnedFile manifest, signature, sizes;  // SHA256SUMS, SHA256SUMS.p7, SIZES
  std::string notes;         // an http(s) URL, or empty
};

// The feed in `text`, or nullopt when it is not exactly of the form docs/updater.md gives: every
// line ended by a line feed, each key once and in order, nothing else. Its release id must be the
// one its two manifest files give (ReleaseId).
std::optional<Feed> ParseFeed(const std::string& text);

// The feed as publish-update.sh writes it: ParseFeed(FeedText(feed)) gives `feed` back.
std::string FeedText(const Feed& feed);

// The id of a release: the SHA-256 of the two lines `sha256sum SHA256SUMS SHA256SUMS.p7` writes.
std::string ReleaseId(const std::string& manifestSha256, const std::string& signatureSha256);

// "YYYY-MM-DDTHH:MM:SSZ" and back; nullopt for any other text or a date before 1970.
std::optional<std::int64_t> ParseUtcTime(const std::string& text);
std::string UtcTimeText(std::int64_t secondsSinceEpoch);

// What this installation has accepted of a channel before.
struct ChannelHistory {
  std::uint64_t sequence = 0;  // the highest sequence accepted
  std::int64_t issued = 0;     // the latest issue time seen
};

enum class FeedJudgement {
  kAccepted,
  kOtherChannel,  // signed for another channel than the one asked for
  kRolledBack,    // a lower sequence than one accepted before: an old feed served again
  kExpired,       // past its expiry by the later of the clock and the newest issue time seen
};

// Whether the verified, parsed `feed` is taken for `channel` at `now` (seconds since 1970).
FeedJudgement JudgeFeed(const Feed& feed, const std::string& channel, const ChannelHistory& history, std::int64_t now);

// The history once `feed` has been accepted.
ChannelHistory Accepted(const Feed& feed, const ChannelHistory& history);

// What to do about the release a taken feed names.
enum class ReleaseDecision {
  kStage,      // fetch it and stage it
  kInstalled,  // it is the installed release
  kStaged,     // it waits in data/update already
  kOlder,      // its version is lower than the installed one
  kRefused,    // it was refused for its origin before: never staged again
};

struct InstalledState {
  std::string installedRelease;  // empty when not known
  std::string stagedRelease;     // empty when nothing is staged
  std::optional<std::uint64_t> installedVersion;
  std::vector<std::string> refusedReleases;
};

ReleaseDecision DecideRelease(const Feed& feed, const InstalledState& state);

// A channel's name: 1 to 64 of a-z, 0-9, '.', '_', '-', beginning with a letter or digit (it names a file).
bool ValidChannel(const std::string& channel);

// SIZES: one line "<sha256> <size>" for each distinct object of the manifest, sorted, each once.
// Nullopt when any line is not of that form.
std::optional<std::map<std::string, std::uint64_t>> ParseSizes(const std::string& text);

// What the system's answers on a feed's signature mean: made with a key of `keys`, and then as those
// on a manifest's, for `publisher`; with no publisher named (natively without an anchor), the key
// and the signature's integrity are the rule, whatever the certificate's name and chain.
OriginAnswer JudgeFeedSignature(const SignedMessage& message, const Sha256& contentDigest,
                                const NativeString& publisher, const KeyRecord& keys);
