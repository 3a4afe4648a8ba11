#include "support/decision.hpp"

#include <iostream>
#include <sstream>

Decision Decide(const SplitArguments& split) {
  Decision decision;
  std::ostringstream errors;
  std::streambuf* const standardError = std::cerr.rdbuf(errors.rdbuf());
  decision.code = RunCommandLine(
      split,
      [&](const NativeString& installDirectory, std::optional<std::uint32_t> processId) {
        ++decision.applyRuns;
        decision.installDirectory = installDirectory;
        decision.processId = processId;
        return kApplyModeCode;
      },
      [&] {
        ++decision.startRuns;
        return kStartModeCode;
      });
  std::cerr.rdbuf(standardError);
  decision.errors = errors.str();
  return decision;
}

Decision Decide(const std::vector<NativeString>& arguments) {
  return Decide([&] { return arguments; });
}
