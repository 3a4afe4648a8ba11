#include "platform/job.hpp"

// A program started here runs in a session of its own, which outlives this process.
ProcessJob JobOfThisProcess() { return {}; }

bool BreakawayRefused(std::uint32_t) { return false; }
