// The updater's entry on Windows: a console program, its arguments as UTF-16.

#include "updater/command_line.hpp"

// What it prints reaches a console in wide characters (platform/terminal.hpp): the console's code
// page stays as the user's shell set it.
int wmain(int argc, wchar_t** argv) {
  return RunUpdaterCommandLine(std::vector<NativeString>(argv + 1, argv + argc));
}
