#pragma once
// Apply mode: install the update that lies beside the running (staged) loader.

#include <cstdint>
#include <optional>

#include "platform/native_text.hpp"

// Waits for `processId` if given, copies this loader over the installed one, swaps in the
// "app" beside it, and restarts the installed loader. Returns kExitDone, or
// kExitReportedFailure after a failure message, or kExitNoOwnLocation.
int RunApplyMode(const NativeString& installDirectoryText, std::optional<std::uint32_t> processId);
