#pragma once
// What the updater remembers between runs, in data/velmora-update.state (JSON): per channel the
// newest feed taken (its issue time and the SHA-256 of its text) and the validators of that feed; the
// release it staged, the one it saw installed, the releases refused for their origin, and how its
// last check or staging ended.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "updater/feed2.hpp"

struct ChannelState {
  ChannelHistory history;
  std::string etag;          // of the last feed accepted, for a conditional request
  std::string lastModified;  // the same
};

// A server's validator (ETag, Last-Modified) as it may be kept and sent back: printable ASCII of a
// bounded length, else nothing. The signature covers the feed, not its headers: anything else in
// them would reach the state file (where it must stay readable) and the next request's headers.
std::string KeptValidator(const std::string& header);

struct KnownRelease {
  std::string release;  // the id
  std::string version;
  std::uint64_t versionNumber = 0;
  std::string loader;       // the SHA-256 of its Velmora.exe
  std::string application;  // the SHA-256 of its app/velmora.exe
};

// How a run of `check` or `stage` ended, for `status`.
struct LastRun {
  std::int64_t time = 0;  // UTC seconds since 1970, at its end
  std::string command;    // "check" or "stage"
  std::string outcome;
  int exitCode = 0;
  std::string message;
  std::string channel;
  std::string release;  // the release its feed named, where one was taken
  std::string version;
};

struct UpdaterState {
  std::map<std::string, ChannelState> channels;
  std::optional<KnownRelease> staged;
  std::optional<KnownRelease> installed;
  std::vector<std::string> refused;  // the newest last, at most kRememberedRefusals
  std::optional<LastRun> lastRun;
};

inline constexpr std::size_t kRememberedRefusals = 32;

// The state in `text`; nullopt when it is not what StateText writes.
std::optional<UpdaterState> ParseState(const std::string& text);
std::string StateText(const UpdaterState& state);

// `state` with `release` remembered as refused, the oldest forgotten past the limit.
void RememberRefused(UpdaterState& state, const std::string& release);
