#pragma once
// The lock every run that changes an installation takes, the loader's and an updater's alike.

#include <chrono>
#include <optional>

#include "platform/lock.hpp"

// Takes the exclusive lock of the installation in `installDirectory` (its lock file, where the
// system needs one, is the layout's), waiting while another run holds it: without limit, or for
// `patience` at most, after which there is nothing. Empty when the system could give no lock: the
// run then goes on without one.
std::optional<InstallationLock> LockInstallation(const NativeString& installDirectory,
                                                 std::optional<std::chrono::milliseconds> patience = std::nullopt);
