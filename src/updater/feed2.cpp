#include "updater/feed2.hpp"

#include <algorithm>
#include <boost/json.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <set>
#include <vector>

namespace json = boost::json;

namespace {
// The events of Boost.JSON's parser, only to find a key given twice in one object (at any depth),
// which the document model would quietly take the last of: readers that take the first would see
// another feed.
struct DuplicateKeyFinder {
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);
  std::vector<std::set<std::string>> objects;
  std::string key;

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t, json::error_code&) { return true; }
  bool on_object_begin(json::error_code&) {
    objects.emplace_back();
    return true;
  }
  bool on_object_end(std::size_t, json::error_code&) {
    objects.pop_back();
    return true;
  }
  bool on_string_part(json::string_view, std::size_t, json::error_code&) { return true; }
  bool on_string(json::string_view, std::size_t, json::error_code&) { return true; }
  bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
    key.append(part.data(), part.size());
    return true;
  }
  bool on_key(json::string_view part, std::size_t, json::error_code& error) {
    key.append(part.data(), part.size());
    const bool first = objects.back().insert(std::move(key)).second;
    key.clear();
    if (!first) error = json::make_error_code(json::error::syntax);
    return first;
  }
  bool on_number_part(json::string_view, json::error_code&) { return true; }
  bool on_int64(std::int64_t, json::string_view, json::error_code&) { return true; }
  bool on_uint64(std::uint64_t, json::string_view, json::error_code&) { return true; }
  bool on_double(double, json::string_view, json::error_code&) { return true; }
  bool on_bool(bool, json::error_code&) { return true; }
  bool on_null(json::error_code&) { return true; }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }
};

bool OneOfEachKey(const std::string& text) {
  json::basic_parser<DuplicateKeyFinder> parser{json::parse_options{}};
  json::error_code error;
  parser.write_some(false, text.data(), text.size(), error);
  return !error;
}

// The member `key` of `object` as each kind of value the feed holds; nullopt when it is missing or
// of another kind or form.
std::optional<std::string> Text(const json::object& object, const char* key) {
  const json::value* value = object.if_contains(key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return std::string(value->get_string());
}

std::optional<std::uint64_t> Whole(const json::object& object, const char* key, std::uint64_t smallest,
                                   std::uint64_t largest) {
  const json::value* value = object.if_contains(key);
  if (value == nullptr) return std::nullopt;
  std::optional<std::uint64_t> number;
  if (value->is_uint64()) number = value->get_uint64();
  if (value->is_int64() && value->get_int64() >= 0) number = static_cast<std::uint64_t>(value->get_int64());
  return number && *number >= smallest && *number <= largest ? number : std::nullopt;
}

std::optional<std::string> Name(const json::object& object, const char* key) {
  std::optional<std::string> name = Text(object, key);
  return name && ValidChannel(*name) ? name : std::nullopt;
}

std::optional<std::int64_t> Time(const json::object& object, const char* key) {
  const std::optional<std::string> text = Text(object, key);
  return text ? ParseUtcTime(*text) : std::nullopt;
}

std::optional<PinnedFile> Pinned(const json::object& release, const char* key, std::uint64_t smallest,
                                 std::uint64_t largest) {
  const json::value* value = release.if_contains(key);
  if (value == nullptr || !value->is_object()) return std::nullopt;
  const std::optional<std::string> sha256 = Text(value->get_object(), "sha256");
  const std::optional<std::uint64_t> size = Whole(value->get_object(), "size", smallest, largest);
  if (!sha256 || !IsSha256Hex(*sha256) || !size) return std::nullopt;
  return PinnedFile{*sha256, *size};
}

// The release the feed offers, into `feed`; false when any of it is not of its form.
bool ReadRelease(const json::object& release, Feed& feed) {
  const std::optional<std::string> id = Text(release, "id"), version = Text(release, "version");
  const std::optional<std::uint64_t> versionNumber = version ? ParseVersionNumber(*version) : std::nullopt;
  const std::optional<PinnedFile> manifest = Pinned(release, "manifest", 1, kLargestFeedManifest);
  const std::optional<PinnedFile> signature = Pinned(release, "signature", 1, kLargestFeedSignature);
  const std::optional<PinnedFile> sizes = Pinned(release, "sizes", 0, kLargestFeedSizes);
  if (!id || !versionNumber || !manifest || !signature || !sizes) return false;
  if (release.contains("notes")) {
    const std::optional<std::string> notes = Text(release, "notes");
    if (!notes || !IsNotesUrl(*notes)) return false;
    feed.notes = *notes;
  }
  feed.release = *id;
  feed.version = *version;
  feed.versionNumber = *versionNumber;
  feed.manifest = *manifest;
  feed.signature = *signature;
  feed.sizes = *sizes;
  return ReleaseId(manifest->sha256, signature->sha256) == *id;
}

json::object PinnedObject(const PinnedFile& file) { return {{"sha256", file.sha256}, {"size", file.size}}; }
}  // namespace

std::optional<Feed2> ParseFeed2(const std::string& text) {
  if (text.size() > kLargestFeed || !OneOfEachKey(text)) return std::nullopt;
  json::error_code error;
  const json::value value = json::parse(text, error);
  if (error || !value.is_object()) return std::nullopt;
  const json::object& root = value.get_object();
  const std::optional<std::uint64_t> required = Whole(root, "requires", 1, kLargestFeedNumber);
  if (Text(root, "format") != std::optional<std::string>(kFeed2Format) || !required) return std::nullopt;
  Feed2 feed;
  feed.requiredRevision = static_cast<std::uint32_t>(*required);
  if (feed.requiredRevision > kFeedReaderRevision) return feed;
  const std::optional<std::string> product = Name(root, "product"), platform = Name(root, "platform");
  const std::optional<std::string> channel = Name(root, "channel");
  const std::optional<std::int64_t> issued = Time(root, "issued"), expires = Time(root, "expires");
  const std::optional<std::uint64_t> keys = Whole(root, "keys", 1, kLargestFeedNumber);
  const json::value* release = root.if_contains("release");
  if (!product || !platform || !channel || !issued || !expires || *expires <= *issued || !keys || release == nullptr ||
      !release->is_object() || !ReadRelease(release->get_object(), feed.feed)) {
    return std::nullopt;
  }
  feed.product = *product;
  feed.platform = *platform;
  feed.feed.channel = *channel;
  feed.feed.issued = *issued;
  feed.feed.expires = *expires;
  feed.keys = static_cast<std::uint32_t>(*keys);
  return feed;
}

std::string Feed2Text(const Feed2& feed) {
  const Feed& offer = feed.feed;
  json::object release{{"id", offer.release},
                       {"version", offer.version},
                       {"manifest", PinnedObject(offer.manifest)},
                       {"signature", PinnedObject(offer.signature)},
                       {"sizes", PinnedObject(offer.sizes)}};
  if (!offer.notes.empty()) release["notes"] = offer.notes;
  const json::object root{{"format", kFeed2Format},
                          {"requires", feed.requiredRevision},
                          {"product", feed.product},
                          {"platform", feed.platform},
                          {"channel", offer.channel},
                          {"issued", UtcTimeText(offer.issued)},
                          {"expires", UtcTimeText(offer.expires)},
                          {"keys", feed.keys},
                          {"release", release}};
  return json::serialize(root) + "\n";
}

FeedJudgement JudgeFeed(const Feed2& feed, const std::string& digest, const std::string& product,
                        const std::string& platform, const std::string& channel, const ChannelHistory& history,
                        std::int64_t now) {
  if (feed.requiredRevision > kFeedReaderRevision) return FeedJudgement::kNewerReader;
  if (feed.product != product) return FeedJudgement::kOtherProduct;
  if (feed.platform != platform) return FeedJudgement::kOtherPlatform;
  if (feed.feed.channel != channel) return FeedJudgement::kOtherChannel;
  // Not taken, and so never kept: no single feed can move what this installation takes later.
  if (feed.feed.issued > now + kIssuedAheadAllowance) return FeedJudgement::kIssuedAhead;
  if (feed.feed.expires - feed.feed.issued > kLongestFeedLife) return FeedJudgement::kTooLong;
  // A clock set back does not bring an expired feed back to life.
  if (feed.feed.expires <= std::max(now, history.issued)) return FeedJudgement::kExpired;
  if (feed.feed.issued < history.issued) return FeedJudgement::kOlder;
  if (feed.feed.issued == history.issued && !history.digest.empty() && digest != history.digest) {
    return FeedJudgement::kReissued;
  }
  return FeedJudgement::kAccepted;
}

std::string FeedJudgementText(FeedJudgement judgement, const Feed2& feed, const ChannelHistory& history,
                              std::int64_t now) {
  const Feed& offer = feed.feed;
  switch (judgement) {
    case FeedJudgement::kAccepted:
      return {};
    case FeedJudgement::kNewerReader:
      return "it requires a later updater: it needs feed revision " + std::to_string(feed.requiredRevision) +
             ", this updater reads " + std::to_string(kFeedReaderRevision);
    case FeedJudgement::kOtherProduct:
      return "it is signed for another product: " + feed.product;
    case FeedJudgement::kOtherPlatform:
      return "it is signed for another platform: " + feed.platform;
    case FeedJudgement::kOtherChannel:
      return "it is signed for the channel " + offer.channel;
    case FeedJudgement::kIssuedAhead:
      return "it is issued " + UtcTimeText(offer.issued) + ", later than this machine's clock allows (" +
             UtcTimeText(now) + "): check the clock";
    case FeedJudgement::kTooLong:
      return "its life is longer than 90 days: issued " + UtcTimeText(offer.issued) + ", expires " +
             UtcTimeText(offer.expires);
    case FeedJudgement::kExpired:
      return "it has expired: expires " + UtcTimeText(offer.expires);
    case FeedJudgement::kOlder:
      return "it is older than one taken before: issued " + UtcTimeText(offer.issued) + ", before " +
             UtcTimeText(history.issued);
    case FeedJudgement::kReissued:
      return "it is not the feed taken before at its issue time " + UtcTimeText(offer.issued) +
             ": two feeds signed for one time";
  }
  return {};
}
