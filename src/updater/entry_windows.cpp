// The updater's entry on Windows: a console program, its arguments as UTF-16.

#include <windows.h>

#include "updater/command_line.hpp"

int wmain(int argc, wchar_t** argv) {
  // What the updater prints is UTF-8: a console shows it as such.
  SetConsoleOutputCP(CP_UTF8);
  return RunUpdaterCommandLine(std::vector<NativeString>(argv + 1, argv + argc));
}
