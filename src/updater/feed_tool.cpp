// velmora-feed: the publisher's side of the feeds, which scripts/publish-update.sh runs. It writes
// the text of a channel's two feeds, and checks a signed second feed with the updater's own code
// before the script puts it in the tree, so that no vendor publishes a feed installations refuse.
//   velmora-feed write TREE [options] (--release ID --version V [--notes URL] | --refresh) --second F [--first F]
//   velmora-feed verify TREE [options] --second SIGNED [--second-text FILE] [--first SIGNED --first-text FILE]

#include <boost/program_options.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "launcher/key_chain.hpp"
#include "launcher/layout.hpp"
#include "launcher/manifest.hpp"
#include "launcher/release_file.hpp"
#include "platform/digest.hpp"
#include "platform/file_ops.hpp"
#include "platform/signed_feed.hpp"
#include "updater/feed.hpp"
#include "updater/feed2.hpp"
#include "updater/feed_check.hpp"
#include "updater_defaults.hpp"

namespace po = boost::program_options;

namespace {
const char kUsage[] =
    "usage: velmora-feed write TREE [options] (--release ID --version V [--notes URL] | --refresh)\n"
    "                    --second FILE [--first FILE]\n"
    "         the text of the channel's two feeds, issued now: the second names the release of\n"
    "         TREE/releases/ID, the first is the same for updaters before the second feed, its\n"
    "         sequence above the tree's; --refresh: the release the tree's feeds name now\n"
    "       velmora-feed verify TREE [options] --second SIGNED [--second-text FILE]\n"
    "                    [--first SIGNED --first-text FILE]\n"
    "         the signed second feed checked as the updater checks it, after the tree's own, and\n"
    "         holding the text written; the signed first feed read as updaters before it read it\n"
    "options: --channel NAME (stable), --expires DAYS (30, at most 90); verify: --product\n"
    "         NAME, --platform NAME (the release's own, from its app/velmora.release in the tree),\n"
    "         --cafile FILE, --publisher NAME (the anchor; default: the updater's, built in)\n"
    "exit codes: 0 done, 1 refused (the reason on standard error), 64 command line\n";

constexpr int kRefused = 1;
constexpr int kUsageError = 64;

// How the tool ends early: its reason, for standard error.
struct Refusal {
  std::string reason;
};

struct ToolOptions {
  std::string command, tree, channel, product, platform, release, version, notes;
  std::string first, second, firstText, secondText, cafile, publisher;
  unsigned expires = 30;
  bool refresh = false;
};

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The whole file, or nullopt when there is none; stops at any other failure.
std::optional<std::string> ReadFile(const std::string& file, std::uintmax_t limit) {
  std::string bytes;
  const boost::system::error_code error = ReadWholeFile(file, limit, bytes);
  if (error == boost::system::errc::no_such_file_or_directory) return std::nullopt;
  if (error) throw Refusal{"cannot read " + file + ": " + error.message()};
  return bytes;
}

std::string Sha256Hex(const std::string& bytes) {
  Sha256 digest{};
  if (!Sha256OfBytes(bytes, digest)) throw Refusal{"the system's SHA-256 failed"};
  return HexOf(digest);
}

// The content of the signed feed in `file`, whoever signed it; nullopt without one.
std::optional<std::string> ContentOf(const std::string& file) {
  const std::optional<std::string> bytes = ReadFile(file, kLargestFeed);
  if (!bytes) return std::nullopt;
  return VerifySignedFeed(*bytes, {}).content;
}

PinnedFile PinnedOf(const std::string& file, std::uint64_t largest) {
  const std::optional<std::string> bytes = ReadFile(file, largest);
  if (!bytes) throw Refusal{"no " + file};
  return {Sha256Hex(*bytes), bytes->size()};
}

// The release of TREE/releases/ID, its three files pinned.
void PinRelease(const std::string& tree, Feed& feed) {
  const std::string folder = tree + "/releases/" + feed.release + "/";
  feed.manifest = PinnedOf(folder + kManifestFile, kLargestFeedManifest);
  feed.signature = PinnedOf(folder + kManifestSignatureFile, kLargestFeedSignature);
  feed.sizes = PinnedOf(folder + kSizesFile, kLargestFeedSizes);
  if (ReleaseId(feed.manifest.sha256, feed.signature.sha256) != feed.release || feed.manifest.size == 0 ||
      feed.signature.size == 0) {
    throw Refusal{folder + " is not the release " + feed.release};
  }
}

// What the release of the tree's folder releases/ID is for, as its listed release file says.
ReleaseFile ReleaseFileOf(const std::string& tree, const std::string& release) {
  const std::string folder = tree + "/releases/" + release + "/";
  const std::optional<std::string> manifest = ReadFile(folder + kManifestFile, kLargestFeedManifest);
  const std::optional<std::vector<ManifestLine>> lines = manifest ? ParseManifest(*manifest) : std::nullopt;
  const std::string path = std::string(kApplicationDirectory) + "/" + kReleaseFileName;
  if (lines) {
    for (const ManifestLine& line : *lines) {
      if (line.path != path) continue;
      const std::optional<std::string> text = ReadFile(tree + "/objects/" + line.digest, kLargestReleaseFile);
      const std::optional<ReleaseFile> named = text && Sha256Hex(*text) == line.digest ? ParseReleaseFile(*text) : std::nullopt;
      if (!named) throw Refusal{"the release file of " + folder + " in the tree is missing, altered or malformed"};
      return *named;
    }
  }
  throw Refusal{"the release " + release + " names no product (no " + path + "): installations refuse it; sign it again "
                "with sign-update.sh and publish it"};
}

// The release the tree's feeds of the channel name now: the second feed's, else (a tree published
// before it) the first's.
Feed OfferedNow(const ToolOptions& options) {
  const std::string base = options.tree + "/" + options.channel;
  if (const std::optional<std::string> second = ContentOf(base + ".feed2")) {
    if (const std::optional<Feed2> feed = ParseFeed2(*second); feed && feed->requiredRevision <= kFeedReaderRevision) {
      return feed->feed;
    }
  }
  if (const std::optional<std::string> first = ContentOf(base + ".feed")) {
    if (const std::optional<Feed> feed = ParseFeed(*first)) return *feed;
  }
  throw Refusal{"no feed of the channel " + options.channel + " in " + options.tree + " to refresh"};
}

// The first feed's sequence: the clock's, or one above the tree's first feed, which must be one
// that updaters before the second feed read.
std::uint64_t NextSequence(const ToolOptions& options, std::int64_t now) {
  const std::string file = options.tree + "/" + options.channel + ".feed";
  const std::optional<std::string> content = ContentOf(file);
  if (!content) return static_cast<std::uint64_t>(now);
  const std::optional<Feed> previous = ParseFeed(*content);
  if (!previous) {
    throw Refusal{file + " is no feed updaters before the second feed read (its sequence out of range?), so no "
                  "sequence can follow it: remove it to begin anew at the clock's"};
  }
  if (previous->sequence >= static_cast<std::uint64_t>(INT64_MAX)) {
    throw Refusal{file + " has the sequence " + std::to_string(previous->sequence) +
                  ", the largest updaters before the second feed read: no first feed can follow it; remove it to "
                  "begin anew at the clock's"};
  }
  return std::max(static_cast<std::uint64_t>(now), previous->sequence + 1);
}

// The issue time: the clock's, or a second after the tree's second feed where that one is later
// (a feed is taken only after every one taken before) but not beyond what installations take.
std::int64_t NextIssued(const ToolOptions& options, std::int64_t now) {
  const std::optional<std::string> content = ContentOf(options.tree + "/" + options.channel + ".feed2");
  const std::optional<Feed2> previous = content ? ParseFeed2(*content) : std::nullopt;
  if (!previous || previous->requiredRevision > kFeedReaderRevision) return now;
  const std::int64_t issued = previous->feed.issued;
  return issued >= now && issued < now + kIssuedAheadAllowance ? issued + 1 : now;
}

void WriteFile(const std::string& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw Refusal{"cannot write " + file};
}

// The publisher's keys as an installation that took every record of the tree holds them: the record
// built in, then the tree's keys/<version>.keys, each taken as the updater takes it.
KeyRecord TreeKeys(const ToolOptions& options) {
  const KeyRecord builtIn = BuiltInKeyRecord();
  if (builtIn.keys.empty()) {
    throw Refusal{"velmora-feed was built without the publisher's keys (VELMORA_PUBLISHER_KEYS): installations built "
                  "so take no feed"};
  }
  return CurrentKeyRecord(builtIn, boost::filesystem::path(options.tree) / "keys", VerifySignedRecord);
}

void Write(const ToolOptions& options) {
  Feed2 second;
  // The record its signer belongs to as the tree holds it now: installations that hold an older one
  // fetch the newer ones, and learn of a key retired, before they judge the feed.
  second.keys = TreeKeys(options).version;
  Feed& feed = second.feed;
  if (options.refresh) {
    feed = OfferedNow(options);
    feed.sequence = 0;
  } else {
    feed.release = options.release;
    feed.version = options.version;
    feed.notes = options.notes;
    const std::optional<std::uint64_t> version = ParseVersionNumber(feed.version);
    if (!version) throw Refusal{"a version is one to four numbers of 0-65535: " + feed.version};
    feed.versionNumber = *version;
  }
  PinRelease(options.tree, feed);
  const ReleaseFile release = ReleaseFileOf(options.tree, feed.release);
  second.product = release.product;
  second.platform = release.platform;
  feed.channel = options.channel;
  const std::int64_t now = Now();
  feed.issued = NextIssued(options, now);
  feed.expires = feed.issued + static_cast<std::int64_t>(options.expires) * 86400;
  Feed first = feed;
  if (!options.first.empty()) first.sequence = NextSequence(options, now);
  const std::string secondText = Feed2Text(second);
  // What the updater would refuse is never written.
  if (!ParseFeed2(secondText) || (!options.first.empty() && !ParseFeed(FeedText(first)))) {
    throw Refusal{"the feed would not be one: " + secondText};
  }
  WriteFile(options.second, secondText);
  if (!options.first.empty()) WriteFile(options.first, FeedText(first));
  std::cout << "velmora-feed: wrote the feeds of " << feed.release << " version " << feed.version << " (" << second.product
            << " for " << second.platform << "), issued " << UtcTimeText(feed.issued) << ", expires "
            << UtcTimeText(feed.expires);
  if (!options.first.empty()) std::cout << ", sequence " << first.sequence;
  std::cout << "\n";
}

// What a new feed must follow: the tree's second feed, unless installations never took it (it
// requires a later reader, or was issued beyond their clocks).
ChannelHistory LiveHistory(const ToolOptions& options, std::int64_t now) {
  const std::optional<std::string> content = ContentOf(options.tree + "/" + options.channel + ".feed2");
  const std::optional<Feed2> live = content ? ParseFeed2(*content) : std::nullopt;
  if (!live || live->requiredRevision > kFeedReaderRevision || live->feed.issued > now + kIssuedAheadAllowance) return {};
  return {live->feed.issued, Sha256Hex(*content)};
}

std::string SignedFile(const std::string& file) {
  std::string bytes;
  if (const boost::system::error_code error = ReadWholeFile(file, kLargestFeed, bytes)) {
    throw Refusal{"cannot read " + file + (error == boost::system::errc::invalid_argument ? ": larger than 64 KiB, or no file"
                                                                                          : ": " + error.message())};
  }
  return bytes;
}

void RequireText(const std::string& textFile, const std::string& content, const std::string& signedFile) {
  if (!textFile.empty() && ReadFile(textFile, kLargestFeed) != content) {
    throw Refusal{signedFile + " does not hold the feed written in " + textFile};
  }
}

// The first feed as updaters before the second one take it: the same signer rule, its form, and the
// release the second feed names; its sequence not below the tree's.
void VerifyFirst(const ToolOptions& options, const FeedAnchor& anchor, const KeyRecord& keys, const Feed2& second) {
  const SignedMessage message = VerifySignedFeed(SignedFile(options.first), anchor.roots);
  Sha256 digest{};
  if (!Sha256OfBytes(message.content, digest)) throw Refusal{"the system's SHA-256 failed"};
  const OriginAnswer origin = JudgeFeedSignature(message, digest, anchor.publisher, keys);
  if (VerdictOfOrigin(origin) != StagingVerdict::kTaken) {
    throw Refusal{"updaters before the second feed would not take " + options.first + ": " + FeedOriginText(origin)};
  }
  const std::optional<Feed> first = ParseFeed(message.content);
  if (!first) throw Refusal{options.first + " is no feed updaters before the second feed read"};
  const Feed& offer = second.feed;
  if (first->channel != offer.channel || first->release != offer.release || first->version != offer.version ||
      first->notes != offer.notes || first->issued != offer.issued || first->expires != offer.expires) {
    throw Refusal{options.first + " does not name what " + options.second + " names"};
  }
  const std::optional<std::string> live = ContentOf(options.tree + "/" + options.channel + ".feed");
  const std::optional<Feed> previous = live ? ParseFeed(*live) : std::nullopt;
  if (previous && first->sequence < previous->sequence) {
    throw Refusal{options.first + " has the sequence " + std::to_string(first->sequence) + ", below the tree's " +
                  std::to_string(previous->sequence) + ": updaters before the second feed would refuse it"};
  }
  RequireText(options.firstText, message.content, options.first);
}

// What the signed second feed must be for: what was asked, else what the release it names is for.
FeedPurpose PurposeOf(const ToolOptions& options, const std::string& signedFeed) {
  FeedPurpose purpose{options.product, options.platform, options.channel};
  const std::optional<Feed2> named = ParseFeed2(VerifySignedFeed(signedFeed, {}).content);
  if ((purpose.product.empty() || purpose.platform.empty()) && named && named->requiredRevision <= kFeedReaderRevision) {
    const ReleaseFile release = ReleaseFileOf(options.tree, named->feed.release);
    if (purpose.product.empty()) purpose.product = release.product;
    if (purpose.platform.empty()) purpose.platform = release.platform;
  }
  return purpose;
}

void Verify(const ToolOptions& options) {
  const std::int64_t now = Now();
  const KeyRecord keys = TreeKeys(options);
  const FeedAnchor anchor{options.publisher.empty() ? std::string(kBuiltInPublisher) : options.publisher,
                          options.cafile.empty() ? std::string(kBuiltInRoots) : options.cafile};
  const std::string signedFeed = SignedFile(options.second);
  const FeedCheck check =
      CheckSignedFeed(signedFeed, anchor, keys, PurposeOf(options, signedFeed), LiveHistory(options, now), now);
  if (check.verdict != FeedVerdict::kTaken) {
    throw Refusal{"installations would not take " + options.second + ": " +
                  (check.verdict == FeedVerdict::kNotNow ? "it cannot be checked now: " : "") + check.why};
  }
  RequireText(options.secondText, check.content, options.second);
  if (!options.first.empty()) VerifyFirst(options, anchor, keys, *check.feed);
  const Feed& feed = check.feed->feed;
  std::cout << "velmora-feed: verified as installations take it: " << check.feed->product << " for "
            << check.feed->platform << ", channel " << feed.channel << ", release " << feed.release << " version "
            << feed.version << ", issued " << UtcTimeText(feed.issued) << ", expires " << UtcTimeText(feed.expires)
            << ", signed by a key of the publisher's record version " << keys.version << "\n";
}

ToolOptions ParseOptions(int argc, char** argv) {
  ToolOptions options;
  po::options_description described;
  described.add_options()("command", po::value(&options.command)->required())("tree", po::value(&options.tree)->required())(
      "channel", po::value(&options.channel)->default_value("stable"))(
      "product", po::value(&options.product))("platform", po::value(&options.platform))(
      "release", po::value(&options.release))(
      "version", po::value(&options.version))("notes", po::value(&options.notes))(
      "expires", po::value(&options.expires)->default_value(30))(
      "refresh", po::bool_switch(&options.refresh))("first", po::value(&options.first))(
      "second", po::value(&options.second))("first-text", po::value(&options.firstText))(
      "second-text", po::value(&options.secondText))("cafile", po::value(&options.cafile))(
      "publisher", po::value(&options.publisher));
  po::positional_options_description positional;
  positional.add("command", 1).add("tree", 1);
  po::variables_map values;
  po::store(po::command_line_parser(argc, argv).options(described).positional(positional).run(), values);
  po::notify(values);
  const bool write = options.command == "write";
  const bool known = write || options.command == "verify";
  const bool names = ValidChannel(options.channel) && (options.product.empty() || ValidChannel(options.product)) &&
                     (options.platform.empty() || ValidChannel(options.platform));
  const bool release = options.refresh ? options.release.empty() && options.version.empty() && options.notes.empty()
                                       : IsSha256Hex(options.release) && !options.version.empty();
  const bool outputs = write ? !options.second.empty() && release
                             : !options.second.empty() && options.first.empty() == options.firstText.empty();
  if (!known || !names || !outputs || options.expires < 1 || options.expires > kLongestFeedLife / 86400 ||
      (!options.notes.empty() && !IsNotesUrl(options.notes))) {
    throw po::error("the command, a name, the release or a number is not as the usage says");
  }
  return options;
}
}  // namespace

int main(int argc, char** argv) {
  try {
    const ToolOptions options = ParseOptions(argc, argv);
    if (options.command == "write") {
      Write(options);
    } else {
      Verify(options);
    }
    return 0;
  } catch (const po::error& error) {
    std::cerr << "velmora-feed: " << error.what() << "\n" << kUsage;
    return kUsageError;
  } catch (const Refusal& refusal) {
    std::cerr << "velmora-feed: " << refusal.reason << "\n";
    return kRefused;
  } catch (const std::exception& unexpected) {
    std::cerr << "velmora-feed: " << unexpected.what() << "\n";
    return kRefused;
  }
}
