#include "platform/signed_feed.hpp"

// The roots are the system's; the chain may be built online, as an updater fetching a feed may.
SignedMessage VerifySignedFeed(const std::string& signedFeed, const NativeString&) {
  return VerifySignedMessage(signedFeed, nullptr, ChainRetrieval::kOnline);
}

SignedMessage VerifySignedRecord(const std::string& signedRecord) {
  return VerifySignedMessage(signedRecord, nullptr, ChainRetrieval::kCacheOnly);
}
