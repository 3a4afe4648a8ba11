// The hand-over round trip on POSIX: the install directory goes out as the staged loader's
// command-line tail, is split back into words the way the detached start does, and is parsed
// by the staged loader's command line. Apply mode must receive the very same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher/layout.hpp"
#include "platform/command_tail.hpp"
#include "support/decision.hpp"

namespace {
void Require(bool holds) {
  if (!holds) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any absolute path a Linux file system can hold: every byte but NUL.
  std::string directory = "/";
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != 0) directory.push_back(static_cast<char>(data[i]));
  }

  const std::vector<std::string> words = SplitCommandTail(HandOverParameters(directory));
  Require(words.size() == 2 && words[0] == "--ad" && words[1] == directory);

  const Decision decision = Decide(words);
  Require(decision.code == kApplyModeCode && decision.applyRuns == 1 && decision.startRuns == 0 &&
          decision.installDirectory == directory && !decision.processId && decision.errors.empty());
  return 0;
}
