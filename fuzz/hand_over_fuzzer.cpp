// The hand-over round trip on POSIX: the install directory goes out as the staged loader's
// command-line tail, is split back into words the way the detached start does, and is parsed
// by the staged loader's command line. Apply mode must receive the very same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/command_line.hpp"
#include "launcher/layout.hpp"
#include "platform/command_tail.hpp"

namespace {
constexpr int kStartCode = 70;
constexpr int kApplyCode = 71;

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

  int applied = 0;
  int started = 0;
  std::string received;
  std::optional<std::uint32_t> processId;
  std::ostringstream errors;
  std::streambuf* const standardError = std::cerr.rdbuf(errors.rdbuf());
  const int code = RunCommandLine(
      [&] { return words; },
      [&](const NativeString& installDirectory, std::optional<std::uint32_t> pid) {
        ++applied;
        received = installDirectory;
        processId = pid;
        return kApplyCode;
      },
      [&] {
        ++started;
        return kStartCode;
      });
  std::cerr.rdbuf(standardError);
  Require(code == kApplyCode && applied == 1 && started == 0 && received == directory && !processId &&
          errors.str().empty());
  return 0;
}
