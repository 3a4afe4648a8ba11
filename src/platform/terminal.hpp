#pragma once
// Whether a person watches what this program prints.

// True when standard output is a terminal (on Windows a console), not a file or a pipe.
bool StandardOutputIsTerminal();
