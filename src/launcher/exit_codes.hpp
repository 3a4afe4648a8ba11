#pragma once
// The loader's exit codes. Nothing in the loader reads them; whoever starts it may.

constexpr int kExitDone = 0;            // either mode completed
constexpr int kExitHelp = 1;            // --help or -h
constexpr int kExitRejected = 2;        // the command line could not be parsed; nothing was touched
constexpr int kExitNoOwnLocation = 3;   // the loader could not learn its own directory; nothing was touched
constexpr int kExitInternalError = 4;   // an unexpected error escaped a mode
constexpr int kExitReportedFailure = -1;  // apply mode showed a failure message
