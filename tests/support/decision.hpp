#pragma once
// The loader's command-line decision run with stand-ins for the two modes, for the unit tests
// and the fuzzers: which outcome a command line leads to, and what reaches the chosen mode.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "launcher/command_line.hpp"

// What the stand-in modes return.
inline constexpr int kStartModeCode = 70;
inline constexpr int kApplyModeCode = 71;

struct Decision {
  int code = 0;
  int startRuns = 0;
  int applyRuns = 0;
  NativeString installDirectory;
  std::optional<std::uint32_t> processId;
  std::string errors;  // what went to standard error
};

Decision Decide(const SplitArguments& split);
Decision Decide(const std::vector<NativeString>& arguments);
