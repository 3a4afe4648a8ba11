#pragma once
// The command line: options, parsing and the choice between help, apply mode and start mode.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/native_text.hpp"

using SplitArguments = std::function<std::vector<NativeString>()>;
using ApplyMode = std::function<int(const NativeString& installDirectory, std::optional<std::uint32_t> processId)>;
using StartMode = std::function<int()>;

// Declares the options, takes the arguments from `split`, parses and checks all of them, then
// runs the chosen mode and returns its exit code. A rejected command line returns kExitRejected
// with the parser's message on standard error before any mode runs.
int RunCommandLine(const SplitArguments& split, const ApplyMode& applyMode, const StartMode& startMode);
