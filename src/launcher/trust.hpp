#pragma once
// What the system's answers about a staged update's signatures mean: whether the files themselves
// are at fault, which no later check can mend, or only this machine's state at this moment (its
// trusted roots, its clock, its policy, a file held for a moment).

#include <cstdint>

#include "platform/publisher.hpp"

enum class StagingVerdict {
  kTaken,    // may be installed
  kRefused,  // the files are at fault: removed, and never taken
  kNotNow,   // cannot be told now: left for a later start
};

// The meaning of `status`, the answer (an HRESULT) of a program's signature check, of a signed
// message or of a certificate chain's policy, with `reason`, the error left behind with it, which
// alone tells an unsigned file from one that could not be read. 0 passes.
StagingVerdict MeaningOfTrustAnswer(std::uint32_t status, std::uint32_t reason);

// The verdict on a staging from the publisher check's answer.
StagingVerdict VerdictOfOrigin(const OriginAnswer& answer);

// Whether a refusal by the publisher check is of the files' integrity (a torn or altered download,
// worth fetching again) rather than of their origin.
bool RefusedForIntegrity(const OriginAnswer& answer);
