#include "platform/job.hpp"

JobRoute RouteOutOfJob(const ProcessJob& job, bool breakawayRefused) {
  if (!job.inJob) return JobRoute::kAsUsual;
  if (!job.limits) return breakawayRefused ? JobRoute::kNone : JobRoute::kBreakAway;
  const JobLimits& limits = *job.limits;
  if (limits.silentBreakaway) return JobRoute::kAsUsual;
  if (limits.breakawayAllowed && !breakawayRefused) return JobRoute::kBreakAway;
  return limits.killOnClose ? JobRoute::kNone : JobRoute::kAsUsual;
}
