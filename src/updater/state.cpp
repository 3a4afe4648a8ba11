#include "updater/state.hpp"

#include <algorithm>
#include <boost/json.hpp>

namespace json = boost::json;

namespace {
constexpr std::int64_t kStateFormat = 1;

json::object ReleaseObject(const KnownRelease& release) {
  return {{"release", release.release},
          {"version", release.version},
          {"versionNumber", release.versionNumber},
          {"loader", release.loader},
          {"application", release.application}};
}

// The value of `key` in `object` as T; throws when it is missing or of another type.
template <typename T>
T Field(const json::object& object, const char* key) {
  return json::value_to<T>(object.at(key));
}

KnownRelease ReleaseOf(const json::value& value) {
  const json::object& object = value.as_object();
  return {Field<std::string>(object, "release"), Field<std::string>(object, "version"),
          Field<std::uint64_t>(object, "versionNumber"), Field<std::string>(object, "loader"),
          Field<std::string>(object, "application")};
}
}  // namespace

std::optional<UpdaterState> ParseState(const std::string& text) {
  try {
    const json::object root = json::parse(text).as_object();
    if (Field<std::int64_t>(root, "format") != kStateFormat) return std::nullopt;
    UpdaterState state;
    for (const auto& [name, value] : root.at("channels").as_object()) {
      const json::object& channel = value.as_object();
      // What an updater before the second feed kept of its first feed: nothing to hold this one to.
      if (!channel.contains("digest")) continue;
      ChannelState& kept = state.channels[std::string(name)];
      kept.history.issued = Field<std::int64_t>(channel, "issued");
      kept.history.digest = Field<std::string>(channel, "digest");
      kept.etag = Field<std::string>(channel, "etag");
      kept.lastModified = Field<std::string>(channel, "lastModified");
    }
    if (const json::value* staged = root.if_contains("staged"); staged != nullptr && !staged->is_null()) {
      state.staged = ReleaseOf(*staged);
    }
    if (const json::value* installed = root.if_contains("installed"); installed != nullptr && !installed->is_null()) {
      state.installed = ReleaseOf(*installed);
    }
    state.refused = json::value_to<std::vector<std::string>>(root.at("refused"));
    // Written by later versions only: a state without it is whole.
    if (const json::value* last = root.if_contains("lastRun"); last != nullptr && !last->is_null()) {
      const json::object& run = last->as_object();
      state.lastRun = LastRun{Field<std::int64_t>(run, "time"),     Field<std::string>(run, "command"),
                              Field<std::string>(run, "outcome"),   Field<int>(run, "exitCode"),
                              Field<std::string>(run, "message"),   Field<std::string>(run, "channel"),
                              Field<std::string>(run, "release"),   Field<std::string>(run, "version")};
    }
    return state;
  } catch (const std::exception&) {
    // Any fault of its form: a parse error, a missing key, a value of another type.
    return std::nullopt;
  }
}

std::string StateText(const UpdaterState& state) {
  json::object channels;
  for (const auto& [name, channel] : state.channels) {
    channels[name] = {{"issued", channel.history.issued},
                      {"digest", channel.history.digest},
                      {"etag", channel.etag},
                      {"lastModified", channel.lastModified}};
  }
  json::object root{{"format", kStateFormat}, {"channels", std::move(channels)}};
  root["staged"] = state.staged ? json::value(ReleaseObject(*state.staged)) : json::value(nullptr);
  root["installed"] = state.installed ? json::value(ReleaseObject(*state.installed)) : json::value(nullptr);
  root["refused"] = json::value_from(state.refused);
  if (const std::optional<LastRun>& last = state.lastRun) {
    root["lastRun"] = {{"time", last->time},       {"command", last->command}, {"outcome", last->outcome},
                       {"exitCode", last->exitCode}, {"message", last->message}, {"channel", last->channel},
                       {"release", last->release}, {"version", last->version}};
  }
  return json::serialize(root) + "\n";
}

void RememberRefused(UpdaterState& state, const std::string& release) {
  if (std::find(state.refused.begin(), state.refused.end(), release) != state.refused.end()) return;
  state.refused.push_back(release);
  if (state.refused.size() > kRememberedRefusals) {
    state.refused.erase(state.refused.begin(), state.refused.end() - kRememberedRefusals);
  }
}

std::string KeptValidator(const std::string& header) {
  constexpr std::size_t kLongestValidator = 256;
  const bool printable = std::all_of(header.begin(), header.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
  return printable && header.size() <= kLongestValidator ? header : std::string();
}
