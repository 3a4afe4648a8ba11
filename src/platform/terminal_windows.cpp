#include "platform/terminal.hpp"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
// Pieces a console takes in one write, whatever its version.
constexpr std::size_t kConsolePiece = 4096;

// A character device may be a printer or NUL: only a console has a console mode.
bool IsConsole(HANDLE output) {
  DWORD mode = 0;
  return output != nullptr && output != INVALID_HANDLE_VALUE && GetFileType(output) == FILE_TYPE_CHAR &&
         GetConsoleMode(output, &mode) != 0;
}

void WriteToConsole(HANDLE console, const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return;
  std::vector<wchar_t> wide(static_cast<std::size_t>(length));
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  for (std::size_t from = 0; from < wide.size();) {
    std::size_t count = std::min(kConsolePiece, wide.size() - from);
    // Never half of a character written as two.
    if (from + count < wide.size() && IS_HIGH_SURROGATE(wide[from + count - 1])) --count;
    DWORD written = 0;
    if (!WriteConsoleW(console, wide.data() + from, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
      return;
    }
    from += written;
  }
}
}  // namespace

bool StandardOutputIsTerminal() { return IsConsole(GetStdHandle(STD_OUTPUT_HANDLE)); }

// Setting the console's code page would change it for the user's shell as well, and for good
// where a run is killed before it could set it back.
void WriteStandard(StandardStream stream, const std::string& text) {
  const bool output = stream == StandardStream::kOutput;
  const HANDLE handle = GetStdHandle(output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (IsConsole(handle)) return WriteToConsole(handle, text);
  std::FILE* const file = output ? stdout : stderr;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fflush(file);
}
