// The updater's entry on POSIX.

#include "updater/command_line.hpp"

int main(int argc, char** argv) { return RunUpdaterCommandLine(std::vector<NativeString>(argv + 1, argv + argc)); }
