#include "platform/terminal.hpp"

#include <unistd.h>

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
