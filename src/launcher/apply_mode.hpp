#pragma once
// Apply mode: install the update that lies beside the running (staged) loader.

#include <cstdint>
#include <optional>

#include "platform/native_text.hpp"

// Waits for `processId` if given, then, holding the installation's lock, copies this loader over
// the installed one and swaps in the "app" beside it, and restarts the installed loader. Given a
// process (the restart route, which no start takes), it first checks the update beside it as a
// start would, and leaves one the check does not take as it is. Returns kExitDone, also when
// another run has already installed this update, when the restart route's check did not take it
// and after an unexpected error, each once the application installed now has been started;
// kExitReportedFailure after a failure message, likewise; or kExitNoOwnLocation.
int RunApplyMode(const NativeString& installDirectoryText, std::optional<std::uint32_t> processId);
