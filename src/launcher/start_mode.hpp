#pragma once
// Start mode: hand a complete staged update to the staged loader, or run the main application.

// Returns kExitDone, or kExitNoOwnLocation when the loader cannot learn its own directory.
int RunStartMode();
