#include "platform/job.hpp"

#include <windows.h>

ProcessJob JobOfThisProcess() {
  BOOL inJob = FALSE;
  // Not knowing is taken as a job of unknown limits: asking to leave one is harmless outside any.
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &inJob)) return {true, std::nullopt};
  if (!inJob) return {};
  // Wine answers every limit query with zeros and no query about this process's own job: the
  // limits are believed only from a system that also counts this process in the job.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr) ||
      !QueryInformationJobObject(nullptr, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                 nullptr) ||
      accounting.ActiveProcesses == 0) {
    return {true, std::nullopt};
  }
  const DWORD flags = limits.BasicLimitInformation.LimitFlags;
  return {true, JobLimits{(flags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0, (flags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0,
                          (flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0}};
}

// The system refuses CREATE_BREAKAWAY_FROM_JOB from a job without the limit that allows it so.
bool BreakawayRefused(std::uint32_t failure) { return failure == ERROR_ACCESS_DENIED; }
