#include "platform/terminal.hpp"

#include <windows.h>

// A character device may be a printer or NUL: only a console has a console mode.
bool StandardOutputIsTerminal() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return output != nullptr && output != INVALID_HANDLE_VALUE && GetFileType(output) == FILE_TYPE_CHAR &&
         GetConsoleMode(output, &mode) != 0;
}
