// A feed's text (either feed), a release file, a release's SIZES and a key record as any server may
// hand them over (once a signature held): parsing never fails but by saying so, and what it takes is
// written back to the same text (the second feed: to a text that reads as the same feed). The same
// bytes as the loader's log, whose last verdict status reads, and as an administrator's settings
// file: whatever is found is of the forms promised.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "launcher/key_record.hpp"
#include "launcher/release_file.hpp"
#include "updater/feed.hpp"
#include "updater/feed2.hpp"
#include "updater/settings.hpp"
#include "updater/status.hpp"

namespace {
void Require(bool holds) {
  if (!holds) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto feed = ParseFeed(text)) {
    Require(FeedText(*feed) == text);
    Require(feed->expires > feed->issued && feed->sequence > 0 && ValidChannel(feed->channel));
    Require(feed->release == ReleaseId(feed->manifest.sha256, feed->signature.sha256));
  }
  if (const auto feed = ParseFeed2(text); feed && feed->requiredRevision <= kFeedReaderRevision) {
    const std::string written = Feed2Text(*feed);
    const auto again = ParseFeed2(written);
    Require(again && Feed2Text(*again) == written && feed->feed.expires > feed->feed.issued);
    Require(ValidChannel(feed->product) && ValidChannel(feed->platform) && ValidChannel(feed->feed.channel));
    Require(feed->feed.release == ReleaseId(feed->feed.manifest.sha256, feed->feed.signature.sha256));
  }
  if (const auto release = ParseReleaseFile(text)) {
    Require(std::string(kReleaseFormat) + "\nproduct " + release->product + "\nplatform " + release->platform + "\n" == text);
  }
  if (const auto sizes = ParseSizes(text)) {
    std::string written;
    for (const auto& [digest, objectSize] : *sizes) written += digest + " " + std::to_string(objectSize) + "\n";
    Require(written == text);
  }
  if (const auto record = ParseKeyRecord(text)) {
    Require(KeyRecordText(*record) == text && !record->keys.empty() && record->keys.size() <= kMostKeys);
  }
  if (const auto verdict = LastLoaderVerdict(text)) {
    Require(verdict->time.size() == 24 && text.find(verdict->time) != std::string::npos);
    Require(verdict->verdict == "taken" || verdict->verdict == "kept" || verdict->verdict == "refused-integrity" ||
            verdict->verdict == "refused-origin");
  }
  std::string fault;
  if (const auto settings = ParseSettings(text, "f", fault)) {
    Require(!settings->channel || ValidChannel(settings->channel->value));
    Require(!settings->checks || settings->checks->value == "on" || settings->checks->value == "off");
  } else {
    Require(fault.rfind("f line ", 0) == 0);
  }
  return 0;
}
