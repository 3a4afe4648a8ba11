#pragma once
// Apply mode: install the update that lies beside the running (staged) loader.

#include <cstdint>
#include <optional>

#include "platform/native_text.hpp"

// Waits for `processId` if given, then, holding the installation's lock, copies this loader over
// the installed one and swaps in the "app" beside it, and restarts the installed loader. Returns
// kExitDone, also when another run has already installed this update; kExitReportedFailure after
// a failure message, once the application installed now has been started; or kExitNoOwnLocation.
int RunApplyMode(const NativeString& installDirectoryText, std::optional<std::uint32_t> processId);
