#pragma once
// Whether a person watches what this program prints, and printing it.

#include <string>

// True when standard output is a terminal (on Windows a console), not a file or a pipe.
bool StandardOutputIsTerminal();

enum class StandardStream { kOutput, kError };

// Writes the UTF-8 `text` to standard output or error at once. On Windows a console is given its
// characters (wide writes, which leave the console's code page as the user's shell set it);
// a file or a pipe gets the bytes as the C library writes them (a line feed as CR LF).
void WriteStandard(StandardStream stream, const std::string& text);
