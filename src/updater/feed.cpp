#include "updater/feed.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "launcher/manifest.hpp"
#include "launcher/run_log.hpp"
#include "platform/digest.hpp"

namespace {
constexpr std::size_t kLongestUrl = 2048;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLowerHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

// Plain decimal digits, no sign, no leading zero, at most `largest`.
std::optional<std::uint64_t> Decimal(std::string_view text, std::uint64_t largest) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (largest - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// The lines of `text`, each ended by a line feed and made of printable ASCII with single blanks
// between words; nullopt when any is not.
std::optional<std::vector<std::string_view>> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(0, end);
    if (line.empty() || line.front() == ' ' || line.back() == ' ' || line.find("  ") != std::string_view::npos ||
        !std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
      return std::nullopt;
    }
    lines.push_back(line);
    text.remove_prefix(end + 1);
  }
  return lines;
}

// The value after "key " on `line`; nullopt when the line holds another key.
std::optional<std::string_view> Value(std::string_view line, std::string_view key) {
  if (line.size() <= key.size() + 1 || line.substr(0, key.size()) != key || line[key.size()] != ' ') return std::nullopt;
  return line.substr(key.size() + 1);
}

std::optional<PinnedFile> Pinned(std::string_view value, std::uint64_t largest) {
  const std::size_t blank = value.find(' ');
  if (blank == std::string_view::npos || !IsSha256Hex(value.substr(0, blank))) return std::nullopt;
  const std::optional<std::uint64_t> size = Decimal(value.substr(blank + 1), largest);
  if (!size) return std::nullopt;
  return PinnedFile{std::string(value.substr(0, blank)), *size};
}

// Days since 1970-01-01 of a civil date, in eras of 400 years.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}
}  // namespace

bool IsSha256Hex(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), IsLowerHex);
}

std::optional<std::uint64_t> ParseVersionNumber(std::string_view text) {
  std::uint64_t number = 0;
  int parts = 0;
  for (;;) {
    const std::size_t dot = std::min(text.find('.'), text.size());
    const std::optional<std::uint64_t> part = Decimal(text.substr(0, dot), 0xFFFF);
    if (!part || ++parts > 4) return std::nullopt;
    number |= *part << (16 * (4 - parts));
    if (dot == text.size()) return number;
    text.remove_prefix(dot + 1);
  }
}

bool IsNotesUrl(std::string_view url) {
  return url.size() <= kLongestUrl && (url.rfind("https://", 0) == 0 || url.rfind("http://", 0) == 0) &&
         url.size() > 8 && std::all_of(url.begin(), url.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

std::optional<std::int64_t> ParseUtcTime(const std::string& text) {
  // 2026-12-09T12:00:00Z
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t length) -> std::optional<unsigned> {
    unsigned value = 0;
    for (std::size_t i = at; i < at + length; ++i) {
      if (!IsDigit(text[i])) return std::nullopt;
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
  };
  const auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const auto hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!year || !month || !day || !hour || !minute || !second || *year < 1970 || *month < 1 || *month > 12 ||
      *day < 1 || *hour > 23 || *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (*day > kDays[*month - 1] + (*month == 2 && leap ? 1 : 0)) return std::nullopt;
  return DaysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

std::string UtcTimeText(std::int64_t secondsSinceEpoch) {
  // The log's own stamp, to the second: "2026-12-09T12:00:00.000Z" less its milliseconds.
  std::string text = LogTimeStamp(secondsSinceEpoch * 1000);
  text.erase(text.size() - 5, 4);
  return text;
}

std::string ReleaseId(const std::string& manifestSha256, const std::string& signatureSha256) {
  const std::string lines = manifestSha256 + "  " + kManifestFile + "\n" + signatureSha256 + "  " +
                            kManifestSignatureFile + "\n";
  Sha256 digest{};
  if (!Sha256OfBytes(lines, digest)) return {};
  return HexOf(digest);
}

bool ValidChannel(const std::string& channel) {
  if (channel.empty() || channel.size() > 64 || !(IsDigit(channel[0]) || (channel[0] >= 'a' && channel[0] <= 'z'))) {
    return false;
  }
  return std::all_of(channel.begin(), channel.end(), [](char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || c == '.' || c == '_' || c == '-';
  });
}

std::optional<Feed> ParseFeed(const std::string& text) {
  const std::optional<std::vector<std::string_view>> lines = Lines(text);
  if (!lines || (lines->size() != 10 && lines->size() != 11) || (*lines)[0] != kFeedFormat) return std::nullopt;
  Feed feed;
  const auto channel = Value((*lines)[1], "channel");
  const auto sequence = Value((*lines)[2], "sequence");
  const auto issued = Value((*lines)[3], "issued");
  const auto expires = Value((*lines)[4], "expires");
  const auto version = Value((*lines)[5], "version");
  const auto release = Value((*lines)[6], "release");
  const auto manifest = Value((*lines)[7], "manifest");
  const auto signature = Value((*lines)[8], "signature");
  const auto sizes = Value((*lines)[9], "sizes");
  if (!channel || !sequence || !issued || !expires || !version || !release || !manifest || !signature || !sizes) {
    return std::nullopt;
  }
  feed.channel = std::string(*channel);
  const auto sequenceNumber = Decimal(*sequence, INT64_MAX);
  const auto issuedTime = ParseUtcTime(std::string(*issued));
  const auto expiresTime = ParseUtcTime(std::string(*expires));
  const auto versionNumber = ParseVersionNumber(*version);
  const auto manifestFile = Pinned(*manifest, kLargestFeedManifest);
  const auto signatureFile = Pinned(*signature, kLargestFeedSignature);
  const auto sizesFile = Pinned(*sizes, kLargestFeedSizes);
  if (!ValidChannel(feed.channel) || !sequenceNumber || *sequenceNumber == 0 || !issuedTime || !expiresTime ||
      *expiresTime <= *issuedTime || !versionNumber || !IsSha256Hex(*release) || !manifestFile || !signatureFile ||
      !sizesFile || manifestFile->size == 0 || signatureFile->size == 0) {
    return std::nullopt;
  }
  feed.sequence = *sequenceNumber;
  feed.issued = *issuedTime;
  feed.expires = *expiresTime;
  feed.version = std::string(*version);
  feed.versionNumber = *versionNumber;
  feed.release = std::string(*release);
  feed.manifest = *manifestFile;
  feed.signature = *signatureFile;
  feed.sizes = *sizesFile;
  if (lines->size() == 11) {
    const auto notes = Value((*lines)[10], "notes");
    if (!notes || !IsNotesUrl(*notes)) return std::nullopt;
    feed.notes = std::string(*notes);
  }
  if (ReleaseId(feed.manifest.sha256, feed.signature.sha256) != feed.release) return std::nullopt;
  return feed;
}

std::string FeedText(const Feed& feed) {
  const auto pinned = [](const PinnedFile& file) { return file.sha256 + " " + std::to_string(file.size); };
  std::string text = std::string(kFeedFormat) + "\n";
  text += "channel " + feed.channel + "\n";
  text += "sequence " + std::to_string(feed.sequence) + "\n";
  text += "issued " + UtcTimeText(feed.issued) + "\n";
  text += "expires " + UtcTimeText(feed.expires) + "\n";
  text += "version " + feed.version + "\n";
  text += "release " + feed.release + "\n";
  text += "manifest " + pinned(feed.manifest) + "\n";
  text += "signature " + pinned(feed.signature) + "\n";
  text += "sizes " + pinned(feed.sizes) + "\n";
  if (!feed.notes.empty()) text += "notes " + feed.notes + "\n";
  return text;
}

ReleaseDecision DecideRelease(const Feed& feed, const InstalledState& state) {
  if (std::find(state.refusedReleases.begin(), state.refusedReleases.end(), feed.release) !=
      state.refusedReleases.end()) {
    return ReleaseDecision::kRefused;
  }
  if (feed.release == state.installedRelease) return ReleaseDecision::kInstalled;
  if (feed.release == state.stagedRelease) return ReleaseDecision::kStaged;
  // An equal version is a repair, published again.
  if (state.installedVersion && feed.versionNumber < *state.installedVersion) return ReleaseDecision::kOlder;
  return ReleaseDecision::kStage;
}

std::optional<std::map<std::string, std::uint64_t>> ParseSizes(const std::string& text) {
  const std::optional<std::vector<std::string_view>> lines = Lines(text);
  if (!lines) return std::nullopt;
  std::map<std::string, std::uint64_t> sizes;
  std::string previous;
  for (const std::string_view line : *lines) {
    // An object is at most 2^53 bytes: a size every JSON reader takes exactly.
    const std::optional<PinnedFile> object = Pinned(line, 1ull << 53);
    if (!object || object->sha256 <= previous) return std::nullopt;
    previous = object->sha256;
    sizes.emplace(object->sha256, object->size);
  }
  return sizes;
}

OriginAnswer JudgeFeedSignature(const SignedMessage& message, const Sha256& contentDigest,
                                const NativeString& publisher, const KeyRecord& keys) {
  if (!publisher.empty()) return JudgeManifestSignature(message, contentDigest, publisher, keys);
  return JudgePinnedSignature(message, contentDigest, keys);
}
