#pragma once
// The Windows rules for splitting a command-line tail into arguments, for platforms whose
// processes take an argument vector.

#include <string>
#include <vector>

// Splits like the Windows C runtime: blanks outside double quotes separate arguments, quotes
// are dropped, 2n backslashes before a quote give n, 2n+1 give n and a literal quote, and ""
// standing alone is an empty argument.
std::vector<std::string> SplitCommandTail(const std::string& tail);
