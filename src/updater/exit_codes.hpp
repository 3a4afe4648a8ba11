#pragma once
// The updater's exit codes, one per class of failure; docs/updater.md lists what each asks for.

constexpr int kUpdateDone = 0;              // done, or nothing to do (--json's "outcome" tells which)
constexpr int kUpdateRejected = 2;          // the command line could not be parsed; nothing was touched
constexpr int kUpdateNoInstallation = 3;    // no installation where one was looked for; nothing was touched
constexpr int kUpdateInternalError = 4;     // an unexpected error; what was staged before is as it was
constexpr int kUpdateLocalFailure = 5;      // data/ could not be read or written (permissions, a file held)
constexpr int kUpdateSettingsRefused = 6;   // the administrator's settings cannot be read or are malformed; nothing was done
constexpr int kUpdateNetwork = 10;          // the server could not be reached or did not answer as a tree does
constexpr int kUpdateFeedRefused = 11;      // the feed is not the publisher's, or is expired, rolled back, for another channel
constexpr int kUpdateFeedNotNow = 12;       // the feed's signature cannot be checked on this machine now
constexpr int kUpdateReleaseRefused = 13;   // the release does not match what its feed signed, or the loader would refuse it
constexpr int kUpdateDiskFull = 14;         // not enough free space in data/; nothing was staged
constexpr int kUpdateBusy = 15;             // another run of the updater, or a loader applying an update
constexpr int kUpdateNothingStaged = 16;    // apply: no complete staging in data/update; nothing was started
constexpr int kUpdateCannotRestart = 17;      // apply: the application's job would end the staged loader with it; nothing was started
