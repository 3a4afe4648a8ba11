// The updater's pure decisions: the feeds' form and acceptance, the release file, SIZES, the release
// decision, the plan of where each file comes from, what an HTTP answer means, and how the restart
// route starts the staged loader from a job.

#include <gtest/gtest.h>

#include <set>

#include "launcher/release_file.hpp"
#include "platform/file_ops.hpp"
#include "platform/job.hpp"
#include "product.hpp"
#include "updater/feed.hpp"
#include "updater/feed2.hpp"
#include "updater/plan.hpp"
#include "updater/run.hpp"
#include "updater/state.hpp"

namespace {
const std::string kA(64, 'a'), kB(64, 'b'), kC(64, 'c');

// A feed as publish-update.sh writes one, its id that of its two manifest files.
Feed SampleFeed() {
  Feed feed;
  feed.channel = "stable";
  feed.sequence = 1765300000;
  feed.issued = *ParseUtcTime("2026-12-09T12:00:00Z");
  feed.expires = *ParseUtcTime("2027-01-08T12:00:00Z");
  feed.version = "1.2.0.7";
  feed.versionNumber = 0x0001000200000007;
  feed.manifest = {kA, 409};
  feed.signature = {kB, 2220};
  feed.sizes = {kC, 285};
  feed.release = ReleaseId(kA, kB);
  feed.notes = "https://example.invalid/notes";
  return feed;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

NativeString N(const char* ascii) { return NativeFromAscii(ascii); }
}  // namespace

TEST(ParseFeed, TakesWhatThePublisherWritesAndNothingLooser) {
  const std::string text = FeedText(SampleFeed());
  const auto feed = ParseFeed(text);
  ASSERT_TRUE(feed);
  EXPECT_EQ(feed->versionNumber, 0x0001000200000007u);
  EXPECT_EQ(FeedText(*feed), text);
  // The id is the SHA-256 of the lines `sha256sum SHA256SUMS SHA256SUMS.p7` writes (printf ... | sha256sum).
  EXPECT_EQ(ReleaseId(kA, kB), "b1888f6b74169c674a5c23d5fef60497c2e6abb7b521d8a24395708fc35f3d50");
  EXPECT_TRUE(ParseFeed(Replaced(text, "notes https://example.invalid/notes\n", "")));
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"velmora-feed 1", "velmora-feed 2"}, {"\n", "\r\n"}, {"channel stable", "channel Stable"},
           {"channel stable", "channel  stable"}, {"sequence 1765300000", "sequence 01765300000"},
           {"sequence 1765300000", "sequence 0"}, {"sequence 1765300000", "sequence 99999999999999999999"},
           {"issued 2026-12-09T12:00:00Z", "issued 2026-12-09 12:00:00Z"},
           {"issued 2026-12-09T12:00:00Z", "issued 2027-02-29T12:00:00Z"},
           {"issued 2026-12-09T12:00:00Z", "issued 2027-01-08T12:00:00Z"},  // not before it expires
           {"version 1.2.0.7", "version 1.2.0.7.1"}, {"version 1.2.0.7", "version 1.65536"}, {"version 1.2.0.7", "version v1"},
           {"release " + SampleFeed().release, "release " + kA},  // not the id of its manifest files
           {"manifest " + kA, "manifest " + std::string(64, 'A')}, {"manifest " + kA + " 409", "manifest " + kA + " 0"},
           {"sizes ", "size "}, {"notes https://", "notes ftp://"}, {"notes https://example.invalid/notes", "notes https://a b"}}) {
    EXPECT_FALSE(ParseFeed(Replaced(text, from, to))) << from << " -> " << to;
  }
  EXPECT_FALSE(ParseFeed(text.substr(0, text.size() - 1)));  // the last line without its line feed
  EXPECT_FALSE(ParseFeed(text + "extra x\n"));
  EXPECT_FALSE(ParseFeed(Replaced(text, "channel stable\nsequence 1765300000\n", "sequence 1765300000\nchannel stable\n")));
}

TEST(ParseUtcTime, CivilDatesBothWays) {
  EXPECT_EQ(ParseUtcTime("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(ParseUtcTime("2024-02-29T23:59:59Z"), 1709251199);  // date -u -d 2024-02-29T23:59:59Z +%s
  EXPECT_EQ(UtcTimeText(1709251199), "2024-02-29T23:59:59Z");
  for (const char* bad : {"1969-12-31T23:59:59Z", "2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01T24:00:00Z",
                          "2024-01-01T00:00:00", "2024-1-01T00:00:00Z"}) {
    EXPECT_FALSE(ParseUtcTime(bad)) << bad;
  }
}

// The second feed as publish-update.sh writes it, and the text a hand or another tool may write.
Feed2 SampleFeed2() {
  Feed2 feed;
  feed.product = "velmora";
  feed.platform = "windows-x64";
  feed.feed = SampleFeed();
  feed.feed.sequence = 0;
  return feed;
}

TEST(ParseFeed2, TakesItsOwnTextUnknownKeysAndNothingLooser) {
  const std::string text = Feed2Text(SampleFeed2());
  const auto feed = ParseFeed2(text);
  ASSERT_TRUE(feed);
  EXPECT_EQ(Feed2Text(*feed), text);
  EXPECT_EQ(feed->feed.versionNumber, 0x0001000200000007u);
  // Keys a later publisher adds, anywhere, and any spacing: read as the same feed.
  const auto later = ParseFeed2(Replaced(Replaced(text, "\"keys\":1,", "\"keys\":1, \"rollout\":{\"percent\":5.5,\"x\":[1,null]},\n"),
                                         "\"version\":", "\"withdrawn\":true,\"version\":"));
  ASSERT_TRUE(later);
  EXPECT_EQ(Feed2Text(*later), text);
  EXPECT_TRUE(ParseFeed2(Replaced(text, ",\"notes\":\"https://example.invalid/notes\"", "")));
  // A feed for a later reader: its "requires" alone is read, whatever the rest says.
  const auto newer = ParseFeed2(R"({"format":"velmora-feed","requires":2,"release":"elsewhere"})");
  ASSERT_TRUE(newer);
  EXPECT_EQ(newer->requiredRevision, 2u);
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"\"format\":\"velmora-feed\"", "\"format\":\"velmora-feed 1\""}, {"\"requires\":1", "\"requires\":0"},
           {"\"requires\":1", "\"requires\":\"1\""}, {"\"requires\":1", "\"requires\":1.0"},
           {"\"product\":\"velmora\"", "\"product\":\"Velmora\""}, {"\"platform\":\"windows-x64\"", "\"platform\":\"\""},
           {"\"channel\":\"stable\"", "\"channel\":7"}, {"2026-12-09T12:00:00Z", "2026-12-09T12:00:00+00:00"},
           {"2026-12-09T12:00:00Z", "2027-01-08T12:00:00Z"},  // not before it expires
           {"\"keys\":1", "\"keys\":0"}, {"\"keys\":1", "\"keys\":2147483649"}, {"\"version\":\"1.2.0.7\"", "\"version\":\"1.65536\""},
           {"\"id\":\"" + SampleFeed().release, "\"id\":\"" + kA},  // not the id of its manifest files
           {"\"sha256\":\"" + kA, "\"sha256\":\"" + std::string(64, 'A')}, {"\"size\":409", "\"size\":0"},
           {"\"size\":409", "\"size\":-409"}, {"\"size\":285", "\"size\":16777217"},
           {"https://example.invalid/notes", "ftp://example.invalid/notes"}, {"https://example.invalid/notes", "https://a\\u0000b"},
           {"https://example.invalid/notes", "https://\u00e9.invalid"}, {"\"version\":\"1.2.0.7\"", "\"version\":\"01.2\""},
           {"\"channel\":\"stable\"", "\"channel\":\"" + std::string(65, 's') + "\""}, {"\"keys\":1", "\"keys\":true"},
           {"\"issued\":\"2026-12-09T12:00:00Z\"", "\"issued\":null"}, {"\"id\":\"" + SampleFeed().release + "\"", "\"id\":null"},
           {"{\"format\"", "[{\"format\""}, {"\"release\":{", "\"release\":[{"}}) {
    EXPECT_FALSE(ParseFeed2(Replaced(text, from, to))) << from << " -> " << to;
  }
  // A key twice, at the top or inside: readers that take the first and the last would see two feeds.
  EXPECT_FALSE(ParseFeed2(Replaced(text, "{\"format\"", "{\"product\":\"velmora\",\"format\"")));
  EXPECT_FALSE(ParseFeed2(Replaced(text, "\"size\":409", "\"size\":409,\"size\":409")));
  EXPECT_FALSE(ParseFeed2(Replaced(text, "\"keys\":1,", "\"x\":{\"a\":1,\"a\":2},\"keys\":1,")));
  EXPECT_FALSE(ParseFeed2(text.substr(0, text.size() - 3)));
  EXPECT_FALSE(ParseFeed2(text + text));
  EXPECT_FALSE(ParseFeed2(FeedText(SampleFeed())));  // the first feed is no second feed
}

TEST(JudgeFeed, WhatItIsForAndWhenByTheLaterClock) {
  const Feed2 feed = SampleFeed2();
  const std::int64_t issued = feed.feed.issued, now = issued + 60;
  const std::string digest = kC;
  using J = FeedJudgement;
  const auto judge = [&](const Feed2& judged, const ChannelHistory& history, std::int64_t at, const char* channel = "stable") {
    return JudgeFeed(judged, digest, "velmora", "windows-x64", channel, history, at);
  };
  EXPECT_EQ(judge(feed, {}, now), J::kAccepted);
  EXPECT_EQ(judge(feed, {issued, digest}, now), J::kAccepted);  // the same feed again
  EXPECT_EQ(judge(feed, {issued - 1, kA}, now), J::kAccepted);
  EXPECT_EQ(judge(feed, {}, now, "beta"), J::kOtherChannel);
  Feed2 other = feed;
  other.product = "velmora-pro";
  EXPECT_EQ(judge(other, {}, now), J::kOtherProduct);
  other = feed;
  other.platform = "linux-x86_64";
  EXPECT_EQ(judge(other, {}, now), J::kOtherPlatform);
  other = feed;
  other.requiredRevision = 2;
  EXPECT_EQ(judge(other, {}, now), J::kNewerReader);
  // Ahead of the clock by more than an hour: not now, whatever was taken before.
  EXPECT_EQ(judge(feed, {}, issued - 3600), J::kAccepted);
  EXPECT_EQ(judge(feed, {}, issued - 3601), J::kIssuedAhead);
  other = feed;
  other.feed.expires = issued + 90 * 86400;
  EXPECT_EQ(judge(other, {}, now), J::kAccepted);
  other.feed.expires += 1;
  EXPECT_EQ(judge(other, {}, now), J::kTooLong);
  EXPECT_EQ(judge(feed, {}, feed.feed.expires), J::kExpired);
  // A clock set back does not revive it: a newer feed taken was issued after this one expired.
  EXPECT_EQ(judge(feed, {feed.feed.expires + 1, kA}, now), J::kExpired);
  EXPECT_EQ(judge(feed, {issued + 1, kA}, now), J::kOlder);
  EXPECT_EQ(judge(feed, {issued, kA}, now), J::kReissued);
  EXPECT_EQ(FeedJudgementText(J::kOlder, feed, {issued + 1, kA}, now),
            "it is older than one taken before: issued 2026-12-09T12:00:00Z, before 2026-12-09T12:00:01Z");
}

TEST(ParseReleaseFile, ThreeLinesAndWhatTheyMakeOfARelease) {
  const std::string text = "velmora-release 1\nproduct velmora\nplatform windows-x64\n";
  const auto release = ParseReleaseFile(text);
  ASSERT_TRUE(release);
  EXPECT_EQ(release->platform, "windows-x64");
  for (const std::string& bad : {Replaced(text, "1\n", "2\n"), Replaced(text, "\n", "\r\n"), text.substr(0, text.size() - 1),
                                 text + "extra x\n", Replaced(text, "product velmora", "product Velmora"),
                                 Replaced(text, "product velmora", "product  velmora"), Replaced(text, "product velmora\n", ""),
                                 std::string("velmora-release 1\nplatform windows-x64\nproduct velmora\n")}) {
    EXPECT_FALSE(ParseReleaseFile(bad)) << bad;
  }
  // This build's own, compared whole: what the loader and the updater take.
  const std::string ours = std::string("velmora-release 1\nproduct ") + kProduct + "\nplatform " + kPlatform + "\n";
  EXPECT_EQ(FitOfRelease(ours), ReleaseFit::kOurs);
  EXPECT_EQ(FitOfRelease(std::nullopt), ReleaseFit::kMissing);
  // Told apart by the first line that differs.
  EXPECT_EQ(FitOfRelease(""), ReleaseFit::kMalformed);
  EXPECT_EQ(FitOfRelease(Replaced(ours, "1\n", "2\n")), ReleaseFit::kMalformed);
  EXPECT_EQ(FitOfRelease(ours + "\n"), ReleaseFit::kOtherPlatform);
  EXPECT_EQ(FitOfRelease(Replaced(ours, std::string("product ") + kProduct, "product velmora-pro")), ReleaseFit::kOtherProduct);
  EXPECT_EQ(FitOfRelease(Replaced(ours, std::string("platform ") + kPlatform, "platform other")), ReleaseFit::kOtherPlatform);
}

// The key decides first: with no publisher named a pinned key under a root no one trusts passes, and
// an unpinned one never does, whatever its name and chain; a changed feed or a broken signature never.
TEST(JudgeFeedSignature, APinnedKeyFirstThenTodaysRuleWhereAPublisherIsNamed) {
  const Sha256 digest = {7, 7};
  KeyRecord keys{"velmora", 1, {Sha256{1}, Sha256{2}}};
  SignedMessage message;
  message.signers = 1;
  message.digestAlgorithm = "2.16.840.1.101.3.4.2.1";
  message.signedDigest = std::string("\x04\x20", 2) + std::string(digest.begin(), digest.end());
  message.signature.signer = NativeFromAscii("Someone");
  message.signature.key = Sha256{2};
  message.signature.chain.policy = 0x800B0109;
  EXPECT_EQ(JudgeFeedSignature(message, digest, {}, keys).step, OriginStep::kPassed);
  EXPECT_EQ(JudgeFeedSignature(message, digest, NativeFromAscii("Someone"), keys).step, OriginStep::kManifestUsage);
  message.signature.codeSigning = true;
  EXPECT_EQ(JudgeFeedSignature(message, digest, NativeFromAscii("Someone"), keys).step, OriginStep::kManifestChain);
  EXPECT_EQ(JudgeFeedSignature(message, digest, NativeFromAscii("Other"), keys).step, OriginStep::kManifestPublisher);
  EXPECT_EQ(JudgeFeedSignature(message, Sha256{7}, {}, keys).step, OriginStep::kManifestDigest);
  message.signature.chain.policy = 0;
  keys.keys.pop_back();
  for (const char* publisher : {"", "Someone"}) {
    const OriginAnswer answer = JudgeFeedSignature(message, digest, NativeFromAscii(publisher), keys);
    EXPECT_EQ(answer.step, OriginStep::kManifestKey) << publisher;
    EXPECT_EQ(VerdictOfOrigin(answer), StagingVerdict::kRefused) << publisher;
  }
  keys.keys.clear();  // a build without keys takes nothing
  message.signature.key = Sha256{};
  EXPECT_EQ(JudgeFeedSignature(message, digest, {}, keys).step, OriginStep::kManifestKey);
  message.signature.status = 0x80090006;
  EXPECT_EQ(JudgeFeedSignature(message, digest, {}, keys).step, OriginStep::kManifestSignature);
}

TEST(DecideRelease, NeverOlderNeverRefusedAgainAnEqualVersionARepair) {
  const Feed feed = SampleFeed();
  EXPECT_EQ(DecideRelease(feed, {}), ReleaseDecision::kStage);
  EXPECT_EQ(DecideRelease(feed, {feed.release, "", std::nullopt, {}}), ReleaseDecision::kInstalled);
  EXPECT_EQ(DecideRelease(feed, {"", feed.release, std::nullopt, {}}), ReleaseDecision::kStaged);
  EXPECT_EQ(DecideRelease(feed, {"", "", feed.versionNumber + 1, {}}), ReleaseDecision::kOlder);
  EXPECT_EQ(DecideRelease(feed, {"", "", feed.versionNumber, {}}), ReleaseDecision::kStage);
  EXPECT_EQ(DecideRelease(feed, {"", "", std::nullopt, {kA, feed.release}}), ReleaseDecision::kRefused);
}

TEST(ParseSizes, SortedDistinctAndCoveringTheManifest) {
  const auto sizes = ParseSizes(kA + " 3\n" + kB + " 0\n");
  ASSERT_TRUE(sizes);
  EXPECT_EQ(sizes->at(kB), 0u);
  for (const std::string& bad : {kB + " 3\n" + kA + " 1\n", kA + " 3\n" + kA + " 3\n", kA + " 03\n", kA + "  3\n",
                                 kA + " 3", kA + " -3\n", kA + " 9007199254740993\n", std::string(64, 'A') + " 3\n"}) {
    EXPECT_FALSE(ParseSizes(bad)) << bad;
  }
  const auto lines = *ParseManifest(kA + "  Velmora.exe\n" + kB + "  app/velmora.exe\n" + kA + "  app/copy.exe\n");
  EXPECT_TRUE(SizesCoverManifest(*sizes, lines));
  EXPECT_FALSE(SizesCoverManifest(*ParseSizes(kA + " 3\n"), lines));
  EXPECT_FALSE(SizesCoverManifest(*ParseSizes(kA + " 3\n" + kB + " 0\n" + kC + " 1\n"), lines));
}

// Windows holds names equal but for letter case as one file: a release listing two is refused on
// every platform, the folders on the way compared too; other letters stay apart.
TEST(PathsTakenForOne, EqualButForLetterCaseAsWindowsComparesThem) {
  const auto listing = [](const std::string& paths) {
    std::string text;
    for (std::size_t at = 0, end; at < paths.size(); at = end + 1) {
      end = paths.find(',', at);
      if (end == std::string::npos) end = paths.size();
      text += kA + "  " + paths.substr(at, end - at) + "\n";
    }
    return *ParseManifest(text);
  };
  for (const char* twice : {"app/a.dll,Velmora.exe,APP/A.DLL", "app/Lib/x,app/lib/x", "app/x,app/x", "app/\xc3\x84.txt,app/\xc3\xa4.txt",
                            "app/\xce\xa3,app/\xcf\x83"}) {
    EXPECT_TRUE(PathsTakenForOne(listing(twice), CompareFileNamesAsWindows)) << twice;
  }
  const auto found = PathsTakenForOne(listing("app/b,app/a.dll,app/A.dll"), CompareFileNamesAsWindows);
  ASSERT_TRUE(found);
  EXPECT_EQ(std::set<NativeString>({found->first, found->second}), std::set<NativeString>({N("app/a.dll"), N("app/A.dll")}));
  // ß has no one-letter capital in Windows' table; a name and its folder are two paths.
  for (const char* apart : {"app/a.dll,app/b.dll", "app/stra\xc3\x9f" "e,app/STRASSE", "app/a,app/a/b", "app/a.dll,app/a.dll.bak"}) {
    EXPECT_FALSE(PathsTakenForOne(listing(apart), CompareFileNamesAsWindows)) << apart;
  }
}

TEST(PlanSources, TheCheapestFirstAndTheServerLast) {
  const auto lines = *ParseManifest(kA + "  Velmora.exe\n" + kB + "  app/lib.dll\n" + kC + "  app/new.dat\n");
  const std::map<std::string, std::uint64_t> sizes = {{kA, 10}, {kB, 20}, {kC, 30}};
  const std::vector<FoundFile> installed = {{N("Velmora.exe"), 10}, {N("app/lib.dll"), 21}, {N("app/other.dat"), 30}};
  const std::vector<FoundFile> incoming = {{N("app/lib.dll"), 20}};
  const std::vector<FilePlan> plans = PlanSources(lines, sizes, installed, incoming);
  ASSERT_EQ(plans.size(), 3u);
  using S = FileSource;
  EXPECT_EQ(plans[0].sources, (std::vector<S>{S::kInstalled, S::kIncomingByDigest, S::kInstalledByDigest, S::kServer}));
  // Its size tells the installed app/lib.dll is another file: not offered; the one in incoming is.
  EXPECT_EQ(plans[1].sources, (std::vector<S>{S::kIncoming, S::kIncomingByDigest, S::kServer}));
  // Only an installed file of its size may hold it, under another name.
  EXPECT_EQ(plans[2].sources, (std::vector<S>{S::kIncomingByDigest, S::kInstalledByDigest, S::kServer}));
  EXPECT_EQ(plans[2].size, 30u);
}

TEST(MeaningOfHttpAnswer, ResumedOnlyFromWhereItWasAskedToTheEnd) {
  using M = HttpMeaning;
  EXPECT_EQ(MeaningOfHttpAnswer(200, 0, ""), M::kBody);
  EXPECT_EQ(MeaningOfHttpAnswer(200, 500, ""), M::kBody);  // a server that ignores the range
  EXPECT_EQ(MeaningOfHttpAnswer(206, 500, "bytes 500-999/1000"), M::kResumed);
  EXPECT_EQ(MeaningOfHttpAnswer(206, 500, "bytes 500-999/*"), M::kResumed);
  // Another start, a range that stops before the end, garbage, or a range nobody asked for.
  for (const char* range : {"bytes 0-999/1000", "bytes 500-799/1000", "bytes 500-999/2000", "bytes */1000",
                            "bytes 500-999/1000x", "bytes 500-499/1000", "500-999/1000", ""}) {
    EXPECT_EQ(MeaningOfHttpAnswer(206, 500, range), M::kMisranged) << range;
  }
  EXPECT_EQ(MeaningOfHttpAnswer(206, 0, "bytes 0-999/1000"), M::kMisranged);
  EXPECT_EQ(MeaningOfHttpAnswer(304, 0, ""), M::kNotModified);
  EXPECT_EQ(MeaningOfHttpAnswer(416, 500, "bytes */400"), M::kRangeRefused);
  EXPECT_EQ(MeaningOfHttpAnswer(404, 0, ""), M::kMissing);
  EXPECT_EQ(MeaningOfHttpAnswer(410, 0, ""), M::kMissing);
  for (const int status : {408, 429, 500, 502, 503, 599}) EXPECT_EQ(MeaningOfHttpAnswer(status, 0, ""), M::kUnavailable);
  for (const int status : {0, 201, 301, 302, 401, 407, 600}) EXPECT_EQ(MeaningOfHttpAnswer(status, 0, ""), M::kUnexpected);
}

TEST(DeliveryOf, TheServersDamagedCopyIsToldFromACutAndFromTheNetwork) {
  using D = Delivery;
  const auto of = [](HttpMeaning meaning, const char* encoding, bool ended, std::uint64_t received) {
    return DeliveryOf(meaning, encoding, ended, received, 1000);
  };
  EXPECT_EQ(of(HttpMeaning::kBody, "", true, 1000), D::kWhole);
  EXPECT_EQ(of(HttpMeaning::kResumed, "Identity", true, 1000), D::kWhole);
  // Every byte came, the transport's word about the end aside: the digest decides.
  EXPECT_EQ(of(HttpMeaning::kBody, "", false, 1000), D::kWhole);
  // Ended with its connection, or with the transport's failure: the network's, kept.
  EXPECT_EQ(of(HttpMeaning::kBody, "", false, 400), D::kCut);
  // A whole answer, short: the server's copy (an interrupted upload).
  EXPECT_EQ(of(HttpMeaning::kBody, "", true, 999), D::kShort);
  EXPECT_EQ(of(HttpMeaning::kBody, "", false, 1001), D::kLong);
  for (const char* encoding : {"gzip", "br", "identity, gzip", "x"}) {
    EXPECT_EQ(of(HttpMeaning::kBody, encoding, true, 0), D::kEncoded) << encoding;
  }
  EXPECT_EQ(of(HttpMeaning::kMisranged, "", true, 1000), D::kMisranged);
  for (const D damaged : {D::kShort, D::kLong, D::kEncoded, D::kMisranged}) EXPECT_TRUE(DamagedCopy(damaged));
  EXPECT_FALSE(DamagedCopy(D::kWhole));
  EXPECT_FALSE(DamagedCopy(D::kCut));
}

TEST(UpdaterState, WrittenAndReadBackOrNotAtAll) {
  UpdaterState state;
  ChannelState& stable = state.channels["stable"];
  stable.history = {1765300000, kA};
  stable.etag = "\"abc\"";
  stable.lastModified = "Wed, 09 Dec 2026 12:00:00 GMT";
  state.staged = KnownRelease{kA, "1.2", 0x0001000200000000, kB, kC};
  for (int i = 0; i < 40; ++i) RememberRefused(state, std::string(63, 'd') + static_cast<char>('0' + i % 10) + std::to_string(i));
  EXPECT_EQ(state.refused.size(), kRememberedRefusals);
  const auto read = ParseState(StateText(state));
  ASSERT_TRUE(read);
  EXPECT_EQ(StateText(*read), StateText(state));
  EXPECT_EQ(read->channels.at("stable").history.digest, kA);
  EXPECT_FALSE(read->installed);
  for (const std::string& bad : {std::string("{}"), std::string("not json"), Replaced(StateText(state), "\"format\":1", "\"format\":2"),
                                 Replaced(StateText(state), "\"issued\":1765300000", "\"issued\":\"7\"")}) {
    EXPECT_FALSE(ParseState(bad)) << bad;
  }
  // What an updater before the second feed kept of a channel holds nothing this one goes by.
  EXPECT_TRUE(ParseState(Replaced(StateText(state), ",\"digest\":\"" + kA + "\"", ""))->channels.empty());
  // A validator that could not be read back, or would break the next request's headers, is dropped.
  EXPECT_EQ(KeptValidator("W/\"5f-1a\""), "W/\"5f-1a\"");
  for (const std::string& bad : {std::string("\"\xff\""), std::string("a\r\nX-Injected: 1"), std::string(257, 'e')}) {
    EXPECT_EQ(KeptValidator(bad), "") << bad;
  }
}

TEST(RouteOutOfJob, TheStagedLoaderOutlivesTheApplicationOrNothingStarts) {
  const std::optional<JobLimits> unknown;
  const JobLimits none{}, kills{false, false, true}, leaves{true, false, true}, silent{false, true, true};
  struct Row {
    bool inJob;
    std::optional<JobLimits> limits;
    bool refused;
    JobRoute route;
  };
  for (const Row& row : std::vector<Row>{
           {false, unknown, false, JobRoute::kAsUsual},    // natively, or no job at all
           {true, none, false, JobRoute::kAsUsual},        // a job that ends nothing when it closes
           {true, silent, false, JobRoute::kAsUsual},      // every child leaves by itself
           {true, leaves, false, JobRoute::kBreakAway},
           {true, leaves, true, JobRoute::kNone},          // an outer job refused it
           {true, JobLimits{true, false, false}, true, JobRoute::kAsUsual},
           {true, kills, false, JobRoute::kNone},
           {true, unknown, false, JobRoute::kBreakAway},   // Wine: only asking tells
           {true, unknown, true, JobRoute::kNone}}) {
    EXPECT_EQ(RouteOutOfJob({row.inJob, row.limits}, row.refused), row.route)
        << row.inJob << " " << row.limits.has_value() << " " << row.refused;
  }
}

// What the updater tries again below data/: a file held for a moment (on Windows a denied access
// too, once data/ was found writable), never a full disk, a missing file, another volume, a
// folder in the way, its own refusal of a link, nor natively a permission.
TEST(MayPassInData, AHeldFileNeverALinkAFullDiskOrWhatStays) {
  const bool windows = sizeof(NativeChar) == 2;
  const auto system = [](int value) { return boost::system::error_code(value, boost::system::system_category()); };
  // Windows: sharing violation, access denied; natively: busy, text file busy.
  for (const int held : windows ? std::vector<int>{32, 5} : std::vector<int>{16, 26}) {
    EXPECT_TRUE(MayPassInData(system(held))) << held;
  }
  // Windows: disk full twice, not found, path not found, another volume, already exists, not empty;
  // natively: no space, quota, not found, another device, not empty, read-only, a permission twice.
  for (const int lasting : windows ? std::vector<int>{112, 39, 2, 3, 17, 183, 145}
                                   : std::vector<int>{28, 122, 2, 18, 39, 30, 13, 1}) {
    EXPECT_FALSE(MayPassInData(system(lasting))) << lasting;
  }
  for (const auto refused : {boost::system::errc::too_many_symbolic_link_levels, boost::system::errc::not_a_directory}) {
    EXPECT_FALSE(MayPassInData(make_error_code(refused)));
  }
}
