#pragma once
// The job object this process runs in (Windows): a program started from here joins it, and a job
// that ends its processes when it closes would end a program meant to outlive this one.

#include <cstdint>
#include <optional>

// What a job lets its processes do, as the system reports it for the job this process is in.
struct JobLimits {
  bool breakawayAllowed = false;  // a program started asking to leave the job leaves it
  bool silentBreakaway = false;   // every program started from the job leaves it by itself
  bool killOnClose = false;       // the job ends its processes when its last handle is closed
};

struct ProcessJob {
  bool inJob = false;
  // Empty where the system did not tell (Wine answers every limit with zeros): then only a start
  // that asks to leave the job learns whether it may.
  std::optional<JobLimits> limits;
};

// The job this process runs in. Natively there are no jobs: none. On Windows, a process whose
// membership cannot be learnt counts as in a job of unknown limits.
ProcessJob JobOfThisProcess();

// How to start a program that must outlive this process, over its job.
enum class JobRoute {
  kAsUsual,    // it outlives this process where it is started as usual
  kBreakAway,  // started asking to leave the job
  kNone,       // the job would end it with this process and lets nothing leave: start nothing
};

// The route for `job`; `breakawayRefused` once a start that asked to leave was refused (a job
// that reports breakaway allowed may sit in an outer one that refuses it). Where the limits are
// not known, a refused breakaway is taken for a job that ends its processes: an application that
// asks its user to restart by hand loses less than one that exits and nothing comes back.
JobRoute RouteOutOfJob(const ProcessJob& job, bool breakawayRefused);

// Whether a start that asked to leave this process's job failed only because the job refuses it.
bool BreakawayRefused(std::uint32_t failure);
