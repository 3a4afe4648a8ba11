#pragma once
// One run at a time on an installation: the lock that keeps two loaders from changing it at once.

#include <chrono>
#include <memory>
#include <optional>

#include "platform/native_text.hpp"

// The installation's lock while a run holds it: the system's, let go when the last copy of this
// goes or with the process. No file is added to the installation for it. Empty when the system
// could give no lock (the directory cannot be opened, say): the run then goes on without one.
using InstallationLock = std::shared_ptr<void>;

// Takes the exclusive lock of the installation in `installDirectory`, waiting while another run
// holds it: without limit, or for `patience` at most, after which there is nothing.
std::optional<InstallationLock> LockInstallation(const NativeString& installDirectory,
                                                 std::optional<std::chrono::milliseconds> patience = std::nullopt);
