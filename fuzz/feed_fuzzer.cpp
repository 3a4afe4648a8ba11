// A feed's text and a release's SIZES as any server may hand them over (once a signature held):
// parsing never fails but by saying so, and what it takes is written back to the same text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "updater/feed.hpp"

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
  if (const auto sizes = ParseSizes(text)) {
    std::string written;
    for (const auto& [digest, objectSize] : *sizes) written += digest + " " + std::to_string(objectSize) + "\n";
    Require(written == text);
  }
  return 0;
}
