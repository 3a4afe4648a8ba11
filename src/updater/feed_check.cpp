#include "updater/feed_check.hpp"

#include <cstdio>
#include <utility>

#include "launcher/manifest.hpp"
#include "launcher/run_log.hpp"
#include "platform/digest.hpp"
#include "platform/signed_feed.hpp"

FeedCheck CheckSignedFeed(const std::string& signedFeed, const FeedAnchor& anchor, const KeyRecord& keys,
                          const FeedPurpose& purpose, const ChannelHistory& history, std::int64_t now) {
  FeedCheck check;
  const SignedMessage message = VerifySignedFeed(signedFeed, anchor.roots);
  check.content = message.content;
  Sha256 contentDigest{};
  if (!Sha256OfBytes(check.content, contentDigest)) {
    check.verdict = FeedVerdict::kNotNow;
    check.why = "the system's SHA-256 failed";
    return check;
  }
  check.digest = HexOf(contentDigest);
  const OriginAnswer origin = JudgeFeedSignature(message, contentDigest, anchor.publisher, keys);
  check.unpinned = origin.step == OriginStep::kManifestKey;
  if (const std::optional<Feed2> named = ParseFeed2(check.content)) check.keysNamed = named->keys;
  const StagingVerdict verdict = VerdictOfOrigin(origin);
  if (verdict != StagingVerdict::kTaken) {
    check.verdict = verdict == StagingVerdict::kNotNow ? FeedVerdict::kNotNow : FeedVerdict::kRefused;
    check.why = FeedOriginText(origin);
    return check;
  }
  check.feed = ParseFeed2(check.content);
  if (!check.feed) {
    check.why = "it is not a feed of the form " + std::string(kFeed2Format) + " (JSON, each key once)";
    return check;
  }
  const FeedJudgement judgement =
      JudgeFeed(*check.feed, check.digest, purpose.product, purpose.platform, purpose.channel, history, now);
  check.verdict = judgement == FeedJudgement::kAccepted    ? FeedVerdict::kTaken
                  : judgement == FeedJudgement::kIssuedAhead ? FeedVerdict::kNotNow
                                                             : FeedVerdict::kRefused;
  check.why = FeedJudgementText(judgement, *check.feed, history, now);
  return check;
}

std::string FeedOriginText(const OriginAnswer& answer) {
  const char* what = answer.step == OriginStep::kManifestSigners     ? "the feed is not signed by exactly one signer"
                     : answer.step == OriginStep::kManifestAlgorithm ? "the feed is not signed with SHA-256"
                     : answer.step == OriginStep::kManifestNoDigest  ? "the feed's signature signs no message digest"
                     : answer.step == OriginStep::kManifestDigest    ? "the feed was changed after signing"
                     : answer.step == OriginStep::kManifestKey       ? "the feed is signed by a key that is not the publisher's"
                     : answer.step == OriginStep::kManifestPublisher ? "the feed is signed by another publisher"
                     : answer.step == OriginStep::kManifestUsage     ? "the feed's signer is not for code signing"
                     : answer.step == OriginStep::kManifestChain     ? "the feed signer's certificate chain"
                                                                     : "the feed's signature";
  std::string text = what;
  if (!answer.signer.empty()) text.append(" ").append(Quoted(answer.signer));
  char code[64];
  for (const auto& [name, value] : {std::pair{"system code", answer.status}, std::pair{"reason", answer.reason},
                                    std::pair{"chain trust", answer.trust}}) {
    if (value == 0) continue;
    std::snprintf(code, sizeof code, ", %s 0x%08X", name, static_cast<unsigned>(value));
    text += code;
  }
  return text;
}
