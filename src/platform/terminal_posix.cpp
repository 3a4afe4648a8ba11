#include "platform/terminal.hpp"

#include <cstdio>
#include <unistd.h>

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void WriteStandard(StandardStream stream, const std::string& text) {
  std::FILE* const file = stream == StandardStream::kOutput ? stdout : stderr;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fflush(file);
}
