#pragma once
// The feed: what a channel offers now, one small file signed as a whole, and the decisions taken
// on it. The first feed, <channel>.feed, is a text of fixed lines that updaters before the second
// feed (feed2.hpp) read: publish-update.sh still writes it for them. Pure functions: nothing here
// touches the disk or the network.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/trust.hpp"

// A signed feed larger than this is no feed, and is not read further.
inline constexpr std::size_t kLargestFeed = 64 * 1024;
// The first line of every first feed.
inline constexpr char kFeedFormat[] = "velmora-feed 1";
// The release folder's three files, as the feed names them.
inline constexpr char kSizesFile[] = "SIZES";
// The largest each may be: far beyond any release's (20,000 names take 2 MB), and the most this
// program holds in memory.
inline constexpr std::uint64_t kLargestFeedManifest = 64u << 20;
inline constexpr std::uint64_t kLargestFeedSignature = 1u << 20;
inline constexpr std::uint64_t kLargestFeedSizes = 16u << 20;

// A file of the release folder as the feed pins it.
struct PinnedFile {
  std::string sha256;  // 64 lowercase hex digits
  std::uint64_t size = 0;
};

// What a channel offers: its times and one release.
struct Feed {
  std::string channel;
  std::uint64_t sequence = 0;  // the first feed's alone, which orders its feeds by it; 0 in the second
  std::int64_t issued = 0;   // seconds since 1970, UTC
  std::int64_t expires = 0;  // the same; later than `issued`
  std::string version;       // as written: one to four numbers, dots between them
  std::uint64_t versionNumber = 0;  // four 16-bit parts, the first most significant, as Windows' file versions
  std::string release;       // the release's id
  PinnedFile manifest, signature, sizes;  // SHA256SUMS, SHA256SUMS.p7, SIZES
  std::string notes;         // an http(s) URL, or empty
};

// The first feed in `text`, or nullopt when it is not exactly of the form docs/updater.md gives: every
// line ended by a line feed, each key once and in order, nothing else. Its release id must be the
// one its two manifest files give (ReleaseId).
std::optional<Feed> ParseFeed(const std::string& text);

// The first feed as publish-update.sh writes it: ParseFeed(FeedText(feed)) gives `feed` back.
std::string FeedText(const Feed& feed);

// The id of a release: the SHA-256 of the two lines `sha256sum SHA256SUMS SHA256SUMS.p7` writes.
std::string ReleaseId(const std::string& manifestSha256, const std::string& signatureSha256);

// "YYYY-MM-DDTHH:MM:SSZ" and back; nullopt for any other text or a date before 1970.
std::optional<std::int64_t> ParseUtcTime(const std::string& text);
std::string UtcTimeText(std::int64_t secondsSinceEpoch);

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

// The values a feed holds, each checked as strictly as the first feed's lines are.
bool IsSha256Hex(std::string_view text);  // 64 lowercase hex digits
// One to four numbers of 0-65535, as a file version record holds them, the first most significant.
std::optional<std::uint64_t> ParseVersionNumber(std::string_view text);
// An http(s) URL of at most 2048 characters without a blank, which the application may show.
bool IsNotesUrl(std::string_view url);

// SIZES: one line "<sha256> <size>" for each distinct object of the manifest, sorted, each once.
// Nullopt when any line is not of that form.
std::optional<std::map<std::string, std::uint64_t>> ParseSizes(const std::string& text);

// What the system's answers on a feed's signature mean: made with a key of `keys`, and then as those
// on a manifest's, for `publisher`; with no publisher named (natively without an anchor), the key
// and the signature's integrity are the rule, whatever the certificate's name and chain.
OriginAnswer JudgeFeedSignature(const SignedMessage& message, const Sha256& contentDigest,
                                const NativeString& publisher, const KeyRecord& keys);
