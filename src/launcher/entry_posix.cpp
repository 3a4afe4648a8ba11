// The loader's entry on POSIX: the system has already split the command line.

#include "launcher/apply_mode.hpp"
#include "launcher/command_line.hpp"
#include "launcher/start_mode.hpp"

int main(int argc, char** argv) {
  const auto split = [argc, argv] { return std::vector<NativeString>(argv + 1, argv + argc); };
  return RunCommandLine(split, RunApplyMode, RunStartMode);
}
