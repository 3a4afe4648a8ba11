// What an application reads and sets of the updater: the loader's verdict read back from its log,
// the administrator's settings, the pace of the progress lines, the last run kept in the state.

#include <gtest/gtest.h>

#include "updater/progress.hpp"
#include "updater/settings.hpp"
#include "updater/state.hpp"
#include "updater/status.hpp"

namespace {
const std::string kDigest(64, 'e');
const std::string kTaken = "2026-03-01T10:00:00.123Z 4242 staging taken; unsigned installation, every file as its "
                           "manifest lists it; verdict taken, SHA256SUMS " + kDigest +
                           ", installed loader 1.0.0.0, staged application 2.1.0.0\n";

NativeString N(const char* ascii) { return NativeFromAscii(ascii); }
}  // namespace

TEST(LastLoaderVerdict, TheLastLineEndingInTheStableWordsNeverItsProse) {
  const auto verdict = LastLoaderVerdict("2026-03-01T09:00:00.000Z 1 starting the application x\n" + kTaken +
                                         "2026-03-01T10:00:01.000Z 4242 handing over to y --ad \"z\"\n");
  ASSERT_TRUE(verdict);
  EXPECT_EQ(verdict->time, "2026-03-01T10:00:00.123Z");
  EXPECT_EQ(verdict->verdict, "taken");
  const std::vector<std::pair<std::string, std::string>> known = {
      {"SHA256SUMS", kDigest}, {"installed loader", "1.0.0.0"}, {"staged application", "2.1.0.0"}};
  EXPECT_EQ(verdict->known, known);

  // A path that itself holds the words: the line's own end decides.
  const std::string refused = "2026-03-02T08:00:00.000Z 7 staging refused for its integrity (stage it again, "
                              "downloaded anew): a file the manifest does not list: a; verdict taken, b; unsigned "
                              "installation; verdict refused-integrity\n";
  ASSERT_TRUE(LastLoaderVerdict(kTaken + refused));
  EXPECT_EQ(LastLoaderVerdict(kTaken + refused)->verdict, "refused-integrity");
  EXPECT_TRUE(LastLoaderVerdict(kTaken + refused)->known.empty());

  // Passed over: a line cut off without its line feed, another word, an upper-case digest, words
  // after the values, a line without a time stamp, the words in a path of some other line.
  for (const std::string& other : {kTaken.substr(0, kTaken.size() - 1), std::string("2026-03-02T08:00:00.000Z 7 x; verdict accepted\n"),
                                   "2026-03-02T08:00:00.000Z 7 x; verdict kept, SHA256SUMS " + std::string(64, 'E') + "\n",
                                   std::string("2026-03-02T08:00:00.000Z 7 x; verdict kept, SHA256SUMS ab; more\n"),
                                   std::string("2026-03-02 08:00:00 7 x; verdict kept\n"),
                                   std::string("2026-03-02T08:00:00.000Z x; verdict kept\n")}) {
    const auto last = LastLoaderVerdict(kTaken + other);
    ASSERT_TRUE(last) << other;
    EXPECT_EQ(last->time, "2026-03-01T10:00:00.123Z") << other;
  }
  EXPECT_FALSE(LastLoaderVerdict(""));
  EXPECT_FALSE(LastLoaderVerdict("\n\n2026-03-02T08:00:00.000Z 7 nothing checked\n"));
}

TEST(LaterVerdict, TheNewerGenerationWinsByItsTimeStamp) {
  const LoaderVerdict early{"2026-03-01T10:00:00.000Z", "kept", {}};
  const LoaderVerdict late{"2026-03-01T10:00:00.001Z", "taken", {}};
  EXPECT_EQ(LaterVerdict(early, late)->verdict, "taken");  // a rotation moved the newer line aside
  EXPECT_EQ(LaterVerdict(late, early)->verdict, "taken");
  EXPECT_EQ(LaterVerdict(std::nullopt, early)->verdict, "kept");
  EXPECT_EQ(LaterVerdict(early, LoaderVerdict{early.time, "refused-origin", {}})->verdict, "kept");
  EXPECT_FALSE(LaterVerdict(std::nullopt, std::nullopt));
}

TEST(ParseSettings, KeyValueLinesHeldToTheirForms) {
  std::string fault;
  const auto settings = ParseSettings("\xEF\xBB\xBF; set by IT\r\n\r\n  Feed = https://mirror.example/velmora/  \r\n"
                                      "# the pilot group\nchannel=beta\nchecks = on",
                                      "data/velmora-update.ini", fault);
  ASSERT_TRUE(settings) << fault;
  EXPECT_EQ(settings->feed->value, "https://mirror.example/velmora/");
  EXPECT_EQ(settings->feed->from, "data/velmora-update.ini");
  EXPECT_EQ(settings->channel->value, "beta");
  EXPECT_FALSE(ChecksOff(*settings));
  EXPECT_TRUE(ChecksOff(*ParseSettings("checks = off\n", "f", fault)));
  EXPECT_FALSE(ParseSettings("", "f", fault)->feed);

  for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
           {"channel = beta\nfeed\n", "f line 2: not of the form key = value"},
           {"mirror = https://a.example\n", "f line 1: unknown key \"mirror\" (feed, channel or checks)"},
           {"checks = off\nchecks = off\n", "f line 2: \"checks\" given twice"},
           {"checks = of\n", "f line 1: \"checks\" takes on or off"},
           {"feed = ftp://a.example\n", "f line 1: \"feed\" takes an http:// or https:// URL"},
           {"feed = https://a.example/a b\n", "f line 1: \"feed\" takes an http:// or https:// URL"},
           {"channel = Beta\n", "f line 1: \"channel\" takes a name of a-z, 0-9, '.', '_' and '-'"},
           {"channel = b\xC3\xA9ta\n", "f line 1: not plain ASCII text"}}) {
    EXPECT_FALSE(ParseSettings(text, "f", fault)) << text;
    EXPECT_EQ(fault, why);
  }
}

TEST(SettingsOfPolicy, TheSameNamesAsStringsAndThePolicyOverTheFile) {
  std::string fault;
  const auto policy = SettingsOfPolicy({{N("Channel"), N("lts"), true}, {N("Checks"), N("off"), true}}, fault);
  ASSERT_TRUE(policy) << fault;
  EXPECT_EQ(policy->channel->from, "policy");
  EXPECT_FALSE(SettingsOfPolicy({{N("Checks"), {}, false}}, fault));
  EXPECT_EQ(fault, "policy: \"Checks\" is not a string value");
  EXPECT_FALSE(SettingsOfPolicy({{N("Feed"), N("mirror"), true}}, fault));

  const auto file = ParseSettings("feed = http://127.0.0.1:8080\nchannel = beta\n", "f", fault);
  const AdministratorSettings both = Overlaid(*policy, *file);
  EXPECT_EQ(both.feed->value, "http://127.0.0.1:8080");
  EXPECT_EQ(both.channel->value, "lts");
  EXPECT_TRUE(ChecksOff(both));
}

TEST(ShowProgress, TheFirstThenAtMostFourASecondThenTheLast) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start{};
  ProgressPace pace;
  EXPECT_TRUE(ShowProgress(pace, start, 0, 30, false));
  EXPECT_FALSE(ShowProgress(pace, start + std::chrono::milliseconds(100), 10, 30, false));
  EXPECT_TRUE(ShowProgress(pace, start + kProgressInterval, 20, 30, false));
  // Nothing new is not shown again, however long it took; the total only once the fetch ends.
  EXPECT_FALSE(ShowProgress(pace, start + std::chrono::seconds(5), 20, 30, false));
  EXPECT_FALSE(ShowProgress(pace, start + std::chrono::seconds(6), 30, 30, false));
  EXPECT_TRUE(ShowProgress(pace, start + std::chrono::seconds(6) + std::chrono::milliseconds(1), 30, 30, true));
  EXPECT_EQ(ProgressJson(30, 30), "{\"bytesDone\":30,\"bytesTotal\":30}");
  EXPECT_EQ(ProgressDisplay(1500000, 12000000), "velmora-update: fetched 1.5 of 12.0 MB (12 %)");
  EXPECT_EQ(ProgressDisplay(0, 0), "velmora-update: fetched 0.0 of 0.0 MB (100 %)");
}

TEST(StateText, TheLastRunKeptAndAnOlderStateStillRead) {
  UpdaterState state;
  state.lastRun = LastRun{1772359200, "stage", "network", 10, "could not fetch x: HTTP 503", "stable", kDigest, "2.1"};
  const auto read = ParseState(StateText(state));
  ASSERT_TRUE(read && read->lastRun);
  EXPECT_EQ(read->lastRun->exitCode, 10);
  EXPECT_EQ(read->lastRun->message, "could not fetch x: HTTP 503");
  EXPECT_EQ(read->lastRun->release, kDigest);
  const auto older = ParseState("{\"format\":1,\"channels\":{},\"staged\":null,\"installed\":null,\"refused\":[]}");
  ASSERT_TRUE(older);
  EXPECT_FALSE(older->lastRun);
}
