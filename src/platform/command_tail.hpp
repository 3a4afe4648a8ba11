#pragma once
// The Windows rules for a command-line tail: splitting it into arguments, for platforms whose
// processes take an argument vector, and quoting an argument so that it comes back whole.

#include <string>
#include <vector>

#include "platform/native_text.hpp"

// Splits as the option library's Windows splitter does: blanks outside double quotes separate
// arguments, quotes are dropped, 2n backslashes before a quote give n, 2n+1 give n and a
// literal quote, and "" standing alone is an empty argument.
std::vector<std::string> SplitCommandTail(const std::string& tail);

// `text` escaped to stand between double quotes: a quote gets a backslash, and backslashes
// double where they precede a quote or the closing quote. Text holding neither a quote nor a
// trailing backslash, such as any Windows directory but a drive root, comes back unchanged.
NativeString QuotedArgumentBody(const NativeString& text);
