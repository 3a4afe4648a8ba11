#pragma once
// The updater's command line and what it prints: options before or after the command, a text
// line or, with --json, one JSON object on standard output.

#include <vector>

#include "platform/native_text.hpp"

// Parses `arguments` (the program's name left out), runs the command they name and returns its
// exit code; a rejected command line returns kUpdateRejected with the reason on standard error.
int RunUpdaterCommandLine(const std::vector<NativeString>& arguments);
