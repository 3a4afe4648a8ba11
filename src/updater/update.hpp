#pragma once
// The updater's two commands: `check` (is there a release to stage, and how much is still to
// fetch) and `stage` (check, fetch what is missing, verify with the loader's own check, stage in
// one rename under the installation's lock).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/native_text.hpp"

struct UpdaterOptions {
  bool stage = false;             // `stage`; otherwise `check`
  NativeString install;           // the install directory; empty: the folder above this program's own
  std::string feed;               // the tree's base URL; empty: the one built in
  NativeString from;              // a folder holding a copy of the tree, in place of the server
  std::string channel = "stable";
  NativeString cafile;            // POSIX: the roots the feed's signer must chain to
  NativeString publisher;         // POSIX: the name the feed's signer must carry
  std::uint32_t stallSeconds = 30;
  std::uint32_t processId = 0;    // apply: the application's process, which the staged loader waits for
  // Told of the bytes fetched so far against the bytes to fetch (from the signed sizes): once with
  // none when the fetching begins, after each piece, and with `finished` once it is done.
  std::function<void(std::uint64_t fetched, std::uint64_t toFetch, bool finished)> progress;
};

// What a run did, for its output: the exit code and the outcome's words ("done", "nothing to do"
// or the class of failure), what it is about and the release's particulars where there is one.
struct UpdateReport {
  int exitCode = 0;
  std::string outcome;
  std::string message;  // one sentence, UTF-8
  std::string release;  // its id
  std::string version;
  std::string notes;
  std::optional<std::uint64_t> bytesToFetch;
  std::uint64_t bytesFetched = 0;
  std::uint32_t requests = 0;
  bool waits = false;          // staged, but the loader cannot check it on this machine now either
  std::string verdict;         // apply: the staging check's word (taken, refused-integrity, ...)
  std::string channel;         // the channel asked, an administrator's where one is set
};

// Runs `check` or `stage` as `options` say against its installation; never throws.
UpdateReport RunUpdate(const UpdaterOptions& options);

// `apply --pid N`, the restart into the staged update: checks data/update with the loader's own
// check, holding the staged loader from before the check until it runs, and starts it to wait for
// process N and apply the update; starts nothing when the check does not take the staging.
// Never throws.
UpdateReport RunRestart(const UpdaterOptions& options);
